#include "tests/support/program_harness.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/support/clock.h"

namespace {

constexpr int kPollMs = 50;

// Checks `done` until it holds or `timeoutMs` have passed; a file has no descriptor to wait on.
bool PollUntil(const std::function<bool()>& done, int timeoutMs) {
    for (const long long end = MonotonicMs() + timeoutMs;;) {
        if (done()) return true;
        if (MonotonicMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

}  // namespace

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

bool ProgramHarness::UseShortGreeting() const {
    const std::string command =
        "sox -q -n -r 8000 -b 16 -c 1 '" + Home() + "/welcome.wav' synth 1 sine 300 vol 0.3";
    return std::system(command.c_str()) == 0;
}

bool ProgramHarness::WaitForLog(const std::string& text, int timeoutMs, size_t from) const {
    return PollUntil([&] { return Log().find(text, from) != std::string::npos; }, timeoutMs);
}

std::vector<std::string> ProgramHarness::WaitForFiles(const std::string& folder,
                                                      const std::string& extension, size_t count,
                                                      int timeoutMs) const {
    std::vector<std::string> files;
    PollUntil(
        [&] {
            files = Files(folder, extension);
            const std::string log = Log();
            return files.size() >= count &&
                   std::all_of(files.begin(), files.end(), [&](const std::string& file) {
                       return log.find(": " + file + "\r\n") != std::string::npos;
                   });
        },
        timeoutMs);
    return files;
}

std::unique_ptr<ChildProcess> ProgramHarness::Start(std::vector<std::string> environment,
                                                    std::vector<std::string> argv) const {
    if (argv.empty()) argv = {Program(), "--headless"};
    environment.insert(
        environment.begin(),
        {"XDG_RUNTIME_DIR=" + m_root.Path(), "XDG_STATE_HOME=" + (m_root / "state"),
         "XDG_CONFIG_HOME=" + (m_root / "config"), "TMPDIR=" + Temp(), "VANTORO_HOME=" + Home()});
    if (m_recordLimitS > 0) {
        environment.insert(environment.begin(),
                           "VANTORO_TEST_RECORD_LIMIT_S=" + std::to_string(m_recordLimitS));
    }
    if (m_faxWindowMs > 0) {
        environment.insert(environment.begin(),
                           "VANTORO_TEST_FAX_WINDOW_MS=" + std::to_string(m_faxWindowMs));
    }
    auto program = std::make_unique<ChildProcess>(std::move(argv), std::move(environment));
    program->Start();
    return program;
}

int ProgramHarness::Exit(ChildProcess& program) {
    program.WriteStdin("exit\n");
    return program.WaitForExit(kProgramStepMs);
}
