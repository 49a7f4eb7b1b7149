#include "platform/resources.h"

#include <QFile>

namespace platform {
namespace {

struct ResourceEntry {
    ResourceType type;
    uint32_t id;
    const char* path;  // in the Qt resources
};

const ResourceEntry kResources[] = {
    {ResourceType::Wave, 158, ":/wave/158.wav"},
    {ResourceType::Wave, 159, ":/wave/159.wav"},
    {ResourceType::Bitmap, kBitmapSkin, ":/skin/skin149.bmp"},
    {ResourceType::Icon, kIconProgram, ":/icons/vantoro.png"},
    {ResourceType::Icon, kIconWavFolder, ":/icons/wav_folder.png"},
    {ResourceType::Icon, kIconFaxFolder, ":/icons/fax_folder.png"},
    {ResourceType::Icon, kIconHelp, ":/icons/help.png"},
    {ResourceType::Icon, kIconSkin, ":/icons/skin.png"},
    {ResourceType::Icon, kIconMinimize, ":/icons/minimize.png"},
};

}  // namespace
}  // namespace platform

// The resources live in a static library; naming their initialisers keeps them linked in. The
// initialiser is declared by the macro and must be global.
static void InitResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(voice);
        Q_INIT_RESOURCE(skin);
        return true;
    }();
    (void)done;
}

namespace platform {

bool LoadResource(ResourceType type, uint32_t id, std::vector<uint8_t>& bytes) {
    InitResources();
    for (const ResourceEntry& entry : kResources) {
        if (entry.type != type || entry.id != id) continue;
        QFile file(entry.path);
        if (!file.open(QIODevice::ReadOnly)) return false;
        QByteArray data = file.readAll();
        bytes.assign(data.begin(), data.end());
        return true;
    }
    return false;
}

QString ResourcePath(ResourceType type, uint32_t id) {
    InitResources();
    for (const ResourceEntry& entry : kResources)
        if (entry.type == type && entry.id == id) return QString::fromLatin1(entry.path);
    return QString();
}

QUrl HelpPageUrl() {
    InitResources();
    return QUrl(QStringLiteral("qrc:/help/help.html"));
}

}  // namespace platform
