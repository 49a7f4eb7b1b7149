#pragma once
#include <QString>
#include <QUrl>
#include <cstdint>
#include <vector>

namespace platform {

enum class ResourceType { Wave, Bitmap, Icon };

constexpr uint32_t kIconProgram = 128;
constexpr uint32_t kIconWavFolder = 141;
constexpr uint32_t kIconFaxFolder = 144;
constexpr uint32_t kBitmapSkin = 149;
constexpr uint32_t kIconHelp = 152;
constexpr uint32_t kIconSkin = 153;
constexpr uint32_t kIconMinimize = 155;

// Copies the bytes of one of the program's compiled-in resources, found by type and id.
bool LoadResource(ResourceType type, uint32_t id, std::vector<uint8_t>& bytes);

// The Qt resource path (":/...") of a resource, for Qt's own loaders; empty when there is none.
QString ResourcePath(ResourceType type, uint32_t id);

// The help page; the pictures it names lie beside it.
QUrl HelpPageUrl();

}  // namespace platform
