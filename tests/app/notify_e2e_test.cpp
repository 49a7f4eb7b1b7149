// Stored messages and faxes told end to end on a private session bus (dbus-run-session) and a
// display (xvfb-run), where a notification server of ours records what the program shows.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"
#include "tests/support/transcript_modem.h"

namespace {

class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    std::vector<std::string> shown;  // summary and body of each
public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        shown.push_back((summary + " " + body).toStdString());
        return uint(shown.size());
    }
};

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    for (int waited = 0; !done() && waited < timeoutMs; waited += 20) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

class NotifyTest : public ::testing::Test {
protected:
    const QString kPath = "/org/freedesktop/Notifications";
    void SetUp() override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        ASSERT_TRUE(bus.registerService("org.freedesktop.Notifications")) << "no session bus";
        ASSERT_TRUE(bus.registerObject(kPath, &m_server, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(m_modem.Start());
        m_harness.UseModem(m_modem.LinkPath());
        ASSERT_TRUE(WriteSpeechWav(m_speech));
    }
    void TearDown() override { QDBusConnection::sessionBus().unregisterObject(kPath); }
    std::string Ini(const std::string& notify) const {
        return "; my answering machine\r\n[vantoro]\r\nring=2 ;rings\r\ntime=1\r\n\r\n[fax]\r\n"
               "mode=fast\r\n[notify]\r\n# hand it on\r\n" +
               notify;  // the last line without its end
    }
    // A 1 s greeting and a 1 s fax window, where the greeting's length is not the subject: the
    // recording begins about 3.6 s after the answer.
    void UseShortCalls() {
        ASSERT_TRUE(m_harness.UseShortGreeting());
        m_harness.SetFaxWindowMs(1000);
    }
    // Places a call once the line is open for it: a call that rings earlier loses its caller id.
    void Call(std::vector<std::string> args) {
        EXPECT_TRUE(
            WaitFor([&] { return Count(m_harness.Log(), "正在等待呼叫") > m_calls; }, 15000));
        ++m_calls;
        auto caller = m_modem.Call(std::move(args));
        EXPECT_EQ(caller->WaitForExit(120000), 0) << caller->Stdout() << caller->Stderr();
    }
    size_t m_calls = 0;
    NotificationServer m_server;
    ModemHarness m_modem{600};
    ProgramHarness m_harness;
    const std::string m_speech = m_harness.Root() / "speech.wav";  // after the harness it names
};

// One notification per message and fax, naming caller and length or pages, opening the inbox on its
// default action; the command sees the same.
TEST_F(NotifyTest, DesktopNotificationAndCommandForMessageAndFax) {
    const std::string bin = m_harness.Root() / "bin", script = bin + "/xdg-open";
    std::filesystem::create_directory(bin);
    WriteFile(
        script,
        "#!/bin/sh\n{ echo \"$@\"; env | grep -E '^VANTORO_(KIND|FILE|CALLER|PAGES|SECONDS)=' "
        "| sort; echo --; } >>\"$0.out\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    WriteFile(m_harness.Home() + "/vantoro.ini", Ini("command=" + script));
    UseShortCalls();
    auto program = m_harness.Start({"QT_QPA_PLATFORM=", "PATH=" + bin + ":" + getenv("PATH")},
                                   {m_harness.Program()});
    Call({"--number", "5551234", "--say", m_speech, "--say-after", "5", "--hangup-after", "9"});
    ASSERT_TRUE(WriteTiff(m_harness.Root() / "page.tif", {SparsePage(100, 1)}, false));
    Call({"--number", "5551234", "--fax", m_harness.Root() / "page.tif"});
    ASSERT_TRUE(WaitFor([&] { return m_server.shown.size() >= 2; }, 10000)) << m_harness.Log();
    QDBusConnection::sessionBus().send(QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                                  "org.freedesktop.Notifications",
                                                                  "ActionInvoked")
                                       << 1u << QString("default"));
    // The click opens the inbox on that message, not the file.
    EXPECT_EQ(
        std::system("timeout 10 xdotool search --sync --onlyvisible --name '^收件箱' >/dev/null"),
        0);
    EXPECT_EQ(program->Stop(15000), 0);

    const auto wav = m_harness.Files("wav"), tif = m_harness.Files("fax");
    ASSERT_TRUE(wav.size() == 1 && tif.size() == 1);
    const unsigned seconds = unsigned((std::filesystem::file_size(wav[0]) - 44 + 8000) / 16000);
    ASSERT_EQ(m_server.shown.size(), 2u);
    // The number reaches the program as the line's caller id (NMBR= between the rings).
    EXPECT_EQ(m_server.shown[0], "新留言 来电：5551234，时长 " + std::to_string(seconds) + " 秒");
    EXPECT_EQ(m_server.shown[1], "新传真 来电：5551234，共 1 页");
    // No sound server here: live listening cannot open the output, says so once, and the message
    // was recorded all the same.
    EXPECT_EQ(Count(m_harness.Log(), "无法打开声音输出"), 1u) << m_harness.Log();
    EXPECT_EQ(ReadFile(script + ".out"),
              "\nVANTORO_CALLER=5551234\nVANTORO_FILE=" + wav[0] +
                  "\nVANTORO_KIND=message\nVANTORO_SECONDS=" + std::to_string(seconds) +
                  "\n--\n\nVANTORO_CALLER=5551234\nVANTORO_FILE=" + tif[0] +
                  "\nVANTORO_KIND=fax\nVANTORO_PAGES=1\n--\n");
}

// Headless: no notification; a command that outlives its limit is stopped while the next call
// is answered, one that does not exist is one log line; the user's settings lines stay.
TEST_F(NotifyTest, SlowAndMissingCommandsLeaveTheLineAlone) {
    WriteFile(m_harness.Home() + "/vantoro.ini", Ini("command=sleep 1000\r\ntimeout=8"));
    const std::string missing = Ini("command=/nonexistent/vantoro-hook\r\ntimeout=8");
    auto program = m_harness.Start();
    Call({"--say", m_speech, "--say-after", "15", "--hangup-after", "17"});
    WriteFile(m_harness.Home() + "/vantoro.ini", missing);
    Call({"--say", m_speech, "--say-after", "15", "--hangup-after", "17"});
    ASSERT_TRUE(WaitFor([&] { return Count(m_harness.Log(), "正在等待呼叫") == 3; }, 15000));
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);

