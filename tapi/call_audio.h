#pragma once
// The wave devices of the current call and their V.253 voice streams: output blocks are
// converted to the modem's sample format, DLE-shielded and paced to the modem's playing
// (AT+VTX); the receive stream (AT+VRX) is unshielded and converted into input blocks. The
// line device's modem thread runs the commands that start and end the streams; every method
// is called with the line device's lock held.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/wave_abi.h"
#include "tapi/hangup_detector.h"
#include "tapi/rate_converter.h"
#include "tapi/voice_codec.h"

namespace tapi {

class CallAudio {
public:
    using Clock = std::chrono::steady_clock;
    using WaveDirection = platform::WaveDirection;
    using MMRESULT = platform::MMRESULT;

    // What the modem thread should do about the streams next.
    enum class Step {
        None,
        StartTransmit,
        StartReceive,
        FinishTransmit,
        AbortTransmit,
        StopReceive
    };

    // The modem's sample format and the rate it runs at; samples are converted to and from the
    // wave devices' 8000 Hz.
    void SetCodec(VoiceCodec codec, int modemRateHz);
    // Hears every received sample, whether or not a block takes it.
    void SetListener(HangupDetector* listener) { m_listener = listener; }

    MMRESULT Open(platform::HWAVE* device, WaveDirection direction,
                  const platform::WAVEFORMATEX* format, platform::WAVENOTIFY notify, void* context);
    MMRESULT AddBuffer(platform::HWAVE device, platform::WAVEHDR* header);
    MMRESULT Start(platform::HWAVE device);
    MMRESULT Reset(platform::HWAVE device);
    MMRESULT Close(platform::HWAVE device);
    // Input: how many of the samples recorded since the device opened are the caller's; all of
    // them until MarkCallerEnd.
    MMRESULT CallerEnd(platform::HWAVE device, uint32_t* samples);
    // The line heard the call end: the last `hangupSoundSamples` received are the sound of the
    // hang-up, and so is everything recorded from now on.
    void MarkCallerEnd(size_t hangupSoundSamples);
    // The line is going away: every block goes back and the device is forgotten.
    void Drop();

    Step NextStep() const;
    // The command for a step: AT+VTX / AT+VRX (sent with CR), or the DLE controls.
    std::string StepBytes(Step step) const;
    bool IsStartStep(Step step) const;
    // The step's bytes are being sent.
    void Begin(Step step);
    // The start command was answered: CONNECT, or not.
    void StreamStarted(Step step, bool connected);
    // The stream is over (OK after its end, or the modem ended it itself).
    void StreamEnded();
    // The line needs the modem for a request of its own (a hand-over, a hang-up): the device's
    // stream is never started again, and output is given back as played so the player ends.
    void Preempt();
    bool Streaming() const { return m_stream == Stream::Transmit || m_stream == Stream::Receive; }
    bool Receiving() const { return m_stream == Stream::Receive || m_stream == Stream::Draining; }
    bool HasDevice(platform::HWAVE device) const { return m_device && m_device->handle == device; }

    // Appends the shielded bytes that may be written now and gives back the blocks played.
    void Transmit(Clock::time_point now, std::string& out);
    // Milliseconds until Transmit has something to do, -1 for never.
    int TransmitWaitMs(Clock::time_point now) const;
    // Consumes receive-stream bytes up to and including DLE ETX (then `ended` is set); the
    // codes of DLE events in the stream are appended to `events`.
    size_t Receive(const char* data, size_t size, std::string& events, bool& ended);

private:
    // Draining: DLE ! sent, the rest of the receive stream is dropped; Ending: the transmit
    // stream's end is sent, its OK awaited.
    enum class Stream { Idle, Transmit, Receive, Draining, Ending };
    struct Device {
        platform::HWAVE handle = 0;
        WaveDirection direction = WaveDirection::Out;
        platform::WAVEFORMATEX format{};
        platform::WAVENOTIFY notify = nullptr;
        void* context = nullptr;
        std::deque<platform::WAVEHDR*> queue;  // not yet written / not yet filled
        size_t offset = 0;                     // bytes of the front block already taken
        bool started = false;                  // input: recording wanted
        bool failed = false;                   // the modem refused the stream
        size_t recorded = 0;                   // input: samples put into blocks
        std::optional<size_t> callerEnd;       // input: samples of them that are the caller's
    };
    struct Played {
        platform::WAVEHDR* header;
        Clock::time_point end;
    };

    Device* Find(platform::HWAVE handle);
    bool WantsTransmit() const;
    bool WantsReceive() const;
    void GiveBack(platform::WAVEHDR* header);
    void GiveBackPlayed();
    void GiveBackAll();
    void CompletePlayed(Clock::time_point now);
    size_t BytesPerSample() const;
    void ReceiveSample(int16_t sample);  // at the modem's rate
    void StoreSample(int16_t sample);    // at 8000 Hz

    VoiceCodec m_codec = VoiceCodec::None;
    std::chrono::nanoseconds m_sampleTime{125'000};  // one sample at the modem's rate
    RateConverter m_toModem;
    RateConverter m_fromModem;
    HangupDetector* m_listener = nullptr;
    std::optional<Device> m_device;
    Stream m_stream = Stream::Idle;
    std::deque<Played> m_played;  // written, waiting for their play time to pass
    Clock::time_point m_playEnd;  // when the modem will have played what it got
    bool m_abort = false;         // blocks were taken back: cut the transmit stream, not finish it
    bool m_receiveDle = false;    // the receive stream's last byte was a lone DLE
    bool m_skipLineFeed = false;  // a receive stream has just begun after its CONNECT line
};

}  // namespace tapi
