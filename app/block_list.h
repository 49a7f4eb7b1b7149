#pragma once
// The callers the user does not take: [block] numbers= (a trailing * matches a prefix) and
// unknown=answer|block for callers whose number the line did not tell.

#include <string>
#include <vector>

class CBlockList {
public:
    // From the two settings' values as the settings file holds them (a ';' starts a comment).
    static CBlockList FromSettings(const std::string& numbers, const std::string& unknown);
    // `number` is what the line told: empty when it told nothing.
    bool Blocks(const std::string& number) const;
    bool BlocksUnknown() const { return m_blockUnknown; }

private:
    std::vector<std::string> m_numbers;  // without their separators; a prefix ends in '*'
    bool m_blockUnknown = false;
};