    EXPECT_EQ(m_harness.Files("wav").size(), 2u);
    const std::string log = m_harness.Log();
    EXPECT_EQ(Count(log, "通知命令"), 2u) << log;
    // Stopped during the second call's greeting.
    EXPECT_GT(log.find("通知命令超时，已终止: sleep"), log.rfind("播放欢迎词")) << log;
    EXPECT_NE(log.find("通知命令无法启动: /nonexistent/vantoro-hook (No such file or directory)"),
              std::string::npos);
    EXPECT_TRUE(m_server.shown.empty());
    std::string kept = missing;
    kept.insert(kept.find("\r\n\r\n[fax]") + 2, "skin=1\r\n");
    EXPECT_EQ(ReadFile(m_harness.Home() + "/vantoro.ini"), kept);
}

// A hook that floods its output and leaves a child in the background when it exits: the program's
// standard error gets one line with the output's tail, and the child is ended at the limit.
TEST_F(NotifyTest, AFloodingHookIsDrainedAndItsBackgroundChildEndsAtTheLimit) {
    const std::string hook = m_harness.Root() / "hook";
    WriteFile(hook, "#!/bin/sh\nsleep 100 &\necho $! >\"$0.pid\"\nyes | head -c 20000000\n");
    chmod(hook.c_str(), 0755);
    WriteFile(m_harness.Home() + "/vantoro.ini", Ini("command=" + hook + "\r\ntimeout=3"));
    UseShortCalls();
    auto program = m_harness.Start();
    Call({"--say", m_speech, "--say-after", "5", "--hangup-after", "8"});
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(hook + ".pid").empty(); }, 15000));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        WaitFor([&] { return Count(m_harness.Log(), "通知命令超时，已终止: " + hook); }, 15000))
        << m_harness.Log();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_GT(took.count(), 2.5);
    EXPECT_LT(took.count(), 6.0);
    const pid_t child = std::stoi(ReadFile(hook + ".pid"));
    EXPECT_TRUE(kill(child, 0) != 0 && errno == ESRCH) << "the background child still runs";
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
    EXPECT_LT(program->Stderr().size(), 64u * 1024);
    EXPECT_NE(program->Stderr().find("vantoro: the notify command " + hook +
                                     " wrote 20000000 bytes, ending: y | y | y"),
              std::string::npos)
        << program->Stderr().substr(0, 2000);
}

