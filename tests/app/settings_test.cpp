#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>

#include "app/answering_dlg.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "tests/support/child_process.h"

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetHeadless(true);
        platform::SetProgramFolderOverride(m_folder.Path());
        m_dialog.FindProgramFolder();
    }
    std::string Ini() const { return m_folder / "vantoro.ini"; }
    // Loads the settings and returns what the message box said, if anything.
    std::string Load(bool* ok) {
        testing::internal::CaptureStderr();
        *ok = m_dialog.LoadSettings();
        return testing::internal::GetCapturedStderr();
    }

    TempFolder m_folder;
    CAnsweringDlg m_dialog;
};

TEST_F(SettingsTest, ValuesAreProfileIntegersAndMissingKeysDefault) {
    WriteFile(Ini(), "[vantoro]\nring=9 word\nskin=7\n");
    bool ok = false;
    EXPECT_EQ(Load(&ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(m_dialog.Line().recordLimitMs, 5u * 60000u);
    EXPECT_EQ(m_dialog.skinNumber, 7u);
    m_dialog.SaveSkin();  // 7 is no skin: nothing written, and the file is not completed
    EXPECT_EQ(ReadFile(Ini()), "[vantoro]\nring=9 word\nskin=7\n");
}

TEST_F(SettingsTest, RangeChecksRingFirstThenTime) {
    const std::string ringMessage = "MSGBOX 错误: 振铃次数参数配置错误,必须大于0小于10！\n";
    const std::string timeMessage = "MSGBOX 错误: 留言时长参数配置错误,必须大于0小于10！\n";
    struct Case {
        const char* ini;
        const std::string* message;
    } cases[] = {
        {"[vantoro]\nring=10\ntime=5\n", &ringMessage},
        {"[vantoro]\nring=0\ntime=0\n", &ringMessage},
        {"[vantoro]\nring=4\ntime=0\n", &timeMessage},
        {"[vantoro]\nring=4\ntime=4294967297\n", &timeMessage},
    };
    for (const Case& c : cases) {
        WriteFile(Ini(), c.ini);
        bool ok = true;
        EXPECT_EQ(Load(&ok), *c.message) << c.ini;
        EXPECT_FALSE(ok) << c.ini;
    }
}

TEST_F(SettingsTest, FoldersAndTemporaryFile) {
    WriteFile(m_folder / "fax", "a plain file counts as the folder");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(m_dialog.EnsureFolders());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(FileExists(m_folder / "wav"));

    setenv("TMPDIR", m_folder.Path().c_str(), 1);
    m_dialog.CreateFaxTempFile();
    std::string first = m_dialog.faxTempFile;
    EXPECT_EQ(first.rfind(m_folder.Path() + "/FAX", 0), 0u);
    EXPECT_TRUE(FileExists(first));
    WriteFile(first, "page data");
    m_dialog.CreateFaxTempFile();
    EXPECT_NE(m_dialog.faxTempFile, first);
    EXPECT_TRUE(FileExists(first));  // holds data: kept
    std::string second = m_dialog.faxTempFile;
    m_dialog.CreateFaxTempFile();
    EXPECT_FALSE(FileExists(second));  // left empty by a voice call: removed
    unsetenv("TMPDIR");
}

TEST_F(SettingsTest, FolderThatCannotBeCreatedIsReported) {
    platform::SetProgramFolderOverride("/proc/vantoro-no-such-folder");
    m_dialog.FindProgramFolder();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dialog.EnsureFolders());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "MSGBOX 错误: 创建传真接收文件夹失败！\n");
}

TEST_F(SettingsTest, EscapeAndCloseRequestDoNothing) {
    m_dialog.show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&m_dialog, &escape);
    EXPECT_TRUE(m_dialog.isVisible());
    EXPECT_FALSE(m_dialog.close());
    EXPECT_TRUE(m_dialog.isVisible());
}

}  // namespace
