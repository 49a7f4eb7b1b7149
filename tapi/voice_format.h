#pragma once
// The modem's voice sample formats as its AT+VSM=? listing names them. Chipsets list them in
// different shapes and give the same number different meanings, so the format is chosen by the
// name and the bit size, and the number counts only where the name says nothing.

#include <string>
#include <vector>

#include "tapi/voice_codec.h"

namespace tapi {

constexpr int kLineRateHz = 8000;  // the rate the program's sound runs at

// One line of an AT+VSM=? listing.
struct VsmEntry {
    int compression = -1;  // V.253 compression method id
    std::string name;      // upper case, without quotes
    int bits = 0;          // bits per sample; 0 when neither the line nor the name says
    bool rateListed = false;
    bool offers8000 = false;  // 8000 is in the rates (a single value, a list or a range)
    VoiceCodec codec = VoiceCodec::None;
};

// The sample format the line uses.
struct VoiceFormat {
    int compression = -1;  // -1: the modem listed none we can use
    VoiceCodec codec = VoiceCodec::None;
    int rate = kLineRateHz;  // as the modem reports it running
    std::string name;
};

// Reads one listing line: "0,\"SIGNED PCM\",8,0,8000,0,0", "+VSM: 4,\"G.711U\",8,0,(8000)",
// "128,\"8-BIT LINEAR\",(7200,8000,11025)", rates as ranges "(4800-11025)". False for a line
// that is no listing entry.
bool ParseVsmEntry(const std::string& line, VsmEntry& entry);

// Picks the best format at 8000 Hz: unsigned 8-bit linear, signed 8-bit linear, mu-law, A-law.
VoiceFormat ChooseVoiceFormat(const std::vector<std::string>& listing);

// The rate in an AT+VSM? answer ("+VSM: 128,8000,0,0", "1,7200"), or 0 when it has none.
int ReadBackRate(const std::vector<std::string>& answer);

}  // namespace tapi
