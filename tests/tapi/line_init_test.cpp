// Initialisation, capabilities and the service's life cycle.

#include <dirent.h>

#include <chrono>
#include <cstdlib>

#include "tests/tapi/line_fixture.h"

namespace {

const std::vector<std::string> kVoiceSetup = {
    "ATZ",      "ATE0",     "AT+FCLASS=8",   "AT+VCID=1", "AT+IFC=2,2",
    "AT+VIT=0", "AT+VSM=?", "AT+VSM=1,8000", "AT+VLS=0",
};

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

using LineInit = LineTest;

TEST_F(LineInit, SetsTheModemUpForVoiceAndReportsOneDevice) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    EXPECT_EQ(modem.Commands(), kVoiceSetup);
    EXPECT_EQ(m_version, 0x00030000u);
}

TEST_F(LineInit, CopesWithAModemThatEchoesUntilAte0) {
    ScriptedModem modem(VoiceModemRules(), ScriptedModem::Echo::OnUntilAte0);
    OpenLine(modem.DevicePath());
    EXPECT_EQ(modem.Commands(), kVoiceSetup);
}

TEST_F(LineInit, OptionalCommandsMayBeRefused) {
    auto rules = VoiceModemRules();
    ScriptedModem modem(rules);
    for (const char* refused : {"AT+VCID=1", "AT+IFC=2,2", "AT+VIT=0", "AT+VSM=?", "AT+VLS=0"}) {
        modem.SetReply(refused, "ERROR");
    }
    OpenLine(modem.DevicePath());
    // No format is selected without a listing, and ATH puts the modem on hook instead.
    std::vector<std::string> expected = {"ATZ",       "ATE0",       "AT+FCLASS=8",
                                         "AT+VCID=1", "AT+IFC=2,2", "AT+VIT=0",
                                         "AT+VSM=?",  "AT+VLS=0",   "ATH"};
    EXPECT_EQ(modem.Commands(), expected);
}

TEST_F(LineInit, ChoosesMuLawWhenTheModemHasNoUnsignedPcm) {
    ScriptedModem modem(VoiceModemRules());
    modem.SetReply("AT+VSM=?",
                   "0,\"SIGNED PCM\",8,0,(8000),(0),(0)\n4,\"G.711U\",8,0,(8000),(0),(0)\nOK");
    modem.SetReply("AT+VSM=4,8000", "OK");
    OpenLine(modem.DevicePath());
    EXPECT_TRUE(modem.WaitForCommand("AT+VSM=4,8000", 0));
}

