#include "tapi/modem_dialog.h"

#include <cctype>
#include <chrono>
#include <cstdlib>

#include "platform/serial_port.h"

namespace tapi {
namespace {

using Clock = std::chrono::steady_clock;

enum class Need { Required, Optional };

// Rates a modem may keep that are converted to the line's 8000 Hz (V.253 lists 4800-11025).
constexpr int kMinModemRateHz = 4000;
constexpr int kMaxModemRateHz = 16000;
constexpr int kVsdSensitivity = 128;  // V.253 +VSD: the modem's nominal level
constexpr uint32_t kVsdUnitsPerSecond = 10;
constexpr uint32_t kVsdMaxUnits = 255;

struct InitStep {
    std::vector<std::string> commands;  // the next is tried while the modem answers ERROR
    Need need;
    uint32_t timeoutMs = kCommandTimeoutMs;
};

// ATZ may load a stored profile with numeric (V0) or no (Q1) result codes: its answer counts
// for nothing, ATV1Q0 puts the results back.
std::vector<InitStep> OpeningSteps() {
    return {
        {{"ATZ"}, Need::Optional, kResetTimeoutMs},
        {{"ATV1Q0"}, Need::Required},
        {{"ATE0"}, Need::Required},
        {{"ATI3"}, Need::Optional},
    };
}

// V.253 voice mode the way answering machines set it up; the optional commands are missing
// on some chipsets, which then answer ERROR. &D2: dropping DTR hangs up, the way out of a
// stream the modem no longer answers in. The modem's own silence report (V.253 +VSD, tenths
// of a second, 0 off) waits as long as the line's, or its default cuts off a caller's pause.
std::vector<InitStep> VoiceSteps(uint32_t silenceS) {
    // Beyond the modem's range its report is switched off; the line's own ears still listen.
    uint32_t tenths = silenceS * kVsdUnitsPerSecond;
    if (tenths > kVsdMaxUnits) tenths = 0;
    std::string silence =
        "AT+VSD=" + std::to_string(kVsdSensitivity) + "," + std::to_string(tenths);
    return {
        {{"AT&D2"}, Need::Optional},
        {{"AT+FCLASS=8"}, Need::Required},
        {{"AT+VCID=1", "AT#CID=1"}, Need::Optional},
        {{"AT+IFC=2,2"}, Need::Optional},
        {{"AT+VIT=0"}, Need::Optional},
        {{silence}, Need::Optional},
    };
}

constexpr int kQuietMs = 50;
constexpr uint32_t kHangUpTimeoutMs = 10000;  // relays and line current take their time
constexpr int kMaxDrainRounds = 20;

void Note(std::string& transcript, const std::string& command, const CommandReply& reply) {
    transcript += command;
    transcript += " -> ";
    switch (reply.status) {
        case CommandReply::Status::Final:
            transcript += ModemResultName(reply.result);
            break;
        case CommandReply::Status::Timeout:
            transcript += "no answer";
            break;
        case CommandReply::Status::DeviceError:
            transcript += "device error";
            break;
    }
    transcript += '\n';
    for (const std::string& line : reply.info) transcript += "    " + line + "\n";
}

// Answers still on their way from before (the hang-up of the previous session) must not pass
// for the answers to the reset.
void DrainStaleInput(SerialDevice& device) {
    device.DiscardInput();
    char buffer[256];
    size_t got = 0;
    // Bounded, so a device that never falls silent cannot hold the initialisation up.
    for (int round = 0; round < kMaxDrainRounds; ++round) {
        if (platform::SerialWaitReadable(device.Descriptor(), kQuietMs) !=
                platform::SerialStatus::Ok ||
            platform::SerialRead(device.Descriptor(), buffer, sizeof buffer, &got) !=
                platform::SerialStatus::Ok) {
            return;
        }
    }
}

}  // namespace

CommandReply RunCommand(SerialDevice& device, const std::string& command, uint32_t timeoutMs) {
    if (!device.Write(command + "\r")) {
        CommandReply reply;
        reply.status = CommandReply::Status::DeviceError;
        return reply;
    }
    return AwaitResult(device, timeoutMs);
}

CommandReply AwaitResult(SerialDevice& device, uint32_t timeoutMs) {
    CommandReply reply;
    ModemParser parser;
    std::vector<ModemInput> inputs;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return reply;
        platform::SerialStatus status =
            platform::SerialWaitReadable(device.Descriptor(), static_cast<uint32_t>(left));
        char buffer[256];
        size_t got = 0;
        if (status == platform::SerialStatus::Ok) {
            status = platform::SerialRead(device.Descriptor(), buffer, sizeof buffer, &got);
        }
        if (status == platform::SerialStatus::Pending) continue;  // time-out or interruption
        if (status != platform::SerialStatus::Ok) {
            reply.status = CommandReply::Status::DeviceError;
            return reply;
        }
        inputs.clear();
        parser.Feed(buffer, got, inputs);
        for (const ModemInput& input : inputs) {
            if (input.kind != ModemInput::Kind::Line || IsCommandEcho(input.line)) continue;
            ModemResult result = ClassifyLine(input.line);
            if (IsFinalResult(result)) {
                reply.status = CommandReply::Status::Final;
                reply.result = result;
                return reply;
            }
            if (result == ModemResult::None) reply.info.push_back(input.line);
        }
    }
}

