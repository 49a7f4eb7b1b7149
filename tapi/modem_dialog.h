#pragma once
// Synchronous command/response with the modem, used while no reader thread runs: the
// initialisation into voice mode and the final hang-up when the line closes.

#include <cstdint>
#include <string>
#include <vector>

#include "tapi/modem_parser.h"
#include "tapi/serial_device.h"

namespace tapi {

constexpr uint32_t kResetTimeoutMs = 3000;    // ATZ: some modems take a second to reset
constexpr uint32_t kCommandTimeoutMs = 2000;  // any other command in command state

struct CommandReply {
    enum class Status { Final, Timeout, DeviceError };
    Status status = Status::Timeout;
    ModemResult result = ModemResult::None;
    std::vector<std::string> info;  // information lines before the result code

    bool Succeeded() const {
        return status == Status::Final &&
               (result == ModemResult::Ok || result == ModemResult::Vcon);
    }
};

// Sends `command` with its CR and collects lines up to the first final result code.
CommandReply RunCommand(SerialDevice& device, const std::string& command, uint32_t timeoutMs);
// Collects lines up to the first final result code, for something already sent.
CommandReply AwaitResult(SerialDevice& device, uint32_t timeoutMs);

// The voice sample format chosen for the line's later audio (V.253 AT+VSM).
struct VoiceFormat {
    int compression = -1;  // V.253 compression method id; -1 when the modem listed none we use
    int rate = 8000;
};

// Picks from the AT+VSM=? listing: unsigned 8-bit PCM (1), else mu-law (4), else A-law (5),
// else a Lucent-family equivalent (128 8-bit linear, 131 mu-law, 130 A-law), each at 8000 Hz.
VoiceFormat ChooseVoiceFormat(const std::vector<std::string>& listing);

// Brings the modem into voice mode, on hook: reset, echo off, AT+FCLASS=8, caller id, flow
// control and inactivity timer where supported, the sample format. `transcript` receives each
// command and its outcome, for diagnostics.
bool InitialiseVoiceModem(SerialDevice& device, VoiceFormat& format, std::string& transcript);

// Puts the modem on hook: AT+VLS=0, or ATH where the modem refuses that.
bool HangUp(SerialDevice& device);

}  // namespace tapi
