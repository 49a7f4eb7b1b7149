#include "app/inbox_model.h"

#include <gtest/gtest.h>

#include <QDir>
#include <cstdlib>

#include "app/message_player.h"
#include "tests/support/child_process.h"

namespace {

const char kLog[] =
    "time\tcaller\toutcome\tlength\tfile\n"
    "2026-12-07 10:00:00\t123\tmessage\t1\twav/a.wav\n"
    "2026-12-07 11:00:00\t\tfax\t2\tfax/c.tif\n"
    "2026-12-07 11:30:00\t9\tno-message\t\t\n"
    "2026-12-07 11:40:00\t8\tblocked\t\t\n"
    "2026-12-07 12:00:00\t555\tmessage\t2\twav/b.wav\n"
    "2026-12-07 12:30:00\t556\tmessage\t3\twav/moved-away.wav\n";

class InboxModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", (m_folder / "data").c_str(), 1);
        QDir().mkpath(QString::fromStdString(m_folder / "home/wav"));
        QDir().mkpath(QString::fromStdString(m_folder / "home/fax"));
        ASSERT_EQ(
            std::system(("sox -n -r 8000 -b 16 -c 1 " + Home("wav/a.wav") +
                         " synth 1 sine 1000 && cp " + Home("wav/a.wav") + " " + Home("wav/b.wav"))
                            .c_str()),
            0);
        WriteFile(Home("fax/c.tif"), "II*\0");
        WriteFile(Home("calls.tsv"), kLog);
    }
    std::string Home(const std::string& name) const { return m_folder / ("home/" + name); }
    QString HomeFolder() const { return QString::fromStdString(m_folder / "home"); }

    TempFolder m_folder;
};

TEST_F(InboxModelTest, StoredItemsNewestFirstWithHeardStateKeptAcrossStarts) {
    CInboxModel model(HomeFolder());
    model.Reload();
    const QStringList expected{"2026-12-07 12:00:00\t555\tmessage\t2\tnew\twav/b.wav",
                               "2026-12-07 11:00:00\t\tfax\t2\tnew\tfax/c.tif",
                               "2026-12-07 10:00:00\t123\tmessage\t1\tnew\twav/a.wav"};
    EXPECT_EQ(model.ListLines(), expected);
    EXPECT_EQ(model.NewCount(InboxItem::Kind::Message), 2u);

    const std::string wav = ReadFile(Home("wav/a.wav"));
    EXPECT_TRUE(model.SetHeard(HomeFolder() + "/wav/a.wav", true));
    EXPECT_TRUE(model.SetHeard("fax/c.tif", true));
    EXPECT_TRUE(model.SetHeard("fax/c.tif", false));
    EXPECT_FALSE(model.SetHeard("wav/moved-away.wav", true));
    EXPECT_TRUE(ReadFile(Home("wav/a.wav")) == wav);
    EXPECT_EQ(ReadFile(Home(kInboxStateFileName)), "wav/a.wav\n");

    CInboxModel restarted(HomeFolder());
    restarted.Reload();
    EXPECT_EQ(restarted.ListLines().value(2),
              "2026-12-07 10:00:00\t123\tmessage\t1\theard\twav/a.wav");
    EXPECT_EQ(restarted.NewCount(InboxItem::Kind::Message), 1u);
    EXPECT_EQ(restarted.NewCount(InboxItem::Kind::Fax), 1u);

    // A file deleted by hand drops out; a delete goes to the trash and takes its state along.
    std::remove(Home("wav/b.wav").c_str());
    EXPECT_TRUE(restarted.MoveToTrash("wav/a.wav"));
    EXPECT_TRUE(ReadFile(m_folder / "data/Trash/files/a.wav") == wav);
    EXPECT_EQ(restarted.ListLines(), QStringList{"2026-12-07 11:00:00\t\tfax\t2\tnew\tfax/c.tif"});
    EXPECT_EQ(ReadFile(Home(kInboxStateFileName)), "");
}

TEST_F(InboxModelTest, MessageSoundIsTheWavFilesPcm) {
    const WavSound sound = ReadWavSound(QString::fromStdString(Home("wav/a.wav")));
    ASSERT_TRUE(sound.ok);
    EXPECT_EQ(sound.format.sampleRate(), 8000);
    EXPECT_EQ(sound.format.sampleFormat(), QAudioFormat::Int16);
    EXPECT_EQ(sound.pcm.size(), 16000);
    EXPECT_FALSE(ReadWavSound(QString::fromStdString(Home("fax/c.tif"))).ok);
}

}  // namespace
