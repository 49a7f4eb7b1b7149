#include "app/block_list.h"

#include <sstream>

namespace {

// Spaces, dashes, dots and brackets are how people write a number, not part of it.
std::string Digits(const std::string& text) {
    std::string kept;
    for (char c : text) {
        if (c != ' ' && c != '-' && c != '.' && c != '(' && c != ')') kept.push_back(c);
    }
    return kept;
}

std::string WithoutComment(const std::string& value) { return value.substr(0, value.find(';')); }

}  // namespace

CBlockList CBlockList::FromSettings(const std::string& numbers, const std::string& unknown) {
    CBlockList list;
    std::string entries = WithoutComment(numbers);
    for (char& c : entries) {
        if (c == '\t') c = ',';
    }
    std::istringstream stream(entries);
    for (std::string entry; std::getline(stream, entry, ',');) {
        entry = Digits(entry);
        if (!entry.empty()) list.m_numbers.push_back(entry);
    }
    std::istringstream word(WithoutComment(unknown));
    std::string mode;
    word >> mode;
    list.m_blockUnknown = mode == "block";
    return list;
}

bool CBlockList::Blocks(const std::string& number) const {
    if (number.empty()) return m_blockUnknown;
    const std::string digits = Digits(number);
    for (const std::string& entry : m_numbers) {
        const bool prefix = entry.back() == '*';
        const std::string wanted = prefix ? entry.substr(0, entry.size() - 1) : entry;
        if (prefix ? digits.compare(0, wanted.size(), wanted) == 0 : digits == wanted) return true;
    }
    return false;
}
