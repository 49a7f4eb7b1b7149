#pragma once
#include <cstdint>
#include <vector>

namespace platform {

enum class ResourceType { Wave };

// Copies the bytes of one of the program's compiled-in resources, found by type and id.
bool LoadResource(ResourceType type, uint32_t id, std::vector<uint8_t>& bytes);

}  // namespace platform
