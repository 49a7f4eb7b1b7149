#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A modem on the master side of a pty that follows a transcript: it waits for the exact bytes
// we are expected to send, then answers with the scripted bytes.
namespace faxtest {

struct Step {
    std::string expect;  // bytes the receiver must send first (empty: answer at once)
    std::string reply;   // bytes the modem answers with
    int delayMs = 0;     // pause before the reply
    std::function<void()> after = nullptr;  // run once the reply is written
};

class ScriptedModem {
public:
    ScriptedModem();
    ~ScriptedModem();
    ScriptedModem(const ScriptedModem&) = delete;
    ScriptedModem& operator=(const ScriptedModem&) = delete;

    // A fresh raw descriptor on the slave side, for the receiver to use (and close).
    int OpenSlave() const;

    void Start(std::vector<Step> steps);
    // Waits until the script has run (or failed) and the receiver has been silent for a moment.
    void Finish();
    // Writes bytes at once, outside the script.
    void Send(const std::string& bytes);
    void CloseMaster();

    std::string Received();  // everything the receiver sent
    bool Completed() const { return m_completed; }
    std::string Failure();  // first mismatch, empty when none

private:
    void Run();
    bool ReadUntil(size_t length, int timeoutMs);
    void Write(const std::string& bytes);

    int m_master = -1;
    std::string m_slavePath;
    std::vector<Step> m_steps;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_completed{false};
    std::mutex m_mutex;
    std::string m_received;
    std::string m_failure;
    size_t m_consumed = 0;
};

std::string Bytes(std::initializer_list<int> values);
// What the modem delivers for a received HDLC frame given in T.30 written order: bit-reversed,
// two check-sequence bytes, every DLE doubled, then DLE ETX.
std::string ModemFrame(const std::vector<uint8_t>& written,
                       const std::string& fcs = std::string("\x12\x34", 2));
// What we transmit for a frame in written order (bit-reversed, DLE ETX, no doubling).
std::string SentFrame(bool final, uint8_t fcf, const std::vector<uint8_t>& fif = {});
// Page data as the modem delivers them: DLE doubled, then DLE ETX.
std::string ModemData(const std::string& data);
uint8_t Reverse(uint8_t byte);
std::string Reversed(const std::string& bytes);  // each byte's bits in reverse order
std::string Printable(const std::string& bytes);

}  // namespace faxtest
