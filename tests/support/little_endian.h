#pragma once
// Little-endian fields in the bytes of a file under test; past the end the test fails.

#include <string>

#include "platform/little_endian.h"

inline uint32_t Le32(const std::string& bytes, size_t at) {
    (void)bytes.at(at + 3);
    return platform::GetLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

inline uint16_t Le16(const std::string& bytes, size_t at) {
    (void)bytes.at(at + 1);
    return platform::GetLe16(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}
