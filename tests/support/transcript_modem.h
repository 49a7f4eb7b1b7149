#pragma once
// A modem on the master side of a pty, for byte-exact tests of what talks to it. It follows
// `steps` first (waits for the exact bytes expected, then answers), then answers each command
// from a rule table, and records everything it was sent. AT+VTX / AT+VRX answered CONNECT by
// the table open a voice stream: a transmit stream is kept as sent (DLE pairs included) up to
// DLE ETX, a receive stream ends on DLE !; each end is recorded among the commands as
// "DLE ETX", "DLE CAN DLE ETX" or "DLE !".

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TranscriptModem {
public:
    struct Step {
        std::string expect;  // bytes that must arrive first (empty: answer at once)
        std::string reply;   // bytes the modem answers with
        int delayMs = 0;     // pause before the reply
        std::function<void()> after = nullptr;  // run on the modem's thread once replied
    };
    // `reply` holds result lines separated by '\n', each sent as "\r\n<line>\r\n"; an empty
    // reply leaves the command unanswered. With a table, commands missing from it get ERROR.
    struct Rule {
        std::string command;
        std::string reply;
    };

    explicit TranscriptModem(const std::vector<Rule>& rules = {});
    ~TranscriptModem();
    TranscriptModem(const TranscriptModem&) = delete;
    TranscriptModem& operator=(const TranscriptModem&) = delete;

    const std::string& DevicePath() const { return m_path; }
    // A fresh raw descriptor on the device, for the code under test to use (and close).
    int OpenSlave() const;

    void Start(std::vector<Step> steps);
    // Waits until the steps have run (or failed) and the line has been quiet for a moment.
    void Finish();
    bool Completed();
    std::string Failure();  // the first mismatch, empty when none
    std::string Received();

    void SetReply(const std::string& command, const std::string& reply);
    void Send(const std::string& bytes);
    void SendLine(const std::string& line) { Send("\r\n" + line + "\r\n"); }
    void SendEvent(char event) { Send(std::string{'\x10', event}); }
    std::vector<std::string> Commands();
    // The bytes of every transmit stream so far, with their shielding and end.
    std::string Streamed();
    // True once `command` has arrived `count` times in all.
    bool WaitForCommand(const std::string& command, int timeoutMs, size_t count = 1);
    // The device goes away: the pty closes, as when a USB modem is unplugged.
    void Vanish();

private:
    enum class Stream { None, Transmit, Receive };

    void Run();
    bool ReadSome();
    void CloseDevice();
    void RunStep(std::unique_lock<std::mutex>& lock);
    // These three run on the modem's thread with m_mutex held.
    void AnswerCommands();
    void Answer(const std::string& command);
    void StreamByte(char byte);
    void Reply(const std::string& bytes, const std::string& record);

    std::atomic<int> m_master{-1};
    std::atomic<int> m_slave{-1};  // kept open: the pty survives the code under test closing it
    std::string m_path;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_vanish{false};
    std::mutex m_writeMutex;  // one writer at a time, and no close during a write
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Step> m_steps;
    size_t m_nextStep = 0;
    long long m_stepSinceMs = 0;
    bool m_finishing = false;
    std::string m_failure;
    std::string m_received;
    size_t m_consumed = 0;
    long long m_lastByteMs = 0;
    std::map<std::string, std::string> m_rules;
    bool m_answering;
    std::vector<std::string> m_commands;
    std::string m_command;  // the command line arriving
    Stream m_stream = Stream::None;
    bool m_streamDle = false;
    std::string m_streamed;
    std::thread m_thread;
};

// Bytes made readable for a failure message: printable ASCII as is, the rest as <XX>.
std::string Printable(const std::string& bytes);
