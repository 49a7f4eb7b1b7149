#include "tapi/call_audio.h"

#include <algorithm>
#include <atomic>

#include "platform/little_endian.h"
#include "tapi/modem_parser.h"

namespace tapi {
namespace {

using namespace platform;

constexpr uint32_t kModemRateHz = 8000;  // the rate of the program's wave devices
// How far the samples written may run ahead of the modem's playing: enough to ride out
// scheduling delays, short enough that a cut (DLE CAN) silences the line at once.
constexpr auto kTransmitLead = std::chrono::milliseconds(200);
// Refills start once half the lead has been played: about ten wake-ups a second.
constexpr auto kRefillAt = kTransmitLead / 2;
// Shielded bytes the serial device has not taken yet; beyond this the modem holds us back.
constexpr size_t kMaxUnwrittenBytes = 1600;
// A device that takes nothing is looked at again after this long.
constexpr int kStalledRetryMs = 10;
constexpr char kSub = 0x1A;  // V.253 DLE SUB: two DLE data bytes in a receive stream
constexpr char kCan = 0x18;  // V.253 DLE CAN: discard what the modem has buffered
constexpr char kStop = '!';  // V.253 DLE !: end the receive stream

// Handles stay unique across lines: a sound thread may close its device only after the line it
// came from was shut down and a new one opened.
HWAVE NextHandle() {
    static std::atomic<HWAVE> next{1};
    HWAVE handle = next++;
    return handle != 0 ? handle : next++;
}

bool FormatUsable(const WAVEFORMATEX& format) {
    return format.wFormatTag == WAVE_FORMAT_PCM && format.nChannels == 1 &&
           format.nSamplesPerSec == kModemRateHz &&
           (format.wBitsPerSample == 16 || format.wBitsPerSample == 8);
}

}  // namespace

MMRESULT CallAudio::Open(HWAVE* device, WaveDirection direction, const WAVEFORMATEX* format,
                         WAVENOTIFY notify, void* context) {
    if (!device || !format || !notify) return MMSYSERR_INVALPARAM;
    if (m_codec == VoiceCodec::None) return MMSYSERR_NODRIVER;
    if (!FormatUsable(*format)) return WAVERR_BADFORMAT;
    if (m_device) return MMSYSERR_ALLOCATED;
    Device opened;
    opened.handle = NextHandle();
    opened.direction = direction;
    opened.format = *format;
    opened.notify = notify;
    opened.context = context;
    m_device = opened;
    *device = opened.handle;
    return MMSYSERR_NOERROR;
}

CallAudio::Device* CallAudio::Find(HWAVE handle) {
    return m_device && m_device->handle == handle ? &*m_device : nullptr;
}

MMRESULT CallAudio::AddBuffer(HWAVE handle, WAVEHDR* header) {
    Device* device = Find(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!header || !header->lpData) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    header->dwBytesRecorded = 0;
    device->queue.push_back(header);
    // Output the modem refused is played at once, so that the player reaches its end.
    if (device->failed && device->direction == WaveDirection::Out) GiveBackAll();
    return MMSYSERR_NOERROR;
}

MMRESULT CallAudio::Start(HWAVE handle) {
    Device* device = Find(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (device->direction == WaveDirection::In) device->started = true;
    return MMSYSERR_NOERROR;
}

MMRESULT CallAudio::Reset(HWAVE handle) {
    Device* device = Find(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (device->direction == WaveDirection::In) {
        device->started = false;
    } else if (!device->queue.empty() || !m_played.empty()) {
        m_abort = true;
    }
    GiveBackAll();
    return MMSYSERR_NOERROR;
}

MMRESULT CallAudio::Close(HWAVE handle) {
    Device* device = Find(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (device->direction == WaveDirection::Out && (!device->queue.empty() || !m_played.empty())) {
        m_abort = true;
    }
    GiveBackAll();
    m_device.reset();
    return MMSYSERR_NOERROR;
}

MMRESULT CallAudio::CallerEnd(HWAVE handle, uint32_t* samples) {
    Device* device = Find(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!samples || device->direction != WaveDirection::In) return MMSYSERR_INVALPARAM;
    const size_t kept = device->callerEnd.value_or(device->recorded);
    *samples = static_cast<uint32_t>(std::min<size_t>(kept, UINT32_MAX));
    return MMSYSERR_NOERROR;
}

// The hang-up sound is counted in samples heard: any of them lost for want of a block make the
// cut take a little of the caller's end rather than leave some of that sound.
void CallAudio::MarkCallerEnd(size_t hangupSoundSamples) {
    if (!m_device || m_device->direction != WaveDirection::In || m_device->callerEnd) return;
    const size_t recorded = m_device->recorded;
    m_device->callerEnd = recorded - std::min(recorded, hangupSoundSamples);
}

void CallAudio::Drop() {
    GiveBackAll();
    m_device.reset();
    m_stream = Stream::Idle;
    m_abort = false;
    m_receiveDle = false;
}

void CallAudio::GiveBack(WAVEHDR* header) {
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    uint32_t message = m_device->direction == WaveDirection::Out ? MM_WOM_DONE : MM_WIM_DATA;
    m_device->notify(m_device->context, message, m_device->handle, header);
}

void CallAudio::GiveBackPlayed() {
    if (!m_device) return;
    std::deque<Played> played;
    played.swap(m_played);
    for (const Played& block : played) GiveBack(block.header);
}

// In the order the device got them: the blocks already written go first.
void CallAudio::GiveBackAll() {
    if (!m_device) return;
    GiveBackPlayed();
    std::deque<WAVEHDR*> queue;
    queue.swap(m_device->queue);
    if (!queue.empty() && m_device->direction == WaveDirection::In) {
        queue.front()->dwBytesRecorded = static_cast<uint32_t>(m_device->offset);
    }
    m_device->offset = 0;
    for (WAVEHDR* header : queue) GiveBack(header);
}

bool CallAudio::WantsTransmit() const {
    if (!m_device || m_device->direction != WaveDirection::Out || m_device->failed) return false;
    if (m_stream == Stream::Transmit) return !m_abort;
    return !m_device->queue.empty();
}

bool CallAudio::WantsReceive() const {
    return m_device && m_device->direction == WaveDirection::In && m_device->started &&
           !m_device->failed;
}

CallAudio::Step CallAudio::NextStep() const {
    switch (m_stream) {
        case Stream::Idle:
            if (WantsTransmit()) return Step::StartTransmit;
            if (WantsReceive()) return Step::StartReceive;
            return Step::None;
        case Stream::Transmit:
            if (WantsTransmit()) return Step::None;
            return m_abort ? Step::AbortTransmit : Step::FinishTransmit;
        case Stream::Receive:
            return WantsReceive() ? Step::None : Step::StopReceive;
        case Stream::Draining:
        case Stream::Ending:
            return Step::None;
    }
    return Step::None;
}

bool CallAudio::IsStartStep(Step step) const {
    return step == Step::StartTransmit || step == Step::StartReceive;
}

std::string CallAudio::StepBytes(Step step) const {
    switch (step) {
        case Step::StartTransmit:
            return "AT+VTX";
        case Step::StartReceive:
            return "AT+VRX";
        case Step::FinishTransmit:
            return {kDle, kEtx};
        case Step::AbortTransmit:
            return {kDle, kCan, kDle, kEtx};
        case Step::StopReceive:
            return {kDle, kStop};
        case Step::None:
            break;
    }
    return {};
}

void CallAudio::Begin(Step step) {
    switch (step) {
        case Step::StartTransmit:
            m_abort = false;
            break;
        case Step::FinishTransmit:
        case Step::AbortTransmit:
            m_stream = Stream::Ending;
            break;
        case Step::StopReceive:
            m_stream = Stream::Draining;
            break;
        case Step::StartReceive:
        case Step::None:
            break;
    }
}

void CallAudio::StreamStarted(Step step, bool connected) {
    m_receiveDle = false;
    m_toModem.Reset();
    m_fromModem.Reset();
    m_skipLineFeed = step == Step::StartReceive;
    if (connected) {
        m_stream = step == Step::StartTransmit ? Stream::Transmit : Stream::Receive;
        m_playEnd = Clock::now();
        return;
    }
    m_stream = Stream::Idle;
    if (!m_device) return;
    m_device->failed = true;
    if (m_device->direction == WaveDirection::Out) GiveBackAll();
}

void CallAudio::StreamEnded() {
    m_stream = Stream::Idle;
    m_abort = false;
    m_receiveDle = false;
    GiveBackPlayed();  // a cut stream's written blocks count as played
}

void CallAudio::Preempt() {
    if (!m_device) return;
    m_device->failed = true;
    if (m_device->direction == WaveDirection::Out) GiveBackAll();
}

size_t CallAudio::BytesPerSample() const { return m_device->format.wBitsPerSample / 8; }

void CallAudio::CompletePlayed(Clock::time_point now) {
    while (!m_played.empty() && m_played.front().end <= now) {
        WAVEHDR* header = m_played.front().header;
        m_played.pop_front();
        GiveBack(header);
    }
}

void CallAudio::Transmit(Clock::time_point now, std::string& out) {
    if (m_stream != Stream::Transmit || !m_device || m_device->direction != WaveDirection::Out) {
        return;
    }
    CompletePlayed(now);
    if (m_playEnd < now) m_playEnd = now;  // the modem ran dry and played silence
    if (m_playEnd - now >= kRefillAt) return;
    const size_t width = BytesPerSample();
    while (!m_device->queue.empty() && m_playEnd - now < kTransmitLead &&
           out.size() < kMaxUnwrittenBytes) {
        WAVEHDR* header = m_device->queue.front();
        size_t& at = m_device->offset;
        if (at + width <= header->dwBufferLength) {
            const uint8_t* bytes = header->lpData + at;
            int16_t sample = width == 2 ? static_cast<int16_t>(platform::GetLe16(bytes))
                                        : static_cast<int16_t>((bytes[0] - 128) * 256);
            m_toModem.Push(sample, [&](int16_t converted) {
                char encoded = static_cast<char>(EncodeSample(m_codec, converted));
                out += encoded;
                if (encoded == kDle) out += kDle;
                m_playEnd += m_sampleTime;
            });
            at += width;
            continue;
        }
        m_device->queue.pop_front();
        at = 0;
        m_played.push_back({header, m_playEnd});
    }
    CompletePlayed(now);
}

int CallAudio::TransmitWaitMs(Clock::time_point now) const {
    if (m_stream != Stream::Transmit || !m_device) return -1;
    std::optional<Clock::time_point> next;
    if (!m_played.empty()) next = m_played.front().end;
    bool refillDue = false;
    if (!m_device->queue.empty()) {
        Clock::time_point refill = m_playEnd - kRefillAt;
        refillDue = refill <= now;
        if (!next || refill < *next) next = refill;
    }
    if (!next) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count();
    if (left < 0) return refillDue ? kStalledRetryMs : 0;
    return static_cast<int>(left) + 1;
}

void CallAudio::SetCodec(VoiceCodec codec, int modemRateHz) {
    m_codec = codec;
    m_sampleTime = std::chrono::nanoseconds(1'000'000'000 / modemRateHz);
    m_toModem.SetRates(kModemRateHz, modemRateHz);
    m_fromModem.SetRates(modemRateHz, kModemRateHz);
}

void CallAudio::ReceiveSample(int16_t sample) {
    m_fromModem.Push(sample, [this](int16_t converted) { StoreSample(converted); });
}

void CallAudio::StoreSample(int16_t sample) {
    if (m_listener) m_listener->Listen(sample);
    if (!m_device || m_device->direction != WaveDirection::In || !m_device->started) return;
    if (m_device->queue.empty()) return;  // no block to fill: the sample is lost
    WAVEHDR* header = m_device->queue.front();
    size_t& at = m_device->offset;
    const size_t width = BytesPerSample();
    if (width == 2) {
        platform::PutLe16(header->lpData + at, static_cast<uint16_t>(sample));
    } else {
        header->lpData[at] = static_cast<uint8_t>((sample >> 8) + 128);
    }
    at += width;
    ++m_device->recorded;
    if (at + width <= header->dwBufferLength) return;
    m_device->queue.pop_front();
    header->dwBytesRecorded = static_cast<uint32_t>(at);
    at = 0;
    GiveBack(header);
}

size_t CallAudio::Receive(const char* data, size_t size, std::string& events, bool& ended) {
    ended = false;
    for (size_t i = 0; i < size; ++i) {
        char byte = data[i];
        // The line feed that ends the CONNECT line is not a sample.
        bool lineFeed = m_skipLineFeed && byte == '\n';
        m_skipLineFeed = false;
        if (lineFeed) continue;
        if (!m_receiveDle) {
            if (byte == kDle) {
                m_receiveDle = true;
            } else if (m_stream == Stream::Receive) {
                ReceiveSample(DecodeSample(m_codec, static_cast<uint8_t>(byte)));
            }
            continue;
        }
        m_receiveDle = false;
        bool keep = m_stream == Stream::Receive;
        int16_t shielded = DecodeSample(m_codec, static_cast<uint8_t>(kDle));
        switch (byte) {
            case kDle:
                if (keep) ReceiveSample(shielded);
                break;
            case kSub:
                if (keep) ReceiveSample(shielded);
                if (keep) ReceiveSample(shielded);
                break;
            case kEtx:
                ended = true;
                if (m_stream == Stream::Draining) {
                    m_stream = Stream::Ending;  // its OK follows
                } else {
                    // The modem ended the stream by itself: no new one is started for this device.
                    m_stream = Stream::Idle;
                    if (m_device) m_device->failed = true;
                }
                return i + 1;
            default:
                events += byte;
                break;
        }
    }
    return size;
}

}  // namespace tapi
