#pragma once
// A vantoro-vmodem started for one test, its pty opened raw, and callers into it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

class ModemHarness
{
public:
    explicit ModemHarness(int ringIntervalMs = 300, std::vector<std::string> extraArgs = {});
    ~ModemHarness();
    ModemHarness(const ModemHarness &) = delete;
    ModemHarness &operator=(const ModemHarness &) = delete;

    // Starts the modem and opens its pty; false when either fails.
    bool Start();
    void Send(const std::string &bytes);
    // Reads until `text` has arrived; what was read up to and including it goes to *got.
    bool Expect(const std::string &text, int timeoutMs, std::string *got = nullptr);
    // Everything that arrives within `ms` (plus what was already buffered).
    std::string ReadFor(int ms);
    // Sends `command` CR and returns what came back up to the final OK or ERROR line.
    std::string Command(const std::string &command, int timeoutMs = 2000);
    // Starts vantoro-call on this modem's socket with the given options.
    std::unique_ptr<ChildProcess> Call(std::vector<std::string> args);

    const TempFolder &Folder() const { return m_folder; }
    std::string SocketPath() const { return m_folder / "line.sock"; }
    std::string LinkPath() const { return m_folder / "modem"; }

private:
    bool ReadSome(int timeoutMs);

    TempFolder m_folder;
    int m_ringIntervalMs;
    std::vector<std::string> m_extraArgs;
    std::unique_ptr<ChildProcess> m_modem;
    int m_fd = -1;
    std::string m_buffer;
};

std::string ToolPath(const std::string &name);
long long MonotonicMs();

// A bilevel TIFF of `pages` pages, 1728 pixels wide, G3 1-D, 204x98 or 204x196 dpi.
bool WriteTestTiff(const std::string &path, int pages, int rows, bool fine);
// A WAV of a sine tone written by sox (8000 Hz, 16-bit, mono unless told otherwise).
bool WriteToneWav(const std::string &path, double seconds, int hz, int rate = 8000);

// Removes V.253 DLE shielding from a receive stream: DLE DLE -> DLE, DLE SUB -> DLE DLE;
// events go to *events, DLE ETX ends the data.
std::string Unshield(const std::string &stream, std::string *events);
