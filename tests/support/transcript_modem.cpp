#include "tests/support/transcript_modem.h"

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <utility>

#include "platform/serial_port.h"
#include "tests/support/clock.h"

namespace {
constexpr int kStepTimeoutMs = 30000;
constexpr int kQuietMs = 300;
constexpr int kPollMs = 20;
}  // namespace

TranscriptModem::TranscriptModem(const std::vector<Rule>& rules) : m_answering(!rules.empty()) {
    for (const Rule& rule : rules) m_rules[rule.command] = rule.reply;
    char name[256] = {};
    int master = -1, slave = -1;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    m_master = master;
    m_slave = slave;
    m_path = name;
    m_thread = std::thread([this] { Run(); });
}

TranscriptModem::~TranscriptModem() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    CloseDevice();
}

int TranscriptModem::OpenSlave() const { return platform::SerialOpenRaw(m_path.c_str(), 115200); }

void TranscriptModem::Start(std::vector<Step> steps) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_steps = std::move(steps);
    m_nextStep = 0;
    m_stepSinceMs = MonotonicMs();
}

void TranscriptModem::Finish() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_finishing = true;
    m_stepSinceMs = MonotonicMs();  // a step still waiting gets only the quiet time
    m_changed.wait(lock, [this] {
        return (m_nextStep == m_steps.size() || !m_failure.empty()) &&
               MonotonicMs() - m_lastByteMs >= kQuietMs;
    });
}

bool TranscriptModem::Completed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nextStep == m_steps.size() && m_failure.empty();
}

std::string TranscriptModem::Failure() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

std::string TranscriptModem::Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

void TranscriptModem::SetReply(const std::string& command, const std::string& reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules[command] = reply;
}

void TranscriptModem::Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    for (size_t done = 0; done < bytes.size() && m_master >= 0;) {
        ssize_t put = write(m_master, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno != EINTR) return;
        if (put > 0) done += static_cast<size_t>(put);
    }
}

std::string TranscriptModem::Streamed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_streamed;
}

std::vector<std::string> TranscriptModem::Commands() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

bool TranscriptModem::WaitForCommand(const std::string& command, int timeoutMs, size_t count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<size_t>(std::count(m_commands.begin(), m_commands.end(), command)) >=
               count;
    });
}

void TranscriptModem::Vanish() {
    if (!m_thread.joinable() || std::this_thread::get_id() == m_thread.get_id()) {
        CloseDevice();
        return;
    }
    // The modem's thread closes it, so that no poll of its own keeps the pty alive meanwhile.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_vanish = true;
    m_changed.wait(lock, [this] { return m_master < 0; });
}

void TranscriptModem::CloseDevice() {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    for (std::atomic<int>* fd : {&m_slave, &m_master}) {
        if (*fd >= 0) close(fd->exchange(-1));
    }
}

// Appends what the code under test sent; false when nothing came.
bool TranscriptModem::ReadSome() {
    const int master = m_master;
    pollfd waiter{master, POLLIN, 0};
    if (master < 0 || poll(&waiter, 1, kPollMs) <= 0 || !(waiter.revents & POLLIN)) {
        if (master < 0) usleep(kPollMs * 1000);
        return false;
    }
    char buffer[4096];
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.append(buffer, static_cast<size_t>(got));
    m_lastByteMs = MonotonicMs();
    return true;
}

void TranscriptModem::Run() {
    while (!m_stop) {
        if (m_vanish) CloseDevice();
        ReadSome();
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_nextStep < m_steps.size() && m_failure.empty())
            RunStep(lock);
        else if (m_answering)
            AnswerCommands();
        m_changed.notify_all();
    }
}

void TranscriptModem::RunStep(std::unique_lock<std::mutex>& lock) {
    const Step step = m_steps[m_nextStep];
    if (!step.expect.empty()) {
        if (m_received.size() - m_consumed < step.expect.size()) {
            const int limit = m_finishing ? kQuietMs : kStepTimeoutMs;
            if (MonotonicMs() - m_stepSinceMs <= limit) return;
        }
        std::string got = m_received.substr(m_consumed, step.expect.size());
        if (got != step.expect) {
            m_failure = "step " + std::to_string(m_nextStep) + ": expected " +
                        Printable(step.expect) + " got " + Printable(m_received.substr(m_consumed));
            return;
        }
        m_consumed += step.expect.size();
    }
    lock.unlock();
    if (step.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
    Send(step.reply);
    if (step.after) step.after();
    lock.lock();
    ++m_nextStep;
    m_stepSinceMs = MonotonicMs();
}

void TranscriptModem::AnswerCommands() {
    while (m_consumed < m_received.size()) {
        const char byte = m_received[m_consumed++];
        if (m_stream != Stream::None) {
            StreamByte(byte);
        } else if (byte != '\r') {
            if (byte != '\n') m_command += byte;
        } else if (!m_command.empty()) {
            Answer(std::exchange(m_command, std::string()));
        }
    }
}

void TranscriptModem::Answer(const std::string& command) {
    std::string out;
    auto rule = m_rules.find(command);
    if (rule != m_rules.end() && rule->second == "CONNECT") {
        if (command == "AT+VTX") m_stream = Stream::Transmit;
        if (command == "AT+VRX") m_stream = Stream::Receive;
        m_streamDle = false;
    }
    std::istringstream lines(rule == m_rules.end() ? "ERROR" : rule->second);
    for (std::string line; std::getline(lines, line);) out += "\r\n" + line + "\r\n";
    Reply(out, command);
}

void TranscriptModem::StreamByte(char byte) {
    constexpr char kDle = 0x10, kEtx = 0x03, kCan = 0x18;
    if (m_stream == Stream::Transmit) m_streamed += byte;
    if (!m_streamDle) {
        m_streamDle = byte == kDle;
        return;
    }
    m_streamDle = false;
    if (m_stream == Stream::Transmit && byte == kEtx) {
        bool cut = m_streamed.size() >= 4 && m_streamed[m_streamed.size() - 3] == kCan;
        m_stream = Stream::None;
        Reply("\r\nOK\r\n", cut ? "DLE CAN DLE ETX" : "DLE ETX");
    } else if (m_stream == Stream::Receive && byte == '!') {
        m_stream = Stream::None;
        Reply(std::string{kDle, kEtx} + "\r\nOK\r\n", "DLE !");
    }
}

// Sends `bytes`, then records what they answer, all under the lock: whoever sees the reply and
// then asks for the commands finds this one among them.
void TranscriptModem::Reply(const std::string& bytes, const std::string& record) {
    Send(bytes);
    m_commands.push_back(record);
    m_changed.notify_all();
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes.substr(0, 200)) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        }
    }
    if (bytes.size() > 200) out += "...(" + std::to_string(bytes.size()) + " bytes)";
    return out;
}
