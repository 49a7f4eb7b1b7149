#pragma once
// A virtual V.253 voice / T.31 fax modem on a pseudo-terminal, with a simulated telephone
// line behind it that vantoro-call dials into.

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "vmodem/vmodem_personality.h"
#include "vmodem/voice_samples.h"

struct t31_state_s;
struct fax_state_s;
struct modem_connect_tones_rx_state_s;
struct tone_gen_state_s;

struct VmodemOptions {
    std::string link;
    std::string socketPath;
    int ringIntervalMs = 6000;
    bool vconOnAnswer = false;  // some chipsets answer AT+VLS=1 with VCON instead of OK
    bool trace = false;
    bool traceCarriers = false;  // when each side's signal starts and stops on the line
    std::string answerFaxPath;   // non-empty: the line's own fax terminal answers into this TIFF
    const Personality* personality = &defaultPersonality();
    HangupTone hangupTone = HangupTone::Busy;
    // The T.35 code AT+GCI? answers after a reset; empty: that of the hang-up tone's exchange.
    std::string country;
};

// An AT command in extended syntax: "+NAME", "+NAME?", "+NAME=?", "+NAME=args".
struct Extended {
    std::string name;
    enum class Kind { Action, Read, Test, Set } kind = Kind::Action;
    std::string args;
};

// A T.35 country code the modem lists for +GCI, in upper-case hex.
bool isListedCountry(const std::string& code);

// Where one side's signal starts and stops, to the sample, for the pauses between a signal and
// its answer. A signal stops after 10 ms below the level: a carrier's zero crossings are shorter.
class CarrierWatch {
public:
    explicit CarrierWatch(const char* side) : m_side(side) {}
    // `startNs`: when the block's first sample goes onto the line.
    void feed(const int16_t* samples, int count, int64_t startNs);

private:
    const char* m_side;
    bool m_on = false;
    int64_t m_lastLoudNs = 0;
};

enum class StreamMode { Command, Transmit, TransmitDraining, Receive };
enum class CallState { None, Ringing, Connected, FarEndGone };
enum class ResultCode { Ok, Connect, Ring, NoCarrier, Error };

int64_t vmodemNowMs();
int64_t vmodemNowNs();

const char* toString(StreamMode mode);
const char* toString(CallState state);
const char* toString(ResultCode code);

struct Caller {
    UniqueFd fd;
    bool setupDone = false;
    std::string number;
    int64_t arrivedMs = 0;
};

class VirtualModem {
public:
    explicit VirtualModem(VmodemOptions options);
    ~VirtualModem();
    VirtualModem(const VirtualModem&) = delete;
    VirtualModem& operator=(const VirtualModem&) = delete;

    // Opens the pty and the socket; returns false with a message on stderr.
    bool open();
    // Runs until SIGINT/SIGTERM.
    int run();
    const std::string& slavePath() const { return m_slavePath; }

    // Called from spandsp's callbacks.
    void faxOutput(const uint8_t* bytes, size_t len);
    int faxModemControl(int op, intptr_t arg);
    void terminalDone(int code);

private:
    // vmodem_loop.cpp
    bool openPty();
    bool openSocket();
    void readPty();
    void flushOutput();
    void onTick();
    void trace(const std::string& what) const;
    void send(const std::string& bytes);
    void sendResult(ResultCode code);
    void sendInfo(const std::string& text);

    // vmodem_commands.cpp
    void commandByte(uint8_t byte);
    void executeLine(const std::string& line);
    ResultCode executeCommand(const std::string& cmd, bool& finalSent);
    ResultCode executeExtended(const std::string& cmd, bool& finalSent);
    ResultCode executeBasic(char letter, const std::string& arg, bool& finalSent);
    ResultCode serviceClassCommand(const Extended& e, bool& finalSent);
    ResultCode callerIdCommand(const Extended& e, bool& finalSent);
    ResultCode voiceSettingCommand(const Extended& e, bool& finalSent);
    ResultCode flowControlCommand(const Extended& e, bool& finalSent);
    ResultCode silenceDetectionCommand(const Extended& e, bool& finalSent);
    ResultCode countryCommand(const Extended& e, bool& finalSent);
    ResultCode lineSelectCommand(const Extended& e, bool& finalSent);
    ResultCode sampleModeCommand(const Extended& e, bool& finalSent);
    ResultCode streamCommand(const Extended& e, bool& finalSent);
    ResultCode identityCommand(const Extended& e, bool& finalSent);
    ResultCode setSampleMode(const std::string& args);
    ResultCode setSilenceDetection(const std::string& args);
    ResultCode setCountry(const std::string& args);
    ResultCode writeRegister(const std::string& cmd);
    bool acceptsCallerIdCommand(const std::string& name) const;
    void resetProfile();
    const Personality& personality() const { return *m_options.personality; }
    VoiceCodec codec() const;
    // The rate the DSP runs at, which the serial line's samples follow.
    int modemRate() const;
    void startConverters();

