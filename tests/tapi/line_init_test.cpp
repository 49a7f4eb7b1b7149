// Initialisation transcripts, finding the device, capabilities and the API's refusals.

#include <chrono>

#include "tests/tapi/line_fixture.h"

namespace {

using LineInit = LineTest;

const std::vector<std::string> kSetupWithoutFormat = {
    "ATZ",       "ATV1Q0",     "ATE0",     "ATI3",          "AT+GCI?",  "AT&D2",    "AT+FCLASS=8",
    "AT+VCID=1", "AT+IFC=2,2", "AT+VIT=0", "AT+VSD=128,80", "AT+VSM=?", "AT+VLS=0",
};

std::vector<std::string> SetupWithFormat(const std::string& select) {
    std::vector<std::string> commands = kSetupWithoutFormat;
    commands.insert(commands.end() - 1, {select, "AT+VSM?"});
    return commands;
}

TEST_F(LineInit, TranscriptsOfDifferentModems) {
    struct Case {
        const char* name;
        std::vector<TranscriptModem::Rule> changes;  // replies unlike the common voice modem's
        std::vector<std::string> sent;               // empty: not checked
        DWORD devices;
    };
    const std::vector<std::string> kVoiceSetup = SetupWithFormat("AT+VSM=1,8000");
    const std::vector<Case> cases = {
        {"common voice modem", {}, kVoiceSetup, 1},
        {"optional commands refused, ATH for on hook",
         {{"AT+VCID=1", "ERROR"},
          {"AT+IFC=2,2", "ERROR"},
          {"AT+VIT=0", "ERROR"},
          {"AT+VSM=?", "ERROR"},
          {"AT+VLS=0", "ERROR"}},
         {"ATZ", "ATV1Q0", "ATE0", "ATI3", "AT+GCI?", "AT&D2", "AT+FCLASS=8", "AT+VCID=1",
          "AT#CID=1", "AT+IFC=2,2", "AT+VIT=0", "AT+VSD=128,80", "AT+VSM=?", "AT+VLS=0", "ATH"},
         1},
        {"mu-law without unsigned PCM",
         {{"AT+VSM=?", "2,\"ADPCM\",2,0,(8000),(0),(0)\n+VSM: 4,\"G.711U\",8,0,8000\nOK"},
          {"AT+VSM=4,8000", "OK"}},
         SetupWithFormat("AT+VSM=4,8000"),
         1},
        {"no format at 8000 Hz",
         {{"AT+VSM=?", "1,\"UNSIGNED PCM\",8,0,(11025),(0),(0)\n2,\"ADPCM\",2,0,(8000)\nOK"}},
         kSetupWithoutFormat,
         1},
        {"no voice class",
         {{"AT+FCLASS=8", "ERROR"}},
         {"ATZ", "ATV1Q0", "ATE0", "ATI3", "AT+GCI?", "AT&D2", "AT+FCLASS=8"},
         0},
        {"never answers", {{"ATZ", ""}, {"ATV1Q0", ""}}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TranscriptModem modem(VoiceModemRules());
        for (const auto& [command, reply] : c.changes) modem.SetReply(command, reply);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Initialize(modem.DevicePath()), c.devices);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        if (!c.sent.empty()) {
            EXPECT_EQ(modem.Commands(), c.sent);
        }
        Shutdown();
    }
}

TEST_F(LineInit, TheDeviceComesFromTheEnvironmentElseFromLineIni) {
    for (const char* path : {"", "/nonexistent/ttyACM9", "/dev/null"}) {
        EXPECT_EQ(Initialize(path), 0u) << "VANTORO_MODEM=" << path;
        Shutdown();
    }
    TranscriptModem modem(VoiceModemRules());
    EXPECT_EQ(Initialize("", "; the service's own settings\n[line]\nmodem=" + modem.DevicePath()),
              1u);
}

TEST_F(LineInit, RefusesBadVersionsHandlesAndSecondUsers) {
    TranscriptModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    DWORD version = 0;
    LINEEXTENSIONID ext{};
    EXPECT_EQ(lineNegotiateAPIVersion(m_app, 0, 0x00010004, 0x00020002, &version, &ext), 0);
    EXPECT_EQ(version, 0x00020002u);
    EXPECT_EQ(lineNegotiateAPIVersion(m_app, 0, 0x00040000, 0x00050000, &version, &ext),
              LINEERR_INCOMPATIBLEAPIVERSION);
    HLINEAPP second = 0;
    DWORD devices = 0;
    EXPECT_EQ(lineInitialize(&second, nullptr, &Callback, "other", &devices),
              LINEERR_RESOURCEUNAVAIL);
    HLINE line = 0;
    EXPECT_EQ(lineOpen(m_app, 0, &line, m_version, 0, 0, LINECALLPRIVILEGE_OWNER,
                       LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
              LINEERR_ALLOCATED);
    EXPECT_EQ(lineClose(m_line), 0);
    EXPECT_EQ(lineClose(m_line), LINEERR_INVALLINEHANDLE);
}

}  // namespace
