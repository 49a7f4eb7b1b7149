// The installed program and the Debian package: what lands where, checked by the tools that
// judge such files, and the installed program answering a call on its installed line library.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/modem_harness.h"
#include "tests/support/program_harness.h"

namespace {

const std::vector<std::string> kInstalled = {
    "bin/vantoro",
    "bin/vantoro-faxrx",
    "bin/vantoro-rawtotiff",
    "bin/vantoro-vmodem",
    "lib/vantoro/libtapi32.so",
    "lib/systemd/user/vantoro.service",
    "share/applications/vantoro.desktop",
    "share/icons/hicolor/48x48/apps/vantoro.png",
    "share/icons/hicolor/64x64/apps/vantoro.png",
    "share/icons/hicolor/128x128/apps/vantoro.png",
    "share/icons/hicolor/256x256/apps/vantoro.png",
    "share/icons/hicolor/scalable/apps/vantoro.svg",
    "share/doc/vantoro/README.md",
    "share/doc/vantoro/copyright",
};

// Runs a tool to its end; its exit status, with its output in *output.
int RunTool(std::vector<std::string> argv, std::string* output = nullptr,
            std::vector<std::string> environment = {}) {
    argv.insert(argv.begin(), "/usr/bin/env");  // looked up on PATH
    ChildProcess tool(std::move(argv), std::move(environment));
    if (!tool.Start()) return -1;
    const int status = tool.WaitForExit(180000);
    if (output) *output = tool.Stdout() + tool.Stderr();
    return status;
}

bool Have(const std::string& tool) { return RunTool({"sh", "-c", "command -v " + tool}) == 0; }

TEST(InstallTest, InstalledProgramAnswersOnItsInstalledLineLibrary) {
    TempFolder prefix;
    std::string out;
    ASSERT_EQ(RunTool({CMAKE_COMMAND, "--install", BuildFolder(), "--prefix", prefix.Path()}, &out),
              0)
        << out;
    for (const std::string& file : kInstalled) EXPECT_TRUE(FileExists(prefix / file)) << file;
    EXPECT_FALSE(FileExists(prefix / "bin/vantoro-call"));
    EXPECT_EQ(
        RunTool({"desktop-file-validate", prefix / "share/applications/vantoro.desktop"}, &out), 0)
        << out;
    if (Have("systemd-analyze")) {
        EXPECT_EQ(RunTool({"systemd-analyze", "--user", "verify",
                           prefix / "lib/systemd/user/vantoro.service"},
                          &out, {"XDG_RUNTIME_DIR=" + prefix.Path()}),
                  0)
            << out;
    }

    ModemHarness modem(600);
    ASSERT_TRUE(modem.Start(false));
    ProgramHarness harness;
    harness.UseModem(modem.LinkPath());
    harness.SetRings(1, 1);
    auto program = harness.Start({"VANTORO_TAPI="}, {prefix / "bin/vantoro", "--headless"});
    ASSERT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs)) << program->Stderr();
    const std::string maps = ReadFile("/proc/" + std::to_string(program->Pid()) + "/maps");
    EXPECT_NE(maps.find(prefix / "lib/vantoro/libtapi32.so"), std::string::npos) << maps;
    EXPECT_EQ(maps.find(BuildFolder() + "/libtapi32.so"), std::string::npos);
    const size_t from = program->StdoutLines().size();
    EXPECT_EQ(modem.Call({"--hangup-after", "16"})->WaitForExit(60000), 0);
    EXPECT_TRUE(program->WaitForStdoutLine(kWaitingLine, kProgramStepMs, from));
    EXPECT_EQ(ProgramHarness::Exit(*program), 0);
    EXPECT_EQ(harness.Files("wav", ".wav").size(), 1u);
}

TEST(InstallTest, DebianPackageHoldsTheInstalledFiles) {
    TempFolder folder;
    std::string out;
    ASSERT_EQ(RunTool({CPACK_COMMAND, "-G", "DEB", "--config", BuildFolder() + "/CPackConfig.cmake",
                       "-B", folder.Path()},
                      &out),
              0)
        << out;
    const std::string deb = folder / "vantoro_1.0.0_amd64.deb";
    ASSERT_EQ(RunTool({"dpkg-deb", "-c", deb}, &out), 0) << out;
    for (const std::string& file : kInstalled)
        EXPECT_NE(out.find(" ./usr/" + file + "\n"), std::string::npos) << file;
    EXPECT_EQ(out.find("vantoro-call"), std::string::npos);
    ASSERT_EQ(RunTool({"dpkg-deb", "-f", deb, "Depends"}, &out), 0);
    EXPECT_NE(out.find("libqt6widgets6"), std::string::npos) << out;
    if (Have("lintian")) {
        EXPECT_EQ(RunTool({"lintian", "--fail-on", "error", deb}, &out), 0) << out;
    }
}

}  // namespace
