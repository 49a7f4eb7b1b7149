// The inbox end to end, in the program's own process on a display with a tray (Xvfb and
// trayer) and a sound server whose only output is a null sink we record: a caller's tone heard
// live while the message records, the message played from the inbox, the tray's count, the list
// a second copy prints, --inbox through the running copy, and a delete into the trash.

#include <gtest/gtest.h>

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/answering_dlg.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/single_instance.h"
#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

constexpr double kToneHz = 1000;

// Dispatches the program's events while waiting, as its own loop would.
bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    for (int waited = 0; !done() && waited < timeoutMs; waited += 20) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// The null sink's monitor as 8000 Hz 16-bit mono samples, recorded by parec until Stop.
class SinkRecording {
public:
    explicit SinkRecording(const std::string& path)
        : m_path(path),
          m_parec({"/bin/sh", "-c",
                   "exec parec -d vsink.monitor --rate=8000 --channels=1 --format=s16le --raw "
                   "--latency-msec=20 >'" +
                       path + "'"}) {
        m_parec.Start();
    }
    std::vector<int16_t> Stop() {
        m_parec.Stop(5000);
        const std::string bytes = ReadFile(m_path);
        std::vector<int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

private:
    std::string m_path;
    ChildProcess m_parec;
};

// How far behind the live output plays, as the sound server reports it now: what its stream holds
// plus the sink's own latency. Right after a block comes this includes the whole block, so the
// highest reading is how late the block's first sample is heard.
int OutputLatencyMs() {
    FILE* pactl = popen("pactl list sink-inputs", "r");
    if (!pactl) return -1;
    char line[256];
    long usec = 0;
    bool found = false;
    while (std::fgets(line, sizeof line, pactl)) {
        long value = 0;
        if (std::sscanf(line, " Buffer Latency: %ld usec", &value) == 1 ||
            std::sscanf(line, " Sink Latency: %ld usec", &value) == 1) {
            usec += value;
            found = true;
        }
    }
    pclose(pactl);
    return found ? int(usec / 1000) : -1;
}

class InboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_modem.Start());
        m_harness.UseModem(m_modem.LinkPath());
        m_harness.SetRings(2, 1);
        ASSERT_TRUE(m_harness.UseShortGreeting());
        const TempFolder& root = m_harness.Root();
        for (const auto& [name, value] : {std::pair{"XDG_RUNTIME_DIR", root.Path()},
                                          {"XDG_STATE_HOME", root / "state"},
                                          {"XDG_CONFIG_HOME", root / "config"},
                                          {"XDG_DATA_HOME", root / "data"},
                                          {"TMPDIR", m_harness.Temp()},
                                          {"VANTORO_TEST_FAX_WINDOW_MS", "1000"}}) {
            setenv(name, value.c_str(), 1);
        }
        platform::SetProgramFolderOverride(m_harness.Home());
        // Held as the running copy holds it: --list and --inbox must work beside it.
        ASSERT_TRUE(platform::AcquireSessionLock("VANTORO2000"));
        const std::string speech = root / "speech.wav", tone = root / "tone.wav";
        ASSERT_TRUE(WriteSpeechWav(speech) && WriteToneWav(tone, 2.0, int(kToneHz)));
        ASSERT_EQ(std::system(("sox " + speech + " " + tone + " " + m_callerSound).c_str()), 0);
    }
    // What `vantoro` prints with these arguments, beside the copy in this process.
    std::string RunSecondCopy(const std::string& option) {
        auto copy = m_harness.Start({}, {m_harness.Program(), option});
        const bool ended = WaitFor([&] { return !copy->Running(); }, 10000);
        EXPECT_TRUE(ended && copy->WaitForExit(1000) == 0) << copy->Stderr();
        return copy->Stdout();
    }
    std::string ToolTip(CAnsweringDlg& dialog) {
        return dialog.TrayIcon() ? dialog.TrayIcon()->toolTip().toStdString() : "no tray icon";
    }
    void Scenario(CAnsweringDlg& dialog);

    ModemHarness m_modem{600};
    ProgramHarness m_harness;
    const std::string m_callerSound = m_harness.Root() / "caller.wav";
};

