#pragma once
// The dialects of the voice modems the virtual modem can play: what differs between chipsets is
// data here, read by the one command interpreter.

#include <string>
#include <vector>

// How samples cross the serial line in a voice stream.
enum class VoiceCodec { Unsigned8, Signed8, Linear16, MuLaw, ALaw };

// What the line carries toward the modem after the caller hung up. Busy: the busy tone of the
// country the modem is set for (+GCI) when the caller hangs up.
enum class HangupTone { Busy, CnBusy, UsReorder, EuBusy, DialTone, Silence };

const char* toString(VoiceCodec codec);
const char* toString(HangupTone tone);
// The T.35 code of the country whose exchange sends that tone (USA for Busy).
const char* exchangeCountry(HangupTone tone);
bool hangupToneFromName(const std::string& name, HangupTone& tone);
// Every tone name, separated by " | ", for the usage text.
std::string hangupToneNames();

struct VoiceFormat {
    int code;  // the +VSM compression method number
    VoiceCodec codec;
    std::vector<int> rates;  // sample rates it accepts, in Hz
};

enum class CallerIdLayout { Compact, Spaced };  // "NMBR=5551234" or "NMBR = 5551234"
enum class CallerIdTiming { AfterFirstRing, BeforeFirstRing };

struct Personality {
    const char* name;
    const char* identity;              // the ATI3 answer
    std::vector<const char*> listing;  // the AT+VSM=? lines, as the chipset prints them
    // Listed methods missing here (IMA ADPCM, 14-bit PCM) are refused when chosen.
    std::vector<VoiceFormat> formats;
    int defaultFormat;
    // Non-zero: the DSP runs at this rate whatever AT+VSM asks, and AT+VSM? says so.
    int fixedRate;
    bool vsmNeedsAllParams;  // AT+VSM with fewer than four parameters is an ERROR
    // The hang-up tones after which the modem reports DLE b, about one cadence after they start.
    std::vector<HangupTone> busyTones;
    // The DLE event for silence longer than the +VSD time, 0 when the chipset has none; such a
    // chipset also reads its +VSD silence time back as 0.
    char silenceEvent;
    CallerIdLayout callerIdLayout;
    CallerIdTiming callerIdTiming;
    std::vector<const char*> callerIdCommands;  // "+VCID", "#CID": the ones it accepts
    // Vendor register writes AT!rrrr=vv (hex), as Conexant's set-up notes for some countries use.
    bool registerWrites;
};

// The personality of that name, or nullptr.
const Personality* findPersonality(const std::string& name);
const Personality& defaultPersonality();
// Every personality name, separated by " | ", for the usage text.
std::string personalityNames();
const VoiceFormat* findFormat(const Personality& personality, int code);
