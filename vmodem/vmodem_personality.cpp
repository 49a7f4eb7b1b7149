#include "vmodem/vmodem_personality.h"

namespace {

using Codec = VoiceCodec;
using Tone = HangupTone;

// The tables below give the fields in the order of Personality; the first one names them.
const std::vector<int> k8000 = {8000};
const std::vector<int> kUsrRates = {7200, 8000, 11025};

// Conexant CX93001/CX93010, inside nearly every USB voice modem sold today. It never reports
// silence, dial tone off hook, or busy outside its country's cadence (factory default USA).
const Personality kCx93010 = {
    "cx93010",
    "CX93001-EIS_V0.2013-V92",
    {"0,\"SIGNED PCM\",8,0,8000,0,0", "1,\"UNSIGNED PCM\",8,0,8000,0,0",
     "129,\"IMA ADPCM\",4,0,8000,0,0", "130,\"UNSIGNED PCM\",8,0,8000,0,0",
     "131,\"Mu-Law\",8,0,8000,0,0", "132,\"A-Law\",8,0,8000,0,0",
     "133,\"14 bit PCM\",14,0,8000,0,0"},
    {{0, Codec::Signed8, k8000},
     {1, Codec::Unsigned8, k8000},
     {130, Codec::Unsigned8, k8000},
     {131, Codec::MuLaw, k8000},
     {132, Codec::ALaw, k8000}},
    1,      // default method
    0,      // runs at the rate asked for
    false,  // two +VSM parameters will do
    {},     // hang-up tones it calls busy
    0,      // no silence event
    CallerIdLayout::Spaced,
    CallerIdTiming::AfterFirstRing,
    {"+VCID", "#CID"},  // caller id commands
    true,               // takes AT!rrrr=vv
};

// USRobotics USR5637 (firmware 1.2.23): the short listing, caller id before the first RING.
const Personality kUsr5637 = {
    "usr5637",
    "U.S. Robotics 56K FAX USB V1.2.23",
    {"128,\"8-BIT LINEAR\",(7200,8000,11025)", "129,\"16-BIT LINEAR\",(7200,8000,11025)",
     "130,\"8-BIT ALAW\",(8000)", "131,\"8-BIT ULAW\",(8000)",
     "132,\"IMA ADPCM\",(7200,8000,11025)"},
    {{128, Codec::Unsigned8, kUsrRates},
     {129, Codec::Linear16, kUsrRates},
     {130, Codec::ALaw, k8000},
     {131, Codec::MuLaw, k8000}},
    128,
    0,
    false,
    {Tone::UsReorder},
    's',
    CallerIdLayout::Compact,
    CallerIdTiming::BeforeFirstRing,
    {"+VCID"},
    false,
};

// MultiTech MT5634SMI: refuses +VSM unless all four parameters are there.
const Personality kMt5634 = {
    "mt5634",
    "MT5634SMI-V92 Rev. 2.06",
    {"128,\"8-BIT LINEAR\",8,0,(8000),(0),(0)", "129,\"16-BIT LINEAR\",16,0,(8000),(0),(0)",
     "130,\"8-BIT ALAW\",8,0,(8000),(0),(0)", "131,\"8-BIT ULAW\",8,0,(8000),(0),(0)",
     "132,\"IMA ADPCM\",4,0,(8000),(0),(0)"},
    {{128, Codec::Unsigned8, k8000},
     {129, Codec::Linear16, k8000},
     {130, Codec::ALaw, k8000},
     {131, Codec::MuLaw, k8000}},
    128,
    0,
    true,
    {Tone::UsReorder},
    'q',
    CallerIdLayout::Compact,
    CallerIdTiming::AfterFirstRing,
    {"+VCID"},
    false,
};

// Intel MD566x: method 1 is 16-bit, not the unsigned 8-bit of V.253's examples.
const Personality kMd566x = {
    "md566x",
    "Intel(R) MD566X V.92 Data/Fax/Voice",
    {"1,\"LINEAR\",16,0,(8000),(0),(0)", "128,\"SIGNED PCM\",8,0,(8000),(0),(0)",
     "129,\"IMA ADPCM\",4,0,(8000),(0),(0)", "140,\"A-LAW\",8,0,(8000),(0),(0)"},
    {{1, Codec::Linear16, k8000}, {128, Codec::Signed8, k8000}, {140, Codec::ALaw, k8000}},
    1,
    0,
    false,
    {Tone::UsReorder},
    0,
    CallerIdLayout::Spaced,
    CallerIdTiming::AfterFirstRing,
    {"+VCID"},
    false,
};

// Rockwell RC56: takes any listed rate and records and plays 7200 samples a second regardless.
const Personality kRc56 = {
    "rc56",
    "RC56D/SP V1.210-K56_DLP",
    {"0,\"SIGNED PCM\",8,0,(7200,8000,11025),(0),(0)",
     "1,\"UNSIGNED PCM\",8,0,(7200,8000,11025),(0),(0)",
     "4,\"ULAW\",8,0,(7200,8000,11025),(0),(0)"},
    {{0, Codec::Signed8, kUsrRates},
     {1, Codec::Unsigned8, kUsrRates},
     {4, Codec::MuLaw, kUsrRates}},
    1,
    7200,
    false,
    {Tone::UsReorder},
    0,
    CallerIdLayout::Spaced,
    CallerIdTiming::AfterFirstRing,
    {"#CID"},
    false,
};

// The virtual modem as it always was: busy reported about a second after every hang-up.
const Personality kIdeal = {
    "ideal",
    "vantoro-vmodem V.253 voice, T.31 Class 1 fax",
    {"1,\"UNSIGNED PCM\",8,0,(8000),(0),(0)", "4,\"ULAW\",8,0,(8000),(0),(0)"},
    {{1, Codec::Unsigned8, k8000}, {4, Codec::MuLaw, k8000}},
    1,
    0,
    false,
    {Tone::Busy, Tone::CnBusy, Tone::UsReorder, Tone::EuBusy, Tone::DialTone, Tone::Silence},
    0,
    CallerIdLayout::Compact,
    CallerIdTiming::AfterFirstRing,
    {"+VCID"},
    false,
};

const Personality* const kPersonalities[] = {&kCx93010, &kUsr5637, &kMt5634,
                                             &kMd566x,  &kRc56,    &kIdeal};

constexpr HangupTone kHangupTones[] = {Tone::Busy,   Tone::CnBusy,   Tone::UsReorder,
                                       Tone::EuBusy, Tone::DialTone, Tone::Silence};

}  // namespace

