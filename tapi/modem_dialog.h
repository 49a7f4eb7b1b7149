#pragma once
// Synchronous command/response with the modem, used while no reader thread runs: the
// initialisation into voice mode and the final hang-up when the line closes.

#include <cstdint>
#include <string>
#include <vector>

#include "tapi/line_config.h"
#include "tapi/modem_parser.h"
#include "tapi/serial_device.h"
#include "tapi/tone_plan.h"
#include "tapi/voice_format.h"

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

// Brings the modem into voice mode, on hook: reset, verbose results, echo off, identity, the
// country, hang-up on DTR, AT+FCLASS=8, caller id, flow control and inactivity timer where
// supported, the sample format, the vendor commands of line.ini. `country` receives the T.35
// code of the line's exchange: line.ini's, else the modem's, else kUnknownCountry.
// `transcript` receives each command, its answer lines and outcome, and the format chosen,
// for diagnostics.
bool InitialiseVoiceModem(SerialDevice& device, const LineConfig& config, VoiceFormat& format,
                          int& country, std::string& transcript);

// A voice stream whose end went unanswered: the end code once more, then DTR dropped for
// `dtrDropMs` (a modem set to &D2 hangs up), then ATH. True when the modem answers again.
bool LeaveDeafStream(SerialDevice& device, const std::string& end, uint32_t dtrDropMs);

// Puts the modem on hook: AT+VLS=0, or ATH where the modem refuses that.
bool HangUp(SerialDevice& device);

}  // namespace tapi
