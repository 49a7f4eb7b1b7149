#include "line_protocol/line_protocol.h"

#include <algorithm>

#include "platform/little_endian.h"
#include "platform/runtime_folder.h"

namespace line_protocol {

std::string defaultSocketPath() {
    const std::string folder = platform::FindRuntimeFolder().path;
    return folder.empty() ? std::string() : folder + "/vantoro-line.sock";
}

std::string audioPayload(const int16_t* samples, size_t count) {
    count = std::min(count, kMaxAudioSamples);
    std::string payload(2 * count, '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(payload.data());
    for (size_t i = 0; i < count; ++i) platform::PutLe16(bytes + 2 * i, uint16_t(samples[i]));
    return payload;
}

size_t decodeAudio(const char* payload, size_t bytes, int16_t* samples) {
    const size_t count = std::min(bytes / 2, kMaxAudioSamples);
    const auto* data = reinterpret_cast<const uint8_t*>(payload);
    for (size_t i = 0; i < count; ++i) samples[i] = int16_t(platform::GetLe16(data + 2 * i));
    return count;
}

}  // namespace line_protocol