namespace {

// Runs one step, trying its commands in turn while the modem answers ERROR. False when the
// set-up cannot go on.
bool RunStep(SerialDevice& device, const InitStep& step, std::string& transcript) {
    for (const std::string& command : step.commands) {
        CommandReply reply = RunCommand(device, command, step.timeoutMs);
        Note(transcript, command, reply);
        if (reply.status == CommandReply::Status::DeviceError) return false;
        if (reply.Succeeded()) return true;
        if (reply.status != CommandReply::Status::Final || reply.result != ModemResult::Error) {
            break;
        }
    }
    return step.need == Need::Optional;
}

const char* CodecName(VoiceCodec codec) {
    switch (codec) {
        case VoiceCodec::None:
            return "none";
        case VoiceCodec::Unsigned8:
            return "unsigned 8-bit linear";
        case VoiceCodec::Signed8:
            return "signed 8-bit linear";
        case VoiceCodec::MuLaw:
            return "G.711 mu-law";
        case VoiceCodec::ALaw:
            return "G.711 A-law";
    }
    return "?";
}

// Some chipsets (MultiTech) refuse AT+VSM unless every parameter is given.
bool SelectFormat(SerialDevice& device, const VoiceFormat& format, std::string& transcript) {
    std::string select =
        "AT+VSM=" + std::to_string(format.compression) + "," + std::to_string(kLineRateHz);
    return RunStep(device, {{select, select + ",0,0"}, Need::Required}, transcript);
}

// Lists, chooses, selects and reads back the sample format. A modem that keeps another rate
// has its samples converted; one outside the converter's range is refused, as every
// recording would play at the wrong pitch.
VoiceFormat SetUpVoiceFormat(SerialDevice& device, std::string& transcript) {
    CommandReply listing = RunCommand(device, "AT+VSM=?", kCommandTimeoutMs);
    Note(transcript, "AT+VSM=?", listing);
    VoiceFormat format = listing.Succeeded() ? ChooseVoiceFormat(listing.info) : VoiceFormat{};
    if (format.compression < 0) {
        transcript += "no usable sample format listed\n";
        return VoiceFormat{};
    }
    if (!SelectFormat(device, format, transcript)) return VoiceFormat{};
    CommandReply readBack = RunCommand(device, "AT+VSM?", kCommandTimeoutMs);
    Note(transcript, "AT+VSM?", readBack);
    int rate = readBack.Succeeded() ? ReadBackRate(readBack.info) : 0;
    if (rate != 0) format.rate = rate;
    transcript += "format " + std::to_string(format.compression) + " \"" + format.name + "\" " +
                  CodecName(format.codec) + " at " + std::to_string(format.rate) + " Hz\n";
    if (format.rate < kMinModemRateHz || format.rate > kMaxModemRateHz) {
        transcript += "refused: the modem keeps " + std::to_string(format.rate) +
                      " samples a second, not " + std::to_string(kLineRateHz) + "\n";
        return VoiceFormat{};
    }
    if (format.rate != kLineRateHz) {
        transcript += "converted between " + std::to_string(format.rate) + " and " +
                      std::to_string(kLineRateHz) + " Hz\n";
    }
    return format;
}

// The country the modem is set for. line.ini's wins: a modem left at its factory country
// (usually the USA) would have the line listen for another exchange's tones.
int LineCountry(SerialDevice& device, const LineConfig& config, std::string& transcript) {
    CommandReply reply = RunCommand(device, "AT+GCI?", kCommandTimeoutMs);
    Note(transcript, "AT+GCI?", reply);
    int country = kUnknownCountry;
    if (reply.Succeeded()) {
        for (const std::string& line : reply.info) {
            if (country == kUnknownCountry) country = ParseGciAnswer(line);
        }
    }
    if (!config.country.empty()) country = ParseCountryCode(config.country);
    transcript += "tones of " + TonePlanForCountry(country).name + "\n";
    return country;
}

}  // namespace

bool InitialiseVoiceModem(SerialDevice& device, const LineConfig& config, VoiceFormat& format,
                          int& country, std::string& transcript) {
    format = VoiceFormat{};
    country = kUnknownCountry;
    DrainStaleInput(device);
    std::vector<InitStep> steps = OpeningSteps();
    if (!config.country.empty()) steps.push_back({{"AT+GCI=" + config.country}, Need::Optional});
    for (const InitStep& step : steps) {
        if (!RunStep(device, step, transcript)) return false;
    }
    country = LineCountry(device, config, transcript);
    for (const InitStep& step : VoiceSteps(config.silenceS)) {
        if (!RunStep(device, step, transcript)) return false;
    }
    format = SetUpVoiceFormat(device, transcript);
    for (const std::string& command : config.init) {
        if (!RunStep(device, {{command}, Need::Optional}, transcript)) return false;
    }
    bool onHook = HangUp(device);
    transcript += onHook ? "on hook\n" : "on hook failed\n";
    return onHook;
}

bool LeaveDeafStream(SerialDevice& device, const std::string& end, uint32_t dtrDropMs) {
    if (!device.Write(end)) return false;
    if (AwaitResult(device, kCommandTimeoutMs).status != CommandReply::Status::Timeout) return true;
    platform::SerialLowerDtr(device.Descriptor());  // a pty has no DTR: ATH alone
    platform::SerialWaitReadable(-1, dtrDropMs);
    platform::SerialRaiseDtr(device.Descriptor());
    device.DiscardInput();
    return RunCommand(device, "ATH", kHangUpTimeoutMs).Succeeded();
}

bool HangUp(SerialDevice& device) {
    CommandReply reply = RunCommand(device, "AT+VLS=0", kCommandTimeoutMs);
    if (reply.Succeeded()) return true;
    if (reply.status == CommandReply::Status::DeviceError) return false;
    return RunCommand(device, "ATH", kCommandTimeoutMs).Succeeded();
}

}  // namespace tapi
