#pragma once
#include <cstdint>
#include <string>

namespace platform {

// A small INI ("private profile") reader and writer with the semantics the settings rely on:
// sections and keys match case-insensitively, a missing key reads as its default, a value's
// integer is its leading decimal digits (none gives 0), and writing creates the file and the
// section when needed while keeping every other line as it was.

uint32_t GetProfileInt(const std::string& section, const std::string& key, uint32_t defaultValue,
                       const std::string& path);

// Returns false when the key is missing (then *value is untouched) or the file is unreadable.
bool GetProfileString(const std::string& section, const std::string& key, std::string* value,
                      const std::string& path);

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path);

// The profile integer of one value text: leading decimal digits, 0 when there are none.
uint32_t ProfileIntOf(const std::string& value);

}  // namespace platform
