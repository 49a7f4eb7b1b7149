#include "tapi/voice_format.h"

#include <cctype>
#include <cstdlib>

#include "platform/ini_reader.h"

namespace tapi {
namespace {

// V.253 compression ids whose meaning holds on every chipset that lists them without a name
// that tells: 0 signed, 1 unsigned 8-bit PCM, 4 mu-law, 5 A-law.
struct StandardId {
    int compression;
    VoiceCodec codec;
};
constexpr StandardId kStandardIds[] = {
    {0, VoiceCodec::Signed8},
    {1, VoiceCodec::Unsigned8},
    {4, VoiceCodec::MuLaw},
    {5, VoiceCodec::ALaw},
};

constexpr VoiceCodec kPreference[] = {VoiceCodec::Unsigned8, VoiceCodec::Signed8, VoiceCodec::MuLaw,
                                      VoiceCodec::ALaw};

// Splits at the commas outside quotes and parentheses.
std::vector<std::string> SplitFields(const std::string& text) {
    std::vector<std::string> fields(1);
    int depth = 0;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '(') ++depth;
        if (!quoted && c == ')' && depth > 0) --depth;
        if (c == ',' && !quoted && depth == 0) {
            fields.emplace_back();
            continue;
        }
        fields.back() += c;
    }
    for (std::string& field : fields) field = platform::TrimBlanks(field);
    return fields;
}

bool IsNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool Contains(const std::string& text, const char* word) {
    return text.find(word) != std::string::npos;
}

// "8000", "(8000)", "(7200,8000,11025)", "(4800-11025)".
bool RatesOffer(const std::string& field, int rate) {
    std::string inner = field;
    if (!inner.empty() && inner.front() == '(') inner.erase(0, 1);
    if (!inner.empty() && inner.back() == ')') inner.pop_back();
    for (const std::string& item : SplitFields(inner)) {
        size_t dash = item.find('-');
        int low = std::atoi(item.c_str());
        int high = dash == std::string::npos ? low : std::atoi(item.c_str() + dash + 1);
        if (rate >= low && rate <= high) return true;
    }
    return false;
}

// "8-BIT LINEAR", "16-BIT LINEAR", "14 BIT PCM".
int BitsInName(const std::string& name) {
    size_t bit = name.find("BIT");
    if (bit == std::string::npos) return 0;
    size_t end = bit;
    while (end > 0 && (name[end - 1] == ' ' || name[end - 1] == '-')) --end;
    size_t start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(name[start - 1]))) --start;
    return start < end ? std::atoi(name.c_str() + start) : 0;
}

VoiceCodec CodecByName(const VsmEntry& entry) {
    const std::string& name = entry.name;
    if (Contains(name, "ADPCM")) return VoiceCodec::None;
    if (Contains(name, "ULAW") || Contains(name, "MU-LAW") || Contains(name, "U-LAW") ||
        Contains(name, "G.711U") || Contains(name, "G711U")) {
        return VoiceCodec::MuLaw;
    }
    if (Contains(name, "ALAW") || Contains(name, "A-LAW") || Contains(name, "G.711A") ||
        Contains(name, "G711A")) {
        return VoiceCodec::ALaw;
    }
    if (entry.bits != 8 && entry.bits != 0) return VoiceCodec::None;  // 14 or 16-bit linear
    if (Contains(name, "UNSIGNED")) return VoiceCodec::Unsigned8;
    if (Contains(name, "SIGNED")) return VoiceCodec::Signed8;
    // Lucent's family and its heirs: 128 is unsigned 8-bit linear when the name only says
    // "8-BIT LINEAR".
    bool linear = Contains(name, "LINEAR") || Contains(name, "PCM");
    if (linear && entry.compression == 128) return VoiceCodec::Unsigned8;
    for (const StandardId& id : kStandardIds) {
        bool linearId = id.codec == VoiceCodec::Signed8 || id.codec == VoiceCodec::Unsigned8;
        if (id.compression == entry.compression && (linearId || name.empty())) return id.codec;
    }
    return VoiceCodec::None;
}

}  // namespace

bool ParseVsmEntry(const std::string& line, VsmEntry& entry) {
    std::string text = platform::TrimBlanks(line);
    if (text.rfind("+VSM:", 0) == 0) text = platform::TrimBlanks(text.substr(5));
    std::vector<std::string> fields = SplitFields(text);
    if (fields.size() < 2 || !IsNumber(fields[0])) return false;
    entry = VsmEntry{};
    entry.compression = std::atoi(fields[0].c_str());
    size_t next = 1;
    if (fields[1].size() >= 2 && fields[1].front() == '"') {
        for (char c : fields[1].substr(1, fields[1].size() - 2)) {
            entry.name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        next = 2;
    }
    std::vector<std::string> rest(fields.begin() + static_cast<long>(next), fields.end());
    // Full V.253 form: bits, timing, rates, ...; the short form lists only the rates.
    std::string rates;
    if (rest.size() >= 3 && IsNumber(rest[0])) {
        entry.bits = std::atoi(rest[0].c_str());
        rates = rest[2];
    } else if (!rest.empty()) {
        rates = rest[0];
    }
    if (entry.bits == 0) entry.bits = BitsInName(entry.name);
    entry.rateListed = !rates.empty();
    entry.offers8000 = entry.rateListed && RatesOffer(rates, kLineRateHz);
    entry.codec = CodecByName(entry);
    return true;
}

VoiceFormat ChooseVoiceFormat(const std::vector<std::string>& listing) {
    std::vector<VsmEntry> entries;
    VsmEntry entry;
    for (const std::string& line : listing) {
        if (ParseVsmEntry(line, entry)) entries.push_back(entry);
    }
    for (VoiceCodec wanted : kPreference) {
        for (const VsmEntry& candidate : entries) {
            if (candidate.codec != wanted) continue;
            if (candidate.rateListed && !candidate.offers8000) continue;
            return VoiceFormat{candidate.compression, candidate.codec, kLineRateHz, candidate.name};
        }
    }
    return VoiceFormat{};
}

int ReadBackRate(const std::vector<std::string>& answer) {
    for (const std::string& line : answer) {
        std::string text = platform::TrimBlanks(line);
        if (text.rfind("+VSM:", 0) == 0) text = platform::TrimBlanks(text.substr(5));
        std::vector<std::string> fields = SplitFields(text);
        if (fields.size() >= 2 && IsNumber(fields[0]) && IsNumber(fields[1])) {
            return std::atoi(fields[1].c_str());
        }
    }
    return 0;
}

}  // namespace tapi
