#include "tapi/modem_dialog.h"

#include <cctype>
#include <chrono>
#include <cstdlib>

#include "platform/serial_port.h"

namespace tapi {
namespace {

using Clock = std::chrono::steady_clock;

enum class Need { Required, Optional };

struct InitStep {
    const char* command;
    Need need;
    uint32_t timeoutMs;
};

// V.253 voice mode the way answering machines set it up; the optional commands are missing
// on some chipsets, which then answer ERROR.
const InitStep kInitSteps[] = {
    {"ATZ", Need::Required, kResetTimeoutMs},
    {"ATE0", Need::Required, kCommandTimeoutMs},
    {"AT+FCLASS=8", Need::Required, kCommandTimeoutMs},
    {"AT+VCID=1", Need::Optional, kCommandTimeoutMs},
    {"AT+IFC=2,2", Need::Optional, kCommandTimeoutMs},
    {"AT+VIT=0", Need::Optional, kCommandTimeoutMs},
};

constexpr int kQuietMs = 50;
constexpr int kMaxDrainRounds = 20;

const int kFormatPreference[] = {1, 4, 5, 128, 131, 130};

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
}

// The compression id at the start of one listing line ("+VSM: " prefix optional), or -1.
int LeadingCompression(const std::string& line) {
    size_t at = 0;
    if (line.rfind("+VSM:", 0) == 0) at = 5;
    while (at < line.size() && line[at] == ' ') ++at;
    if (at >= line.size() || !std::isdigit(static_cast<unsigned char>(line[at]))) return -1;
    return std::atoi(line.c_str() + at);
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

VoiceFormat ChooseVoiceFormat(const std::vector<std::string>& listing) {
    VoiceFormat chosen;
    for (int wanted : kFormatPreference) {
        for (const std::string& line : listing) {
            if (LeadingCompression(line) == wanted && line.find("8000") != std::string::npos) {
                chosen.compression = wanted;
                return chosen;
            }
        }
    }
    return chosen;
}

bool InitialiseVoiceModem(SerialDevice& device, VoiceFormat& format, std::string& transcript) {
    DrainStaleInput(device);
    for (const InitStep& step : kInitSteps) {
        CommandReply reply = RunCommand(device, step.command, step.timeoutMs);
        Note(transcript, step.command, reply);
        if (reply.status == CommandReply::Status::DeviceError) return false;
        if (step.need == Need::Required && !reply.Succeeded()) return false;
    }
    CommandReply listing = RunCommand(device, "AT+VSM=?", kCommandTimeoutMs);
    Note(transcript, "AT+VSM=?", listing);
    format = listing.Succeeded() ? ChooseVoiceFormat(listing.info) : VoiceFormat{};
    if (format.compression >= 0) {
        std::string select =
            "AT+VSM=" + std::to_string(format.compression) + "," + std::to_string(format.rate);
        CommandReply reply = RunCommand(device, select, kCommandTimeoutMs);
        Note(transcript, select, reply);
        if (!reply.Succeeded()) format = VoiceFormat{};
    }
    bool onHook = HangUp(device);
    transcript += onHook ? "on hook\n" : "on hook failed\n";
    return onHook;
}

bool HangUp(SerialDevice& device) {
    CommandReply reply = RunCommand(device, "AT+VLS=0", kCommandTimeoutMs);
    if (reply.Succeeded()) return true;
    if (reply.status == CommandReply::Status::DeviceError) return false;
    return RunCommand(device, "ATH", kCommandTimeoutMs).Succeeded();
}

}  // namespace tapi
