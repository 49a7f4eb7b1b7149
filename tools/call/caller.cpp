#include "tools/call/caller.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "audio/riff_file.h"
#include "line_protocol/line_protocol.h"
#include "platform/clock.h"
#include "platform/little_endian.h"

namespace {

using line_protocol::kBlockNs;
using line_protocol::kBlockSamples;

// spandsp's fax modems transmit at about this level; the SNR is taken against it.
constexpr float kSignalDbm0 = -14.0f;
// After the fax session ends, the last frame (DCN) still has to reach the line.
constexpr int64_t kFaxLingerNs = 500'000'000;
// T.30 has no limit of its own on a whole call; a stuck far end must not keep us forever.
constexpr int64_t kFaxCallLimitNs = 600'000'000'000;
constexpr uint16_t kFormatPcm = 1;
constexpr size_t kPcmFormatBytes = 16;

// The --say file through the program's RIFF reader: 8000 Hz 16-bit mono PCM, else a reason.
bool readSay(const std::string& path, std::vector<int16_t>& samples, std::string& error) {
    RiffFile file;
    if (!file.OpenRead(path)) {
        error = "cannot open " + path;
        return false;
    }
    const uint64_t fileEnd = file.Size();
    RiffFile::Chunk riff, fmt, data;
    if (!file.Descend(riff, RiffFile::FourCC("RIFF"), fileEnd, RiffFile::FourCC("WAVE"))) {
        error = path + " is not a RIFF WAVE file";
        return false;
    }
    uint8_t format[kPcmFormatBytes] = {};
    if (!file.Descend(fmt, RiffFile::FourCC("fmt "), fileEnd) || fmt.size < sizeof format ||
        file.Read(format, sizeof format) != int64_t(sizeof format) || !file.Ascend(fmt) ||
        !file.Descend(data, RiffFile::FourCC("data"), fileEnd)) {
        error = path + " has no fmt and data chunks";
        return false;
    }
    using platform::GetLe16;
    if (GetLe16(format) != kFormatPcm || GetLe16(format + 2) != 1 ||
        platform::GetLe32(format + 4) != uint32_t(line_protocol::kSampleRate) ||
        GetLe16(format + 14) != 16) {
        error = path +
                " is not 8000 Hz 16-bit mono PCM (convert it: sox in.wav -r 8000 -b 16 -c "
                "1 out.wav)";
        return false;
    }
    std::vector<uint8_t> bytes(size_t(std::min(data.end, fileEnd) - data.start));
    const int64_t got = file.Read(bytes.data(), bytes.size());
    if (got < 0) {
        error = "cannot read " + path;
        return false;
    }
    samples.resize(size_t(got) / 2);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(GetLe16(&bytes[2 * i]));
    return true;
}

}  // namespace

Caller::Caller(CallOptions options) : m_options(std::move(options)) {}

Caller::~Caller() = default;

void Caller::log(const std::string& what) const {
    if (m_options.trace) std::fprintf(stderr, "vantoro-call: %s\n", what.c_str());
}

bool Caller::prepare() {
    std::string error;
    if (!m_options.sayPath.empty() && !readSay(m_options.sayPath, m_say, error)) {
        std::fprintf(stderr, "vantoro-call: %s\n", error.c_str());
        return false;
    }
    if (!m_options.faxPath.empty()) {
        m_fax = std::make_unique<FaxSender>();
        if (!m_fax->start(m_options.faxPath, m_options.rateBps, !m_options.noCng, m_options.offer,
                          m_options.trace, error)) {
            std::fprintf(stderr, "vantoro-call: %s\n", error.c_str());
            return false;
        }
    }
    // Noise goes toward the modem only, and only while the caller transmits: spandsp's V.21
    // receivers take steady noise above about -45 dBm0 for a carrier that never drops, and
    // T.30 and T.31 then wait forever, which would test spandsp rather than the fax receiver.
    if (m_options.snrDb >= 0) {
        m_noiseToModem = std::make_unique<LineNoise>(kSignalDbm0, m_options.snrDb, 1234567);
        if (!m_noiseToModem->valid()) {
            std::fprintf(stderr, "vantoro-call: awgn_init_dbm0 failed\n");
            return false;
        }
    }
    if (!m_options.recordPath.empty()) {
        if (!m_record.open(m_options.recordPath)) {
            std::fprintf(stderr, "vantoro-call: cannot write %s\n", m_options.recordPath.c_str());
            return false;
        }
        m_recording = true;
    }

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_options.socketPath.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "vantoro-call: socket path too long\n");
        return false;
    }
    std::strcpy(addr.sun_path, m_options.socketPath.c_str());
    m_fd.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!m_fd.valid() ||
        connect(m_fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        std::fprintf(stderr, "vantoro-call: no vmodem answers on %s: %s\n", addr.sun_path,
                     std::strerror(errno));
        return false;
    }
    std::string setup(1, line_protocol::kSetup);
    setup += m_options.number;
    if (send(m_fd.get(), setup.data(), setup.size(), MSG_NOSIGNAL) < 0) {
        std::perror("vantoro-call: send");
        return false;
    }
    return true;
}

