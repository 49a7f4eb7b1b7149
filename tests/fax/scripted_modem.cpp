#include "tests/fax/scripted_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/serial_port.h"

namespace faxtest {

namespace {
constexpr int kStepTimeoutMs = 30000;
constexpr int kQuietMs = 300;
}  // namespace

ScriptedModem::ScriptedModem() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&m_master, &slave, name, nullptr, nullptr) == 0) {
        m_slavePath = name;
        // Keep one raw slave open so the master never sees a hang-up between sessions.
        close(slave);
    }
}

ScriptedModem::~ScriptedModem() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    CloseMaster();
}

int ScriptedModem::OpenSlave() const {
    return platform::SerialOpenRaw(m_slavePath.c_str(), 115200);
}

void ScriptedModem::Start(std::vector<Step> steps) {
    m_steps = std::move(steps);
    m_thread = std::thread([this] { Run(); });
}

void ScriptedModem::Finish() {
    if (m_thread.joinable()) {
        m_stop = true;
        m_thread.join();
    }
}

void ScriptedModem::CloseMaster() {
    if (m_master >= 0) close(m_master);
    m_master = -1;
}

void ScriptedModem::Send(const std::string& bytes) { Write(bytes); }

std::string ScriptedModem::Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::string ScriptedModem::Failure() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

void ScriptedModem::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && m_master >= 0) {
        ssize_t put = write(m_master, bytes.data() + done, bytes.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<size_t>(put);
    }
}

// Reads from the master until `length` unconsumed bytes are there. False on time-out or hang-up.
bool ScriptedModem::ReadUntil(size_t length, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_received.size() - m_consumed >= length) return true;
        }
        if (m_stop && timeoutMs > kQuietMs)
            timeoutMs = kQuietMs,
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQuietMs);
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd entry{m_master, POLLIN, 0};
        int ready = poll(&entry, 1, 20);
        if (ready <= 0) continue;
        if (!(entry.revents & POLLIN)) {
            usleep(20000);  // the receiver closed its side; it may open it again
            continue;
        }
        char buffer[4096];
        ssize_t got = read(m_master, buffer, sizeof buffer);
        if (got <= 0) {
            usleep(20000);
            continue;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.append(buffer, static_cast<size_t>(got));
    }
}

void ScriptedModem::Run() {
    for (size_t index = 0; index < m_steps.size(); ++index) {
        const Step& step = m_steps[index];
        if (!step.expect.empty()) {
            bool arrived = ReadUntil(step.expect.size(), kStepTimeoutMs);
            std::lock_guard<std::mutex> lock(m_mutex);
            std::string got = m_received.substr(m_consumed, step.expect.size());
            if (!arrived || got != step.expect) {
                m_failure = "step " + std::to_string(index) + ": expected " +
                            Printable(step.expect) + " got " +
                            Printable(m_received.substr(m_consumed));
                return;
            }
            m_consumed += step.expect.size();
        }
        if (step.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
        Write(step.reply);
        if (step.after) step.after();
    }
    m_completed = true;
    // Keep recording what else arrives, so tests see commands beyond the script.
    while (!m_stop) ReadUntil(SIZE_MAX, 50);
    ReadUntil(SIZE_MAX, kQuietMs);
}

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values) bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::string Reversed(const std::string& bytes) {
    std::string out;
    for (char c : bytes) out.push_back(static_cast<char>(Reverse(static_cast<uint8_t>(c))));
    return out;
}

uint8_t Reverse(uint8_t byte) {
    uint8_t out = 0;
    for (int bit = 0; bit < 8; ++bit)
        out = static_cast<uint8_t>(out | (((byte >> bit) & 1) << (7 - bit)));
    return out;
}

std::string ModemData(const std::string& data) {
    std::string out;
    for (char c : data) {
        out.push_back(c);
        if (c == '\x10') out.push_back(c);
    }
    out += "\x10\x03";
    return out;
}

std::string ModemFrame(const std::vector<uint8_t>& written, const std::string& fcs) {
    return ModemData(Reversed(std::string(written.begin(), written.end())) + fcs);
}

std::string SentFrame(bool final, uint8_t fcf, const std::vector<uint8_t>& fif) {
    std::string out;
    out.push_back('\xFF');
    out.push_back(final ? '\x13' : '\x03');
    out.push_back(static_cast<char>(Reverse(fcf)));
    out += Reversed(std::string(fif.begin(), fif.end()));
    out += "\x10\x03";
    return out;
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

}  // namespace faxtest
