// The window offscreen, against the scripted line library: tray menu, exit and what it leaves on
// disk, folder buttons, the help page, and a hang-up inside the greeting's sequence.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "app/answering_dlg.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "tests/line/scripted_tapi.h"
#include "tests/support/child_process.h"

namespace {

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

class WindowCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_script = LoadScriptedTapi();
        ASSERT_NE(m_script, nullptr);
        platform::SetHeadless(true);
        platform::SetProgramFolderOverride(m_folder.Path());
        setenv("TMPDIR", m_folder.Path().c_str(), 1);
        setenv("XDG_STATE_HOME", (m_folder / "state").c_str(), 1);
        WriteFile(m_folder / "vantoro.ini", "[vantoro]\nring=3\ntime=5\n");
        ASSERT_TRUE(m_dialog.StartWaiting());
        ASSERT_TRUE(m_dialog.ApplySkin(m_dialog.skinNumber));
    }

    QPushButton* Button(int id) { return static_cast<QPushButton*>(m_dialog.Control(id)); }

    TempFolder m_folder;
    ScriptedTapi* m_script = nullptr;
    CAnsweringDlg m_dialog;
};

TEST_F(WindowCommandsTest, TrayMenuRestoreAndExitLeaveTheirMarks) {
    const QList<QAction*> items = m_dialog.TrayMenu().actions();
    ASSERT_EQ(items.size(), 3);

    // The menu's restore shows a hidden window; its exit ends the program.
    items[0]->trigger();
    EXPECT_TRUE(m_dialog.isVisible());

    ASSERT_TRUE(m_dialog.Line().OpenLog());
    m_dialog.skinNumber = 2;
    const std::string rawPages = m_dialog.faxTempFile;
    ASSERT_TRUE(platform::PathExists(rawPages));
    items[2]->trigger();
    EXPECT_NE(ReadFile(m_folder / "vantoro.ini").find("skin=2"), std::string::npos);
    EXPECT_FALSE(platform::PathExists(rawPages));
    EXPECT_FALSE(m_dialog.Line().IsLogOpen());
    EXPECT_EQ(m_script->trace.back().rfind("lineShutdown", 0), 0u) << m_script->trace.back();
    EXPECT_EQ(m_dialog.ExitCode(), 0);
    EXPECT_FALSE(m_dialog.isVisible());
}

TEST_F(WindowCommandsTest, FolderButtonsAndTheModalHelpPage) {
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("file", &recorder, "open");
    Button(CAnsweringDlg::IDC_FAX_FOLDER)->click();
    Button(CAnsweringDlg::IDC_WAV_FOLDER)->click();
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(recorder.urls.size(), 2u);
    EXPECT_EQ(recorder.urls[0].toLocalFile().toStdString(), m_dialog.programFolder + "fax");
    EXPECT_EQ(recorder.urls[1].toLocalFile().toStdString(), m_dialog.programFolder + "wav");

    QString text;
    std::vector<QSize> pictures;
    std::string statusWhileOpen;
    QTimer::singleShot(0, [&] {
        auto* page = QApplication::activeModalWidget()->findChild<QTextBrowser*>();
        ASSERT_NE(page, nullptr);
        text = page->toPlainText();
        for (QTextBlock block = page->document()->begin(); block.isValid(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QString name = it.fragment().charFormat().toImageFormat().name();
                if (name.isEmpty()) continue;
                const QVariant data = page->loadResource(QTextDocument::ImageResource, name);
                pictures.push_back(QImage::fromData(data.toByteArray()).size());
            }
        }
        // A ring while the help page is open is handled at once.
        platform::PostMessage(&m_dialog, platform::WM_LINE_EVENT, LINEDEVSTATE_RINGING, 0);
        QTimer::singleShot(50, [&] {
            statusWhileOpen = m_dialog.StatusText();
            QApplication::activeModalWidget()->close();
        });
    });
    Button(CAnsweringDlg::IDC_HELP)->click();

    EXPECT_TRUE(text.contains(QString::fromUtf8("按下发送键发送传真")));
    ASSERT_EQ(pictures.size(), 8u);
    EXPECT_TRUE(
        std::none_of(pictures.begin(), pictures.end(), [](QSize s) { return s.isEmpty(); }));
    EXPECT_EQ(statusWhileOpen, "电话机振铃...");
}

// A hang-up in the greeting's fax window ends the sequence at once (the window alone is 5 s): no
// tone, no recording, and the line opened afresh is left as it was set up for the next call.
TEST_F(WindowCommandsTest, AHangUpInTheGreetingEndsItsSequenceAtOnce) {
    auto fire = [this](DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p3) {
        CTapiLine::LineCallback(device, message, reinterpret_cast<DWORD_PTR>(&m_dialog.Line()), p1,
                                0, p3);
    };
    fire(21, LINE_CALLSTATE, LINECALLSTATE_OFFERING, LINECALLPRIVILEGE_OWNER);
    for (int ring = 0; ring < 3; ++ring) fire(11, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0);
    QTimer::singleShot(300, [&] {
        fire(21, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINECALLPRIVILEGE_OWNER);
    });
    const auto start = std::chrono::steady_clock::now();
    fire(21, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, LINECALLPRIVILEGE_OWNER);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(m_dialog.StatusText(), "等待呼叫...");
    EXPECT_EQ(m_dialog.GetCallState(), CAnsweringDlg::CallState::Waiting);
}

}  // namespace

#include "commands_test.moc"
