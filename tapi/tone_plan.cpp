#include "tapi/tone_plan.h"

#include <algorithm>
#include <cctype>

namespace tapi {
namespace {

constexpr ToneFrequencies kPrecise350440 = {350, 440};  // North American precise tone plan
constexpr ToneFrequencies kPrecise480620 = {480, 620};
constexpr ToneFrequencies kCept425 = {425};  // CEPT's common 425 Hz
constexpr ToneFrequencies kChina450 = {450};
constexpr ToneFrequencies kJapan400 = {400};
constexpr ToneFrequencies kUk400 = {400};
constexpr ToneFrequencies kFrance440 = {440};

// E.180's supplement, country by country. The UK's four-part congestion cadence and Italy's
// cadenced dial tone are left out: their busy tone is heard, and silence ends the rest.
const std::vector<TonePlan>& CountryPlans() {
    static const std::vector<TonePlan> plans = {
        {"North America",
         {0xB5, 0x20, 0x50, 0xFE},  // USA, Canada, Hong Kong, Taiwan
         {kPrecise350440},
         {{kPrecise480620, 500, 500}, {kPrecise480620, 250, 250}}},
        {"United Kingdom", {0xB4}, {kPrecise350440}, {{kUk400, 375, 375}}},
        {"Europe, 425 Hz",
         {0x04, 0x0F, 0x7B, 0x82, 0x8B, 0xA6},  // DE BE NL NO PL CH
         {kCept425},
         {{kCept425, 480, 480}, {kCept425, 240, 240}}},
        {"Nordic, 425 Hz",
         {0x31, 0x3C, 0xA5},  // DK FI SE
         {kCept425},
         {{kCept425, 250, 250}, {kCept425, 300, 300}}},
        {"Spain", {0xA0}, {kCept425}, {{kCept425, 200, 200}}},
        {"Italy", {0x59}, {}, {{kCept425, 500, 500}, {kCept425, 200, 200}}},
        {"France", {0x3D}, {kFrance440}, {{kFrance440, 500, 500}}},
        {"China", {0x26}, {kChina450}, {{kChina450, 350, 350}, {kChina450, 700, 700}}},
        {"Japan", {0x00}, {kJapan400}, {{kJapan400, 500, 500}}},
    };
    return plans;
}

// A country we do not know: any country's busy cadence (a cadence held for several cycles is
// hard to imitate), but as dial tone only the dual 350+440 Hz: a single steady tone there may
// be the caller's.
TonePlan MakeDefaultPlan() {
    TonePlan plan{"default (country unknown)", {}, {kPrecise350440}, {}};
    for (const TonePlan& country : CountryPlans()) {
        for (const ToneCadence& cadence : country.busyTones) {
            bool known = std::any_of(
                plan.busyTones.begin(), plan.busyTones.end(), [&](const ToneCadence& have) {
                    return have.tone == cadence.tone && have.onMs == cadence.onMs &&
                           have.offMs == cadence.offMs;
                });
            if (!known) plan.busyTones.push_back(cadence);
        }
    }
    return plan;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

}  // namespace

const TonePlan& TonePlanForCountry(int t35Code) {
    static const TonePlan defaultPlan = MakeDefaultPlan();
    for (const TonePlan& plan : CountryPlans()) {
        if (std::find(plan.countries.begin(), plan.countries.end(), t35Code) !=
            plan.countries.end()) {
            return plan;
        }
    }
    return defaultPlan;
}

int ParseCountryCode(const std::string& text) {
    if (text.size() != 2) return kUnknownCountry;
    int high = HexDigit(text[0]), low = HexDigit(text[1]);
    return high < 0 || low < 0 ? kUnknownCountry : high * 16 + low;
}

// V.253 writes "+GCI: B5"; some chipsets leave out the blank.
int ParseGciAnswer(const std::string& line) {
    const std::string prefix = "+GCI:";
    if (line.compare(0, prefix.size(), prefix) != 0) return kUnknownCountry;
    size_t start = line.find_first_not_of(' ', prefix.size());
    if (start == std::string::npos) return kUnknownCountry;
    size_t end = line.find_last_not_of(" \r\n");
    return ParseCountryCode(line.substr(start, end + 1 - start));
}

}  // namespace tapi