    // vmodem_voice.cpp
    void transmitByte(uint8_t byte);
    void receiveByte(uint8_t byte);
    void lineAudio(const int16_t* samples, int count);
    void voiceOutput(int16_t* samples, int count);
    void reportEvent(char event);
    void checkTransmitDrained();
    void startHangupTone();
    void hangupTone(int16_t* samples, int count);
    void watchSilence(const int16_t* samples, int count);
    void watchFarEndGone();
    static void onCallingTone(void* user, int code, int level, int delay);

    // vmodem_fax.cpp
    void enterFaxClass(const std::string& line);
    void leaveFaxClass();
    static void freeT31(t31_state_s* t31);
    void faxByte(uint8_t byte);
    void faxLine(const std::string& line);
    bool faxInCommandState() const;
    void faxAnswer();
    void runFaxDeferred();

    // vmodem_terminal.cpp
    void startTerminal();
    void stopTerminal();
    // Either the caller's samples `in` for the terminal, or the terminal's `out` to the caller.
    void terminalAudio(int16_t* out, const int16_t* in, int count);

    // vmodem_line.cpp
    void acceptCaller();
    void readCaller(std::list<Caller>::iterator it);
    void callerGone(std::list<Caller>::iterator it);
    void startNextCall();
    void ring();
    void sendCallerId();
    bool answerCall();
    void goOffHook();
    void goOnHook();
    void pickUpHandset();
    void startCallingToneDetector();
    // Audio runs while the modem or the telephone holds the line.
    bool lineLive() const { return m_offHook || m_call == CallState::Connected; }
    void sendToCaller(char type, const std::string& payload = std::string());
    bool lineFree() const;

    VmodemOptions m_options;
    UniqueFd m_master;
    UniqueFd m_slave;
    UniqueFd m_listen;
    std::string m_slavePath;
    std::string m_output;

    // Command state.
    std::string m_line;
    bool m_lineDle = false;
    bool m_echo = true;
    bool m_verbose = true;
    bool m_quiet = false;
    int m_fclass = 0;
    int m_vcid = 0;
    int m_vsmFormat = 1;
    int m_vsmRate = 8000;
    int m_vsdLevel = 128;
    int m_vsdTime = 50;  // tenths of a second
    std::string m_country;

    // Voice streams.
    StreamMode m_mode = StreamMode::Command;
    bool m_streamDle = false;
    bool m_transmitAborted = false;
    std::deque<uint8_t> m_transmitBuffer;
    std::vector<int16_t> m_playQueue;  // transmitted samples at the line's rate
    RateConverter m_toModem;
    RateConverter m_toLine;
    int m_quietSamples = 0;
    bool m_silenceReported = false;

    // Line and call.
    bool m_offHook = false;
    bool m_handsetHolds = false;  // the telephone took the call; the modem has not joined it
    CallState m_call = CallState::None;
    std::list<Caller> m_callers;  // the active call is m_active, the others wait for the line
    std::list<Caller>::iterator m_active;
    bool m_hasActive = false;
    int m_rings = 0;
    int64_t m_nextRingMs = 0;
    int64_t m_farEndGoneMs = 0;
    bool m_busyReported = false;
    tone_gen_state_s* m_hangupTone = nullptr;
    int64_t m_nextTickNs = 0;
    modem_connect_tones_rx_state_s* m_cngDetector = nullptr;

    fax_state_s* m_terminal = nullptr;
    int64_t m_terminalEndMs = -1;

    // Class 1.
    t31_state_s* m_t31 = nullptr;
    CarrierWatch m_callerCarrier{"caller"};
    CarrierWatch m_modemCarrier{"modem"};
    bool m_faxJoined = false;
    bool m_faxAnswerPending = false;
    bool m_faxHangupPending = false;
    bool m_faxCts = true;
    bool m_faxMuted = false;
};
