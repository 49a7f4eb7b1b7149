#include "tests/tapi/line_fixture.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        QCoreApplication::processEvents();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<TranscriptModem::Rule> VoiceModemRules() {
    return {
        {"ATZ", "OK"},
        {"ATE0", "OK"},
        {"AT+FCLASS=8", "OK"},
        {"AT+VCID=1", "OK"},
        {"AT+IFC=2,2", "OK"},
        {"AT+VIT=0", "OK"},
        {"AT+VSM=?",
         "0,\"SIGNED PCM\",8,0,(8000),(0),(0)\n"
         "1,\"UNSIGNED PCM\",8,0,(8000),(0),(0)\n"
         "4,\"G.711U\",8,0,(8000),(0),(0)\n"
         "OK"},
        {"AT+VSM=1,8000", "OK"},
        {"AT+VLS=0", "OK"},
        {"AT+VLS=1", "VCON"},
        {"ATH", "OK"},
        {"ATV1Q0", "OK"},
        {"ATI3", "CX93001-EIS_V0.2002-V92\nOK"},
        {"AT&D2", "OK"},
        {"AT+VSM?", "1,8000,0,0\nOK"},
        {"AT+VSD=128,80", "OK"},
    };
}

void LineTest::SetUp() {
    setenv("VANTORO_TAPI", TAPI_LIBRARY_PATH, 1);
    void* entry = nullptr;
    ASSERT_EQ(tapi_binding::LoadTapiEntry("lineInitialize", entry), 0) << "no " TAPI_LIBRARY_PATH;
    Events().clear();
}

void LineTest::Shutdown() {
    if (m_app != 0) {
        EXPECT_EQ(lineShutdown(m_app), 0);
    }
    m_app = 0;
    m_line = 0;
}

void LineTest::TearDown() {
    Shutdown();
    unsetenv("VANTORO_MODEM");
    unsetenv("XDG_CONFIG_HOME");
}

DWORD LineTest::Initialize(const std::string& modemPath, const std::string& iniText) {
    mkdir((m_config / "vantoro").c_str(), 0700);
    WriteFile(m_config / "vantoro/line.ini", iniText);
    setenv("XDG_CONFIG_HOME", m_config.Path().c_str(), 1);
    if (modemPath.empty()) {
        unsetenv("VANTORO_MODEM");
    } else {
        setenv("VANTORO_MODEM", modemPath.c_str(), 1);
    }
    DWORD devices = 99;
    EXPECT_EQ(lineInitialize(&m_app, nullptr, &Callback, "test", &devices), 0);
    return devices;
}

void LineTest::OpenLine(const std::string& devicePath) {
    ASSERT_EQ(
        Initialize(devicePath, "[line]\nring-timeout-ms=" + std::to_string(kRingTimeoutMs) + "\n"),
        1u);
    LINEEXTENSIONID extension{};
    ASSERT_EQ(lineNegotiateAPIVersion(m_app, 0, 0x00010004, 0x00030000, &m_version, &extension), 0);
    std::vector<char> buffer(2301);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetDevCaps(m_app, 0, m_version, 0, caps), 0);
    ASSERT_EQ(lineOpen(m_app, 0, &m_line, m_version, 0, kInstance,
                       LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER,
                       LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    ASSERT_EQ(lineSetStatusMessages(m_line, caps->dwLineStates, 0), 0);
}

HCALL LineTest::OfferCall(TranscriptModem& modem) {
    size_t from = EventCount();
    modem.SendLine("RING");
    std::optional<LineEvent> offering = WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, from);
    return offering ? static_cast<HCALL>(offering->device) : 0;
}

HCALL LineTest::OpenWithCall(TranscriptModem& modem, CallStage stage) {
    OpenLine(modem.DevicePath());
    HCALL call = stage == CallStage::Waiting ? 0 : OfferCall(modem);
    if (stage == CallStage::Answered) AnswerCall(modem, call);
    return call;
}

void LineTest::AnswerCall(TranscriptModem& modem, HCALL call) {
    size_t from = EventCount();
    ASSERT_GT(lineAnswer(call, nullptr, 0), 0);
    ASSERT_TRUE(modem.WaitForCommand("AT+VLS=1", kPromptMs));
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED, from));
}

LONG LineTest::Reply(LONG request, int timeoutMs) {
    if (request <= 0) {
        ADD_FAILURE() << "request refused: " << request;
        return kNoReply;
    }
    auto reply = WaitFor(LINE_REPLY, static_cast<DWORD_PTR>(request), 0, timeoutMs);
    return reply ? static_cast<LONG>(reply->param2) : kNoReply;
}

std::optional<LineEvent> LineTest::Find(DWORD message, DWORD_PTR param1, size_t from) {
    for (size_t i = from; i < Events().size(); ++i) {
        const LineEvent& event = Events()[i];
        if (event.message == message && (param1 == kAny || event.param1 == param1)) return event;
    }
    return std::nullopt;
}

std::optional<LineEvent> LineTest::WaitFor(DWORD message, DWORD_PTR param1, size_t from,
                                           int timeoutMs) {
    PumpUntil([&] { return Find(message, param1, from).has_value(); }, timeoutMs);
    return Find(message, param1, from);
}

std::vector<LineEvent>& LineTest::Events() {
    static std::vector<LineEvent> events;
    return events;
}

void LineTest::Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                        DWORD_PTR p3) {
    Events().push_back({std::this_thread::get_id(), device, message, instance, p1, p2, p3});
}
