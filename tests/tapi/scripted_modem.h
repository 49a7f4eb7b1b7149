#pragma once
// A modem on the master side of a pty that answers each command from a readable table and
// records what it was sent, for byte-exact tests of the line library. A command answered
// CONNECT by AT+VTX / AT+VRX opens a voice stream: what arrives in a transmit stream is kept as
// sent (DLE pairs included) up to DLE ETX; a receive stream ends on DLE !. Each stream end is
// recorded among the commands as "DLE ETX", "DLE CAN DLE ETX" or "DLE !".

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedModem {
public:
    // `reply` holds the result lines separated by '\n', each sent as "\r\n<line>\r\n";
    // an empty reply leaves the command unanswered. Commands missing from the table get ERROR.
    struct Rule {
        std::string command;
        std::string reply;
    };

    explicit ScriptedModem(const std::vector<Rule>& rules, bool echoUntilAte0 = false);
    ~ScriptedModem();
    ScriptedModem(const ScriptedModem&) = delete;
    ScriptedModem& operator=(const ScriptedModem&) = delete;

    const std::string& DevicePath() const { return m_path; }
    void SetReply(const std::string& command, const std::string& reply);

    void Send(const std::string& bytes);
    void SendLine(const std::string& line) { Send("\r\n" + line + "\r\n"); }
    void SendEvent(char event) { Send(std::string{'\x10', event}); }

    std::vector<std::string> Commands();
    // The bytes of every transmit stream so far, with their shielding and end.
    std::string Streamed();
    // True once `command` has arrived `count` times in all.
    bool WaitForCommand(const std::string& command, int timeoutMs, size_t count = 1);
    // The device goes away: the master side closes, as when a USB modem is unplugged.
    void Vanish();

private:
    enum class Stream { None, Transmit, Receive };

    void Run();
    void Answer(const std::string& command);
    void StreamByte(char byte);
    void Record(const std::string& command);

    int m_master = -1;
    int m_slave = -1;  // kept open so the pty survives the library closing and reopening it
    std::atomic<bool> m_stop{false};
    std::string m_path;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::map<std::string, std::string> m_rules;
    std::vector<std::string> m_commands;
    bool m_echo;
    Stream m_stream = Stream::None;
    bool m_streamDle = false;
    std::string m_streamed;
    std::thread m_thread;
};
