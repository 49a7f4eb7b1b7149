#include "tests/tapi/line_fixture.h"

std::vector<ScriptedModem::Rule> VoiceModemRules() {
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
    };
}

void LineTest::SetUp() {
    m_lib = LineLibrary::Get();
    ASSERT_NE(m_lib, nullptr) << "libtapi32.so or one of its exports is missing";
    EventLog::Clear();
}

void LineTest::TearDown() { Shutdown(); }

void LineTest::Shutdown() {
    if (m_app != 0) {
        EXPECT_EQ(m_lib->shutdown(m_app), 0);
    }
    m_app = 0;
    m_line = 0;
}

void LineTest::OpenLine(const std::string& devicePath) {
    m_env.reset();  // its destructor clears the environment
    m_env = std::make_unique<LineEnvironment>(
        devicePath, "[line]\nring-timeout-ms=" + std::to_string(kRingTimeoutMs) + "\n");
    DWORD devices = 0;
    ASSERT_EQ(m_lib->initialize(&m_app, nullptr, &EventLog::Callback, "test", &devices), 0);
    ASSERT_EQ(devices, 1u);
    LINEEXTENSIONID extension{};
    ASSERT_EQ(m_lib->negotiateApiVersion(m_app, 0, 0x00010004, 0x00030000, &m_version, &extension),
              0);
    std::vector<char> buffer(2301);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(m_lib->getDevCaps(m_app, 0, m_version, 0, caps), 0);
    ASSERT_EQ(m_lib->open(m_app, 0, &m_line, m_version, 0, kInstance,
                          LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    ASSERT_EQ(m_lib->setStatusMessages(m_line, caps->dwLineStates, 0), 0);
}

HCALL LineTest::OfferCall(ScriptedModem& modem) {
    size_t from = EventCount();
    modem.SendLine("RING");
    std::optional<LineEvent> offering = WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, from);
    return offering ? static_cast<HCALL>(offering->device) : 0;
}

void LineTest::AnswerCall(ScriptedModem& modem, HCALL call) {
    size_t from = EventCount();
    LONG request = m_lib->answer(call, nullptr, 0);
    ASSERT_GT(request, 0);
    ASSERT_TRUE(modem.WaitForCommand("AT+VLS=1", kPromptMs));
    ASSERT_TRUE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED, from));
}

std::optional<LineEvent> LineTest::Find(DWORD message, DWORD_PTR param1, size_t from) {
    const std::vector<LineEvent>& events = EventLog::Events();
    for (size_t i = from; i < events.size(); ++i) {
        if (events[i].message == message &&
            (param1 == ~DWORD_PTR{0} || events[i].param1 == param1)) {
            return events[i];
        }
    }
    return std::nullopt;
}

std::optional<LineEvent> LineTest::WaitFor(DWORD message, DWORD_PTR param1, size_t from,
                                           int timeoutMs) {
    PumpUntil([&] { return Find(message, param1, from).has_value(); }, timeoutMs);
    return Find(message, param1, from);
}