const char* toString(VoiceCodec codec) {
    switch (codec) {
        case Codec::Unsigned8:
            return "unsigned 8-bit";
        case Codec::Signed8:
            return "signed 8-bit";
        case Codec::Linear16:
            return "16-bit linear";
        case Codec::MuLaw:
            return "mu-law";
        case Codec::ALaw:
            return "A-law";
    }
    return "?";
}

const char* toString(HangupTone tone) {
    switch (tone) {
        case Tone::Busy:
            return "busy";
        case Tone::CnBusy:
            return "cn-busy";
        case Tone::UsReorder:
            return "us-reorder";
        case Tone::EuBusy:
            return "eu-busy";
        case Tone::DialTone:
            return "dialtone";
        case Tone::Silence:
            return "silence";
    }
    return "?";
}

const char* exchangeCountry(HangupTone tone) {
    switch (tone) {
        case Tone::CnBusy:
            return "26";
        case Tone::EuBusy:
            return "04";
        case Tone::Busy:
        case Tone::UsReorder:
        case Tone::DialTone:
        case Tone::Silence:
            return "B5";
    }
    return "B5";
}

bool hangupToneFromName(const std::string& name, HangupTone& tone) {
    for (HangupTone candidate : kHangupTones) {
        if (name == toString(candidate)) {
            tone = candidate;
            return true;
        }
    }
    return false;
}

std::string hangupToneNames() {
    std::string names;
    for (HangupTone tone : kHangupTones)
        names += std::string(names.empty() ? "" : " | ") + toString(tone);
    return names;
}

const Personality* findPersonality(const std::string& name) {
    for (const Personality* p : kPersonalities) {
        if (name == p->name) return p;
    }
    return nullptr;
}

const Personality& defaultPersonality() { return kCx93010; }

std::string personalityNames() {
    std::string names;
    for (const Personality* p : kPersonalities)
        names += std::string(names.empty() ? "" : " | ") + p->name;
    return names;
}

const VoiceFormat* findFormat(const Personality& personality, int code) {
    for (const VoiceFormat& format : personality.formats) {
        if (format.code == code) return &format;
    }
    return nullptr;
}
