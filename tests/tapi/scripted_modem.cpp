#include "tests/tapi/scripted_modem.h"

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>

ScriptedModem::ScriptedModem(const std::vector<Rule>& rules, bool echoUntilAte0)
    : m_echo(echoUntilAte0) {
    for (const Rule& rule : rules) m_rules[rule.command] = rule.reply;
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) return;
    m_path = name;
    m_thread = std::thread([this] { Run(); });
}

ScriptedModem::~ScriptedModem() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    Vanish();
}

void ScriptedModem::SetReply(const std::string& command, const std::string& reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules[command] = reply;
}

void ScriptedModem::Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_master >= 0) (void)!write(m_master, bytes.data(), bytes.size());
}

std::vector<std::string> ScriptedModem::Commands() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

bool ScriptedModem::WaitForCommand(const std::string& command, int timeoutMs, size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<size_t>(std::count(m_commands.begin(), m_commands.end(), command)) >=
               count;
    });
}

void ScriptedModem::Vanish() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int* fd : {&m_slave, &m_master}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void ScriptedModem::Run() {
    std::string pending;
    while (!m_stop) {
        int master;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            master = m_master;
        }
        // After Vanish there is nothing to read; wait for the stop request.
        pollfd waiter{master, POLLIN, 0};
        if (poll(&waiter, 1, 20) <= 0 || !(waiter.revents & POLLIN)) continue;
        char buffer[256];
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) continue;
        for (ssize_t i = 0; i < got; ++i) {
            if (m_stream != Stream::None) {
                StreamByte(buffer[i]);
            } else if (buffer[i] != '\r') {
                if (buffer[i] != '\n') pending += buffer[i];
            } else if (!pending.empty()) {
                Answer(pending);
                pending.clear();
            }
        }
    }
}

std::string ScriptedModem::Streamed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_streamed;
}

void ScriptedModem::StreamByte(char byte) {
    constexpr char kDle = 0x10, kEtx = 0x03, kCan = 0x18;
    if (m_stream == Stream::Transmit) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_streamed += byte;
    }
    if (!m_streamDle) {
        m_streamDle = byte == kDle;
        return;
    }
    m_streamDle = false;
    if (m_stream == Stream::Transmit && byte == kEtx) {
        std::string streamed = Streamed();
        bool cut = streamed.size() >= 4 && streamed[streamed.size() - 3] == kCan;
        m_stream = Stream::None;
        Send("\r\nOK\r\n");
        Record(cut ? "DLE CAN DLE ETX" : "DLE ETX");
    } else if (m_stream == Stream::Receive && byte == '!') {
        m_stream = Stream::None;
        Send(std::string{kDle, kEtx} + "\r\nOK\r\n");
        Record("DLE !");
    }
}

void ScriptedModem::Record(const std::string& command) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commands.push_back(command);
    m_arrived.notify_all();
}

void ScriptedModem::Answer(const std::string& command) {
    std::string out;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_echo) out += command + "\r";
        if (command == "ATE0") m_echo = false;
        auto rule = m_rules.find(command);
        if (rule != m_rules.end() && rule->second == "CONNECT") {
            if (command == "AT+VTX") m_stream = Stream::Transmit;
            if (command == "AT+VRX") m_stream = Stream::Receive;
            m_streamDle = false;
        }
        std::istringstream lines(rule == m_rules.end() ? "ERROR" : rule->second);
        for (std::string line; std::getline(lines, line);) out += "\r\n" + line + "\r\n";
    }
    Send(out);
    Record(command);
}
