// Telling of stored messages and faxes end to end: the program on the real line library and a
// virtual modem, on a private session bus (dbus-run-session) and a display (xvfb-run), where a
// notification server of our own records what it shows.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QVariantMap>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

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

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class NotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDBusConnection bus = QDBusConnection::sessionBus();
        ASSERT_TRUE(bus.registerService("org.freedesktop.Notifications")) << "no session bus";
        ASSERT_TRUE(bus.registerObject("/org/freedesktop/Notifications", &m_server,
                                       QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(m_modem.Start(false));
        m_harness.UseModem(m_modem.LinkPath());
    }
    void TearDown() override {
        QDBusConnection::sessionBus().unregisterObject("/org/freedesktop/Notifications");
        QDBusConnection::sessionBus().unregisterService("org.freedesktop.Notifications");
    }
    std::string Ini(const std::string& notify) const {
        return "; my answering machine\r\n[vantoro]\r\nring=1 ;rings\r\ntime=1\r\n\r\n[fax]\r\n"
               "mode=fast\r\n[notify]\r\n# hand it on\r\n" +
               notify;  // the last line without its end
    }
    void Call(std::vector<std::string> args) {
        auto caller = m_modem.Call(std::move(args));
        EXPECT_EQ(caller->WaitForExit(120000), 0) << caller->Stdout() << caller->Stderr();
    }
    NotificationServer m_server;
    ModemHarness m_modem{600};
    ProgramHarness m_harness;
    std::string m_out = m_harness.Root() / "env.txt";
};

// On a desktop: one notification per stored message and fax, naming the caller and the length
// or page count; the command sees the same in its environment.
TEST_F(NotifyTest, DesktopNotificationAndCommandForMessageAndFax) {
    const std::string script = m_harness.Root() / "hook.sh";
    WriteFile(script,
              "#!/bin/sh\n{ env | grep -E '^VANTORO_(KIND|FILE|CALLER|PAGES|SECONDS)=' | "
              "sort; echo --; } >>\"$1\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    WriteFile(m_harness.Home() + "/vantoro.ini", Ini("command=" + script + " " + m_out));
    auto program = m_harness.Start({"QT_QPA_PLATFORM="}, {m_harness.Program()});
    Call({"--number", "5551234", "--hangup-after", "19"});
    ASSERT_TRUE(WaitFor([&] { return m_server.shown.size() == 1; }, 10000)) << m_harness.Log();
    ASSERT_TRUE(WriteTiff(m_harness.Root() / "page.tif", {SparsePage(100, 1)}, false));
    Call({"--number", "5551234", "--fax", m_harness.Root() / "page.tif"});
    ASSERT_TRUE(WaitFor([&] { return m_server.shown.size() >= 2; }, 10000)) << m_harness.Log();
    EXPECT_EQ(program->Stop(15000), 0);

    const auto wav = m_harness.Files("wav"), tif = m_harness.Files("fax");
    ASSERT_EQ(wav.size(), 1u);
    ASSERT_EQ(tif.size(), 1u);
    const unsigned seconds = unsigned((std::filesystem::file_size(wav[0]) - 44 + 8000) / 16000);
    const std::string length = "时长 " + std::to_string(seconds) + " 秒";
    ASSERT_EQ(m_server.shown.size(), 2u);
    // The number reaches the program as the line's caller id (NMBR= between the rings).
    EXPECT_EQ(m_server.shown[0], "新留言 来电：5551234，" + length);
    EXPECT_EQ(m_server.shown[1], "新传真 来电：5551234，共 1 页");
    EXPECT_TRUE(WaitFor([&] { return Count(ReadFile(m_out), "--\n") == 2; }, 10000));
    EXPECT_EQ(ReadFile(m_out),
              "VANTORO_CALLER=5551234\nVANTORO_FILE=" + wav[0] +
                  "\nVANTORO_KIND=message\nVANTORO_SECONDS=" + std::to_string(seconds) +
                  "\n--\nVANTORO_CALLER=5551234\nVANTORO_FILE=" + tif[0] +
                  "\nVANTORO_KIND=fax\nVANTORO_PAGES=1\n--\n");
}

// Headless: no notification; a command that outlives its limit is stopped while the next call
// is answered, one that does not exist is one log line; the user's settings lines stay.
TEST_F(NotifyTest, SlowAndMissingCommandsLeaveTheLineAlone) {
    WriteFile(m_harness.Home() + "/vantoro.ini", Ini("command=sleep 1000\r\ntimeout=8"));
    const std::string missing = Ini("command=/nonexistent/vantoro-hook\r\ntimeout=8");
    auto program = m_harness.Start();
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs));
    for (int call = 1; call <= 2; ++call) {
        const size_t from = program->StdoutLines().size();
        Call({"--hangup-after", "17"});
        ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs, from));
        WriteFile(m_harness.Home() + "/vantoro.ini", missing);
    }
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

}  // namespace

#include "notify_e2e_test.moc"