// A voice modem of the test's own that prints a caller's text as it came: markup, then a line end
// and a forged NMBR line. The number reaches the log and the notification server as the text
// before the line end, and the server gets it escaped.
TEST(NotifyMarkupTest, ACallerIdWithMarkupArrivesEscaped) {
    NotificationServer server;
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerService("org.freedesktop.Notifications")) << "no session bus";
    ASSERT_TRUE(bus.registerObject("/org/freedesktop/Notifications", &server,
                                   QDBusConnection::ExportAllSlots));
    TranscriptModem modem({{"ATZ", "OK"},
                           {"ATV1Q0", "OK"},
                           {"ATE0", "OK"},
                           {"ATI3", "CX93001-EIS_V0.2002-V92\nOK"},
                           {"AT&D2", "OK"},
                           {"AT+FCLASS=8", "OK"},
                           {"AT+VCID=1", "OK"},
                           {"AT+IFC=2,2", "OK"},
                           {"AT+VIT=0", "OK"},
                           {"AT+VSD=128,80", "OK"},
                           {"AT+VSM=?", "1,\"UNSIGNED PCM\",8,0,(8000),(0),(0)\nOK"},
                           {"AT+VSM=1,8000", "OK"},
                           {"AT+VSM?", "1,8000,0,0\nOK"},
                           {"AT+VLS=0", "OK"},
                           {"AT+VLS=1", "VCON"},
                           {"AT+VTX", "CONNECT"},
                           {"AT+VRX", "CONNECT"}});
    ProgramHarness harness;
    harness.UseModem(modem.DevicePath());
    harness.SetRings(1, 1);
    ASSERT_TRUE(WriteToneWav(harness.Home() + "/welcome.wav", 0.5, 440));
    auto program = harness.Start({"QT_QPA_PLATFORM="}, {harness.Program()});
    ASSERT_TRUE(WaitFor([&] { return Count(harness.Log(), "正在等待呼叫") == 1; }, 15000));
    modem.SendLine("NMBR = <b>555</b><img src=\"http://192.0.2.1/x\"/>&'\r\nNMBR = 999");
    modem.SendLine("RING");
    ASSERT_TRUE(modem.WaitForCommand("AT+VRX", 20000)) << harness.Log();
    // The caller speaks, as unsigned 8-bit samples with DLE shielded, and hangs up.
    const std::string speech = harness.Home() + "/speech.wav";
    ASSERT_TRUE(WriteSpeechWav(speech));
    const std::vector<int16_t> samples = ReadSamples(speech);
    for (size_t at = 0; at < samples.size(); at += 800) {  // 100 ms at a time, as a modem streams
        std::string stream;
        for (size_t i = at; i < std::min(samples.size(), at + 800); ++i) {
            stream += char((samples[i] >> 8) + 128);
            if (stream.back() == '\x10') stream += '\x10';
        }
        modem.Send(stream);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    modem.SendEvent('b');
    ASSERT_TRUE(WaitFor([&] { return !server.shown.empty(); }, 10000)) << harness.Log();
    EXPECT_EQ(server.shown[0].substr(0, server.shown[0].find("，时长")),
              "新留言 来电：&lt;b&gt;555&lt;/b&gt;&lt;img src=&quot;http://192.0.2.1/x&quot;/&gt;"
              "&amp;&#39;");
    const std::string log = harness.Log();
    const size_t number = log.find("来电号码: ");
    ASSERT_NE(number, std::string::npos) << log;
    EXPECT_EQ(log.substr(number, log.find_first_of("\r\n", number) - number),
              "来电号码: <b>555</b><img src=\"http://192.0.2.1/x\"/>&'");
    EXPECT_EQ(program->Stop(15000), 0);
}

}  // namespace

#include "notify_e2e_test.moc"