void InboxTest::Scenario(CAnsweringDlg& dialog) {
    ASSERT_TRUE(dialog.TrayIcon() && dialog.HidesToTray()) << "no tray";
    ASSERT_TRUE(
        WaitFor([&] { return m_harness.Log().find("正在等待呼叫") != std::string::npos; }, 15000));
    EXPECT_NE(ToolTip(dialog).find("新留言 0 条"), std::string::npos) << ToolTip(dialog);

    SinkRecording live(m_harness.Root() / "live.raw");
    auto caller = m_modem.Call({"--number", "5551234", "--say", m_callerSound, "--say-after", "4.5",
                                "--hangup-after", "10"});
    int latestMs = -1;
    WaitFor([] { return false; }, 6000);
    for (int sample = 0; sample < 10; ++sample) {
        latestMs = std::max(latestMs, OutputLatencyMs());
        WaitFor([] { return false; }, 130);
    }
    std::printf("live output at most %d ms behind the recorder's blocks\n", latestMs);
    EXPECT_TRUE(latestMs > 0 && latestMs <= 250) << latestMs << " ms";
    std::vector<std::string> wav;
    WaitFor(
        [&] {
            wav = m_harness.Files("wav", ".wav");
            return wav.size() == 1 && m_harness.Log().find(wav[0] + "\r\n") != std::string::npos;
        },
        40000);
    ASSERT_EQ(wav.size(), 1u) << m_harness.Log();
    const HeardTone heardLive = FindTone(live.Stop(), kToneHz);
    EXPECT_GE(heardLive.seconds, 1.8) << "the caller's tone was not heard while it recorded";
    ASSERT_TRUE(WaitFor([&] { return !caller->Running(); }, 10000));
    const std::string name = std::filesystem::path(wav[0]).filename();

    ASSERT_TRUE(
        WaitFor([&] { return ToolTip(dialog).find("新留言 1 条") != std::string::npos; }, 5000))
        << ToolTip(dialog);
    const qint64 plainIcon = dialog.OnQueryDragIcon().cacheKey();
    EXPECT_NE(dialog.TrayIcon()->icon().cacheKey(), plainIcon) << "no mark for the new message";
    std::string listed = RunSecondCopy("--list");
    EXPECT_NE(listed.find("\t5551234\tmessage\t"), std::string::npos) << listed;
    EXPECT_NE(listed.find("\tnew\twav/" + name + "\n"), std::string::npos) << listed;

    RunSecondCopy("--inbox");
    ASSERT_TRUE(
        WaitFor([&] { return dialog.InboxWindow() && dialog.InboxWindow()->isVisible(); }, 5000));
    CInboxWindow& inbox = *dialog.InboxWindow();
    ASSERT_EQ(inbox.List().topLevelItemCount(), 1);
    EXPECT_EQ(inbox.List().topLevelItem(0)->text(1).toStdString(), "5551234");
    SinkRecording played(m_harness.Root() / "played.raw");
    inbox.PlayButton().click();
    EXPECT_TRUE(
        WaitFor([&] { return ToolTip(dialog).find("新留言 0 条") != std::string::npos; }, 30000))
        << ToolTip(dialog);
    EXPECT_GE(FindTone(played.Stop(), kToneHz).seconds, 1.8) << "the message was not played";
    EXPECT_EQ(dialog.TrayIcon()->icon().cacheKey(), plainIcon);
    listed = RunSecondCopy("--list");
    EXPECT_NE(listed.find("\theard\twav/" + name + "\n"), std::string::npos) << listed;

    inbox.DeleteButton().click();
    EXPECT_TRUE(std::filesystem::exists(m_harness.Root() / ("data/Trash/files/" + name)));
    EXPECT_FALSE(std::filesystem::exists(wav[0]));
    EXPECT_EQ(inbox.List().topLevelItemCount(), 0);
    EXPECT_EQ(RunSecondCopy("--list"), "");
}

TEST_F(InboxTest, HeardLivePlayedCountedListedAndTrashed) {
    CAnsweringDlg dialog;
    QTimer::singleShot(0, &dialog, [&] {
        Scenario(dialog);
        dialog.OnExit();
    });
    dialog.DoModal();
    EXPECT_EQ(dialog.ExitCode(), 0);
}

}  // namespace

// A display, a tray and the sound server come from the command line's wrapper; the program runs
// as on a desktop, not headless.
int main(int argc, char** argv) {
    TempFolder sound;
    ChildProcess server(
        {"/usr/bin/env", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
         "--disallow-exit", "--log-target=stderr", "-L",
         "module-null-sink sink_name=vsink rate=8000", "-L",
         "module-native-protocol-unix auth-anonymous=1 socket=" + (sound / "pulse")},
        {"HOME=" + sound.Path(), "PULSE_RUNTIME_PATH=" + (sound / "runtime"),
         "PULSE_STATE_PATH=" + (sound / "state")});
    if (!server.Start()) return 1;
    setenv("XDG_RUNTIME_DIR", sound.Path().c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + (sound / "pulse")).c_str(), 1);
    ChildProcess tray({"/usr/bin/env", "trayer", "--edge", "top", "--align", "left", "--widthtype",
                       "pixel", "--width", "30", "--heighttype", "pixel", "--height", "30",
                       "--SetDockType", "false", "--transparent", "false"});
    if (!tray.Start()) return 1;
    ChildProcess ready({"/bin/sh", "-c",
                        "timeout 10 xdotool search --sync --name '^panel$' >/dev/null || "
                        "{ echo no tray >&2; exit 1; }; for i in $(seq 50); do "
                        "pactl info >/dev/null && exit 0; sleep 0.1; done; exit 1"});
    ready.Start();
    if (ready.WaitForExit(20000) != 0) {
        server.Stop(2000);
        std::fprintf(stderr, "no tray or sound server: %s%s\n", ready.Stderr().c_str(),
                     server.Stderr().c_str());
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    platform::SetHeadless(false);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    tray.Stop(2000);
    server.Stop(2000);
    return result;
}