TEST_F(LineInit, AModemThatIsNotAVoiceModemGivesNoDevice) {
    ScriptedModem modem(VoiceModemRules());
    modem.SetReply("AT+FCLASS=8", "ERROR");
    LineEnvironment env(modem.DevicePath(), "");
    DWORD devices = 99;
    ASSERT_EQ(m_lib->initialize(&m_app, nullptr, &EventLog::Callback, "test", &devices), 0);
    EXPECT_EQ(devices, 0u);
    DWORD version = 0;
    LINEEXTENSIONID extension{};
    EXPECT_EQ(m_lib->negotiateApiVersion(m_app, 0, 0x00010004, 0x00030000, &version, &extension),
              LINEERR_BADDEVICEID);
    HLINE line = 0;
    EXPECT_EQ(m_lib->open(m_app, 0, &line, 0x00030000, 0, 0, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
              LINEERR_BADDEVICEID);
    // Nothing after the refused command: the service gives up at once.
    EXPECT_EQ(modem.Commands().back(), "AT+FCLASS=8");
}

TEST_F(LineInit, NoModemConfiguredOrAMissingDeviceGivesNoDevice) {
    for (const std::string& path : {std::string(), std::string("/nonexistent/ttyACM9")}) {
        LineEnvironment env(path, "");
        DWORD devices = 99;
        ASSERT_EQ(m_lib->initialize(&m_app, nullptr, &EventLog::Callback, "test", &devices), 0);
        EXPECT_EQ(devices, 0u) << path;
        Shutdown();
    }
}

TEST_F(LineInit, AFileThatIsNoTerminalGivesNoDevice) {
    LineEnvironment env("/dev/null", "");
    DWORD devices = 99;
    ASSERT_EQ(m_lib->initialize(&m_app, nullptr, &EventLog::Callback, "test", &devices), 0);
    EXPECT_EQ(devices, 0u);
}

TEST_F(LineInit, AModemThatNeverAnswersGivesNoDeviceAfterItsTimeOut) {
    ScriptedModem modem(std::vector<ScriptedModem::Rule>{{"ATZ", ""}});
    LineEnvironment env(modem.DevicePath(), "");
    DWORD devices = 99;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(m_lib->initialize(&m_app, nullptr, &EventLog::Callback, "test", &devices), 0);
    EXPECT_EQ(devices, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(LineInit, TheModemComesFromLineIniWhenTheEnvironmentNamesNone) {
    ScriptedModem modem(VoiceModemRules());
    LineEnvironment env("",
                        "; the service's own settings\n[line]\nmodem=" + modem.DevicePath() + "\n");
    DWORD devices = 0;
    ASSERT_EQ(m_lib->initialize(&m_app, nullptr, &EventLog::Callback, "test", &devices), 0);
    EXPECT_EQ(devices, 1u);
}

TEST_F(LineInit, OnlyOneApplicationAtATime) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HLINEAPP second = 0;
    DWORD devices = 0;
    EXPECT_EQ(m_lib->initialize(&second, nullptr, &EventLog::Callback, "other", &devices),
              LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(m_lib->shutdown(m_app + 1), LINEERR_INVALAPPHANDLE);
}

TEST_F(LineInit, InitialiseAndShutDownManyTimesLeaksNothing) {
    ScriptedModem modem(VoiceModemRules());
    int before = OpenDescriptors();
    for (int round = 0; round < 20; ++round) {
        OpenLine(modem.DevicePath());
        if (HasFatalFailure()) return;
        EXPECT_EQ(m_lib->close(m_line), 0);
        Shutdown();
    }
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_TRUE(modem.WaitForCommand("ATZ", kPromptMs, 20));
}

TEST_F(LineInit, VersionNegotiationAcceptsOverlappingRangesOnly) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    DWORD version = 0;
    LINEEXTENSIONID extension{};
    EXPECT_EQ(m_lib->negotiateApiVersion(m_app, 0, 0x00010004, 0x00020002, &version, &extension),
              0);
    EXPECT_EQ(version, 0x00020002u);
    EXPECT_EQ(m_lib->negotiateApiVersion(m_app, 0, 0x00040000, 0x00050000, &version, &extension),
              LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(m_lib->negotiateApiVersion(m_app, 1, 0x00010004, 0x00030000, &version, &extension),
              LINEERR_BADDEVICEID);
}

TEST_F(LineInit, CapabilitiesQualifyAVoiceModem) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    std::vector<char> buffer(2301);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(m_lib->getDevCaps(m_app, 0, m_version, 0, caps), 0);
    EXPECT_TRUE(caps->dwBearerModes & LINEBEARERMODE_VOICE);
    EXPECT_TRUE(caps->dwAddressModes & LINEADDRESSMODE_ADDRESSID);
    DWORD voiceModem =
        LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM;
    EXPECT_EQ(caps->dwMediaModes & voiceModem, voiceModem);
    EXPECT_TRUE(caps->dwLineStates & LINEDEVSTATE_RINGING);
    EXPECT_LE(caps->dwUsedSize, caps->dwTotalSize);
    ASSERT_GT(caps->dwLineNameSize, 0u);
    std::string name(buffer.data() + caps->dwLineNameOffset);
    EXPECT_NE(name.find(modem.DevicePath()), std::string::npos) << name;
}

TEST_F(LineInit, ASmallCapabilityBufferLearnsTheNeededSize) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    for (DWORD small : {DWORD{12}, DWORD{sizeof(LINEDEVCAPS)}}) {
        std::vector<char> buffer(small);
        auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
        caps->dwTotalSize = small;
        EXPECT_EQ(m_lib->getDevCaps(m_app, 0, m_version, 0, caps), LINEERR_STRUCTURETOOSMALL);
        EXPECT_GT(caps->dwNeededSize, small);
        // The program's loop: exactly the needed size succeeds.
        std::vector<char> grown(caps->dwNeededSize);
        auto* enough = reinterpret_cast<LINEDEVCAPS*>(grown.data());
        enough->dwTotalSize = caps->dwNeededSize;
        EXPECT_EQ(m_lib->getDevCaps(m_app, 0, m_version, 0, enough), 0);
        EXPECT_EQ(enough->dwUsedSize, enough->dwNeededSize);
    }
}

TEST_F(LineInit, StatusMessagesOutsideTheCapabilitiesAreRefused) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    EXPECT_EQ(m_lib->setStatusMessages(m_line, LINEDEVSTATE_REINIT, 0), LINEERR_INVALLINESTATE);
    EXPECT_EQ(m_lib->setStatusMessages(m_line + 1, LINEDEVSTATE_RINGING, 0),
              LINEERR_INVALLINEHANDLE);
}

TEST_F(LineInit, OpeningTwiceIsRefusedAndCloseTwiceFails) {
    ScriptedModem modem(VoiceModemRules());
    OpenLine(modem.DevicePath());
    HLINE second = 0;
    EXPECT_EQ(m_lib->open(m_app, 0, &second, m_version, 0, 0, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
              LINEERR_ALLOCATED);
    EXPECT_EQ(m_lib->close(m_line), 0);
    EXPECT_EQ(m_lib->close(m_line), LINEERR_INVALLINEHANDLE);
}

}  // namespace

namespace {

// A real voice modem, when one is named: VANTORO_TEST_MODEM=/dev/ttyACM0.
TEST(LineHardware, ARealVoiceModemInitialises) {
    const char* device = std::getenv("VANTORO_TEST_MODEM");
    if (!device || !*device) GTEST_SKIP() << "no modem named in VANTORO_TEST_MODEM";
    const LineLibrary* lib = LineLibrary::Get();
    ASSERT_NE(lib, nullptr);
    LineEnvironment env(device, "");
    HLINEAPP app = 0;
    DWORD devices = 0;
    ASSERT_EQ(lib->initialize(&app, nullptr, &EventLog::Callback, "test", &devices), 0);
    EXPECT_EQ(devices, 1u);
    EXPECT_EQ(lib->shutdown(app), 0);
}

}  // namespace