CallOutcome Caller::run() {
    char buf[line_protocol::kMaxPacket];
    while (!m_ended) {
        int64_t now = platform::MonotonicNs();
        int64_t deadline = now + 1'000'000'000;
        if (m_answered) deadline = std::min(deadline, m_nextTickNs);
        for (int64_t d : {m_giveUpAtNs, m_hangupAtNs, m_faxDoneAtNs}) {
            if (d >= 0) deadline = std::min(deadline, d);
        }
        int64_t wait = std::max<int64_t>(0, deadline - now);
        timespec ts{time_t(wait / 1'000'000'000), long(wait % 1'000'000'000)};
        pollfd pfd{m_fd.get(), POLLIN, 0};
        int rc = ppoll(&pfd, 1, &ts, nullptr);
        if (rc < 0 && errno != EINTR) {
            std::perror("vantoro-call: ppoll");
            break;
        }
        if (rc > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = recv(m_fd.get(), buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                log("line closed");
                m_ended = true;
            } else if (n > 0) {
                onPacket(buf, size_t(n));
            }
        }
        now = platform::MonotonicNs();
        if (!m_answered && m_giveUpAtNs >= 0 && now >= m_giveUpAtNs) {
            log("giving up");
            break;
        }
        if (m_hangupAtNs >= 0 && now >= m_hangupAtNs) {
            log("hanging up");
            break;
        }
        if (m_fax && m_fax->finished() && m_faxDoneAtNs < 0) m_faxDoneAtNs = now + kFaxLingerNs;
        if (m_faxDoneAtNs >= 0 && now >= m_faxDoneAtNs) break;
        while (m_answered && !m_ended && platform::MonotonicNs() >= m_nextTickNs) {
            sendBlock();
            m_nextTickNs += kBlockNs;
        }
    }
    m_fd.reset();
    if (m_fax && m_answered) m_fax->callDropped();
    if (m_recording && !m_record.close())
        std::fprintf(stderr, "vantoro-call: writing %s failed\n", m_options.recordPath.c_str());
    if (m_fax && m_answered) return m_fax->finished() ? CallOutcome::Answered : CallOutcome::Failed;
    return m_answered ? CallOutcome::Answered : CallOutcome::Unanswered;
}

void Caller::onPacket(const char* data, size_t len) {
    switch (data[0]) {
        case line_protocol::kRing:
            ++m_rings;
            m_ringIntervalMs = std::atoi(std::string(data + 1, len - 1).c_str());
            if (m_ringIntervalMs <= 0) m_ringIntervalMs = 6000;
            log("ring " + std::to_string(m_rings));
            // Hang up within the ring cycle after the last ring we wait for, as a person would.
            if (m_rings >= m_options.giveUpAfterRings && m_giveUpAtNs < 0)
                m_giveUpAtNs = platform::MonotonicNs() + int64_t(m_ringIntervalMs) * 500'000;
            if (m_options.handsetAfterRings > 0 && m_rings >= m_options.handsetAfterRings &&
                !m_handsetSent) {
                log("the telephone is picked up");
                m_handsetSent = true;
                char handset = line_protocol::kHandset;
                send(m_fd.get(), &handset, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            break;
        case line_protocol::kAnswer:
            log("answered");
            m_answered = true;
            m_giveUpAtNs = -1;
            m_nextTickNs = platform::MonotonicNs();
            m_faxStartNs = m_nextTickNs + int64_t(m_options.cngAfterSeconds * 1e9);
            m_sayStartNs = m_nextTickNs + int64_t(m_options.sayAfterSeconds * 1e9);
            if (m_options.hangupAfterSeconds >= 0)
                m_hangupAtNs = m_nextTickNs + int64_t(m_options.hangupAfterSeconds * 1e9);
            else if (m_fax)
                m_hangupAtNs = m_nextTickNs + kFaxCallLimitNs;
            break;
        case line_protocol::kAudio:
            onAudio(data + 1, len - 1);
            break;
        case line_protocol::kHangup:
            log("the called side hung up");
            m_ended = true;
            break;
        case line_protocol::kBusy:
            log("line busy");
            m_busy = true;
            m_ended = true;
            break;
        default:
            break;
    }
}

void Caller::onAudio(const char* payload, size_t len) {
    int16_t samples[line_protocol::kMaxAudioSamples];
    const int count = int(line_protocol::decodeAudio(payload, len, samples));
    if (m_recording) m_record.write(samples, size_t(count));
    if (faxRunning()) m_fax->rx(samples, count);
}

// A fax machine held back (--cng-after) is silent and deaf, so its T.30 timers wait too.
bool Caller::faxRunning() const {
    return m_fax && m_faxStartNs >= 0 && platform::MonotonicNs() >= m_faxStartNs;
}

void Caller::sendBlock() {
    int16_t samples[kBlockSamples] = {};
    if (faxRunning()) {
        m_fax->tx(samples, kBlockSamples);
    } else if (!m_fax && m_sayStartNs >= 0 && platform::MonotonicNs() >= m_sayStartNs) {
        for (int i = 0; i < kBlockSamples && m_sayPos < m_say.size(); ++i)
            samples[i] = m_say[m_sayPos++];
    }
    if (m_noiseToModem) m_noiseToModem->add(samples, kBlockSamples);
    const std::string packet =
        line_protocol::kAudio + line_protocol::audioPayload(samples, kBlockSamples);
    send(m_fd.get(), packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string Caller::resultLine() const {
    if (m_fax && m_answered) return m_fax->resultLine();
    return std::string(m_answered ? "RESULT answered" : "RESULT unanswered") +
           " rings=" + std::to_string(m_rings);
}
