#pragma once
// The tones an exchange sends once the caller has gone: its continuous dial tone and its busy
// and congestion cadences, by the country the line is in (ITU-T T.35 country codes, as V.253's
// +GCI reports them). The values are those that ITU-T E.180 and its supplement list for each
// country. A line whose country is unknown hears only what no caller can imitate by accident.

#include <cstdint>
#include <string>
#include <vector>

namespace tapi {

struct ToneFrequencies {
    int hz = 0;
    int secondHz = 0;  // 0: a single frequency

    bool IsDual() const { return secondHz != 0; }
    bool operator==(const ToneFrequencies& other) const {
        return hz == other.hz && secondHz == other.secondHz;
    }
    bool operator!=(const ToneFrequencies& other) const { return !(*this == other); }
};

struct ToneCadence {
    ToneFrequencies tone;
    int onMs = 0;
    int offMs = 0;
};

struct TonePlan {
    std::string name;
    std::vector<uint8_t> countries;          // T.35 country codes
    std::vector<ToneFrequencies> dialTones;  // continuous; none where the dial tone is cadenced
    std::vector<ToneCadence> busyTones;      // busy and congestion (reorder)
};

constexpr int kUnknownCountry = -1;

// The plan of the exchanges of a T.35 country code, or the default plan for kUnknownCountry
// and for countries not in the table.
const TonePlan& TonePlanForCountry(int t35Code);

// The country code of a +GCI answer line ("+GCI: B5"), or kUnknownCountry.
int ParseGciAnswer(const std::string& line);
// Two hex digits ("26"), or kUnknownCountry.
int ParseCountryCode(const std::string& text);

}  // namespace tapi
