// The installed program and the Debian package: what lands where, checked by the tools that
// judge such files, and the installed program answering a call on its installed line library.

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <sstream>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

std::vector<std::string> Installed() {
    std::istringstream list(
        "bin/vantoro bin/vantoro-faxrx bin/vantoro-rawtotiff bin/vantoro-vmodem "
        "bin/vantoro-sipline "
        "lib/vantoro/libtapi32.so lib/systemd/user/vantoro.service "
        "share/applications/vantoro.desktop share/doc/vantoro/README.md "
        "share/doc/vantoro/copyright "
        "share/icons/hicolor/48x48/apps/vantoro.png share/icons/hicolor/64x64/apps/vantoro.png "
        "share/icons/hicolor/128x128/apps/vantoro.png share/icons/hicolor/256x256/apps/vantoro.png "
        "share/icons/hicolor/scalable/apps/vantoro.svg");
    return {std::istream_iterator<std::string>(list), std::istream_iterator<std::string>()};
}

// Runs a tool to its end, expecting success; its output.
std::string RunTool(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
    argv.insert(argv.begin(), "/usr/bin/env");  // looked up on PATH
    ChildProcess tool(argv, std::move(environment));
    EXPECT_TRUE(tool.Start());
    EXPECT_EQ(tool.WaitForExit(180000), 0) << argv[1] << ": " << tool.Stdout() << tool.Stderr();
    return tool.Stdout();
}

bool Have(const std::string& tool) { return std::system(("command -v " + tool).c_str()) == 0; }

TEST(InstallTest, InstalledProgramAnswersOnItsInstalledLineLibrary) {
    TempFolder prefix;
    RunTool({CMAKE_COMMAND, "--install", BuildFolder(), "--prefix", prefix.Path()});
    for (const std::string& file : Installed()) EXPECT_TRUE(FileExists(prefix / file)) << file;
    EXPECT_FALSE(FileExists(prefix / "bin/vantoro-call"));
    RunTool({"desktop-file-validate", prefix / "share/applications/vantoro.desktop"});
    if (Have("systemd-analyze")) {
        RunTool(
            {"systemd-analyze", "--user", "verify", prefix / "lib/systemd/user/vantoro.service"},
            {"XDG_RUNTIME_DIR=" + prefix.Path()});
    }

    ModemHarness modem(600);
    ASSERT_TRUE(modem.Start());
    ProgramHarness harness;
    harness.UseModem(modem.LinkPath());
    harness.SetRings(1, 1);
    auto program = harness.Start({"VANTORO_TAPI="}, {prefix / "bin/vantoro", "--headless"});
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs)) << program->Stderr();
    const std::string maps = ReadFile("/proc/" + std::to_string(program->Pid()) + "/maps");
    EXPECT_NE(maps.find(prefix / "lib/vantoro/libtapi32.so"), std::string::npos) << maps;
    EXPECT_EQ(maps.find(BuildFolder() + "/libtapi32.so"), std::string::npos);
    const size_t from = program->StdoutLines().size();
    const std::string speech = harness.Root() / "speech.wav";
    ASSERT_TRUE(WriteSpeechWav(speech));
    EXPECT_EQ(modem.Call({"--say", speech, "--say-after", "15", "--hangup-after", "18"})
                  ->WaitForExit(60000),
              0);
    EXPECT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs, from));
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
    EXPECT_EQ(harness.Files("wav", ".wav").size(), 1u);
}

TEST(InstallTest, DebianPackageHoldsTheInstalledFiles) {
    TempFolder folder;
    RunTool({CPACK_COMMAND, "-G", "DEB", "--config", BuildFolder() + "/CPackConfig.cmake", "-B",
             folder.Path()});
    const std::string deb = folder / "vantoro_1.0.0_amd64.deb";
    const std::string listing = RunTool({"dpkg-deb", "-c", deb});
    for (const std::string& file : Installed())
        EXPECT_NE(listing.find(" ./usr/" + file + "\n"), std::string::npos) << file;
    EXPECT_EQ(listing.find("vantoro-call"), std::string::npos);
    EXPECT_NE(RunTool({"dpkg-deb", "-f", deb, "Depends"}).find("libqt6widgets6"),
              std::string::npos);
    if (Have("lintian")) RunTool({"lintian", "--fail-on", "error", deb});
}

}  // namespace
