#pragma once
// A vantoro-vmodem started for one test, callers into it, and the fax pages they send: shared by
// the end-to-end tests, the fax interop tests and the benches.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/clock.h"
#include "tests/support/fax_pages.h"

// The modem plays `--personality ideal` unless extraArgs name another.
class ModemHarness {
public:
    explicit ModemHarness(int ringIntervalMs = 300, std::vector<std::string> extraArgs = {});
    ~ModemHarness();
    ModemHarness(const ModemHarness&) = delete;
    ModemHarness& operator=(const ModemHarness&) = delete;

    // More options for the modem, before Start.
    void AddArguments(const std::vector<std::string>& args) {
        m_extraArgs.insert(m_extraArgs.end(), args.begin(), args.end());
    }
    // Starts the modem for a program to use its pty; false on failure.
    bool Start();
    // For a test that talks to the modem itself: opens its pty.
    bool OpenPty();
    void Send(const std::string& bytes);
    // Reads until `text` has arrived; what was read up to and including it goes to *got.
    bool Expect(const std::string& text, int timeoutMs, std::string* got = nullptr);
    // Everything that arrives within `ms` (plus what was already buffered).
    std::string ReadFor(int ms);
    // Sends `command` CR and returns what came back up to the final result line.
    std::string Command(const std::string& command, int timeoutMs = 2000);
    // Starts vantoro-call on this modem's socket with the given options.
    std::unique_ptr<ChildProcess> Call(std::vector<std::string> args);

    ChildProcess& Process() { return *m_modem; }
    const TempFolder& Folder() const { return m_folder; }
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

std::string ToolPath(const std::string& name);
// A WAV of a sine tone written by sox (16-bit, mono).
bool WriteToneWav(const std::string& path, double seconds, int hz, int rate = 8000);
// Spoken words (espeak-ng) as an 8000 Hz 16-bit mono WAV: a caller's message that the program
// keeps, where silence or a steady tone alone would be no message.
bool WriteSpeechWav(const std::string& path, const std::string& words = "please call me back");
// Removes V.253 DLE shielding from a receive stream: DLE DLE -> DLE, DLE SUB -> DLE DLE;
// events go to *events, DLE ETX ends the data.
std::string Unshield(const std::string& stream, std::string* events);
// The samples of a 16-bit mono WAV (its data chunk), and their loudness between two times.
std::vector<int16_t> ReadSamples(const std::string& path);
double Rms(const std::vector<int16_t>& samples, double from, double to);
// Where sound louder than `rms` begins and ends in 8000 Hz samples, in seconds, by 20 ms frames;
// {0, 0} when there is none.
std::pair<double, double> LoudSpan(const std::vector<int16_t>& samples, double rms = 300);
// Where a tone of `hz` is heard in 8000 Hz samples: the first 50 ms window from `from` (seconds)
// on in which it holds 80 % of the energy (Goertzel), and how long such windows last in all.
struct HeardTone {
    double start = -1, seconds = 0;
};
// Where a tone of `hz` dominates, in windows of `windowSeconds`.
HeardTone FindTone(const std::vector<int16_t>& samples, double hz, double from = 0,
                   double windowSeconds = 0.05);
// One fax call: a virtual modem of its own, spandsp's fax machine calling with `pages`, and
// vantoro-faxrx answering once the call rings.
struct FaxCall {
    ModemHarness modem{500};
    std::vector<Page> pages;
    bool fine = false;
    std::vector<std::string> receiverOptions;  // vantoro-faxrx's, before the device
    std::unique_ptr<ChildProcess> caller, receiver;
    int receiverExit = -2;
    int callerExit = -2;

    std::string Raw() const { return modem.Folder() / "page.raw"; }
    std::string LogPath() const { return modem.Folder() / "faxrx.log"; }
    bool Start(std::vector<Page> sentPages, bool fineResolution,
               std::vector<std::string> callerArgs);
    void Wait(int receiverTimeoutMs = 150000);
    std::vector<std::string> Status() const { return receiver->StdoutLines(); }
};
