#include "tests/support/program_harness.h"

#include <algorithm>
#include <filesystem>

ProgramHarness::ProgramHarness() {
    for (const char* folder : {"config/vantoro", "home", "tmp"})
        std::filesystem::create_directories(m_root / folder);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

void ProgramHarness::UseModem(const std::string& link, const std::string& more) const {
    WriteFile(m_root / "config/vantoro/line.ini",
              "modem=" + link + "\nring-timeout-ms=1500\n" + more);
}

void ProgramHarness::SetRings(int rings, int minutes) const {
    WriteFile(Home() + "/vantoro.ini", "[vantoro]\nring=" + std::to_string(rings) +
                                           "\ntime=" + std::to_string(minutes) + "\n");
}

std::vector<std::string> ProgramHarness::Files(const std::string& folder,
                                               const std::string& extension) const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(Home() + "/" + folder))
        if (extension.empty() || entry.path().extension() == extension)
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::unique_ptr<ChildProcess> ProgramHarness::Start(std::vector<std::string> environment,
                                                    std::vector<std::string> argv) const {
    if (argv.empty()) argv = {Program(), "--headless"};
    environment.insert(
        environment.begin(),
        {"XDG_RUNTIME_DIR=" + m_root.Path(), "XDG_STATE_HOME=" + (m_root / "state"),
         "XDG_CONFIG_HOME=" + (m_root / "config"), "TMPDIR=" + Temp(), "VANTORO_HOME=" + Home()});
    auto program = std::make_unique<ChildProcess>(std::move(argv), std::move(environment));
    program->Start();
    return program;
}

int ProgramHarness::Exit(ChildProcess& program) {
    program.WriteStdin("exit\n");
    return program.WaitForExit(kProgramStepMs);
}
