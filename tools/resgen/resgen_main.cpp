// vantoro-resgen RESDIR: draws the skin bitmap, the icons and the help page's pictures into
// RESDIR (the source tree's res/). Run under QT_QPA_PLATFORM=offscreen; the outputs are committed.

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>

#include "tools/resgen/skin_art.h"

namespace {

using skinart::Icon;

struct IconFile {
    Icon icon;
    const char* name;
    QRect button;  // where the window shows it, in pixels; empty for none
};
const IconFile kIcons[] = {
    {Icon::Program, "vantoro", QRect()},
    {Icon::FaxFolder, "fax_folder", QRect(69, 84, 18, 18)},
    {Icon::WavFolder, "wav_folder", QRect(95, 84, 18, 18)},
    {Icon::Minimize, "minimize", QRect(120, 84, 18, 18)},
    {Icon::Help, "help", QRect(146, 84, 18, 18)},
    {Icon::Skin, "skin", QRect(116, 48, 18, 18)},
};
constexpr int kButtonIconSize = 16;
constexpr int kProgramIconSize = 128;
// The sizes desktops look up in the hicolor icon theme, besides the scalable picture.
constexpr int kThemeIconSizes[] = {48, 64, 128, 256};
constexpr int kHelpPictureScale = 2;
constexpr int kHelpPictureMargin = 4;

bool Save(const QImage& image, const QString& path) {
    if (image.save(path)) return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

// The window as it looks when waiting for calls, on a white page.
QImage MainWindowPicture(const QImage& skin) {
    QImage picture = skin.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (picture.pixel(x, y) == qRgb(255, 0, 0)) picture.setPixel(x, y, qRgb(255, 255, 255));
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    for (const IconFile& file : kIcons) {
        if (file.button.isEmpty()) continue;
        QImage icon = skinart::DrawIcon(file.icon, kButtonIconSize);
        if (file.icon == Icon::Skin) p.setOpacity(0.35);  // the skin button is disabled
        p.drawImage(file.button.topLeft() + QPoint(1, 1), icon);
        p.setOpacity(1);
    }
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("AR PL UMing CN"),
                      QStringLiteral("WenQuanYi Micro Hei")});
    font.setPixelSize(12);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(QRect(87, 132, 90, 12), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("2026年01月01日"));
    p.drawText(QRect(47, 158, 154, 13), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("等待呼叫..."));
    return picture;
}

QImage Detail(const QImage& window, const QRect& area) {
    const QRect around = area.adjusted(-kHelpPictureMargin, -kHelpPictureMargin, kHelpPictureMargin,
                                       kHelpPictureMargin);
    return window.copy(around).scaled(around.size() * kHelpPictureScale, Qt::KeepAspectRatio,
                                      Qt::SmoothTransformation);
}

bool WriteHelpPictures(const QImage& window, const QDir& help) {
    struct Picture {
        const char* name;
        QRect area;
    } pictures[] = {
        {"close.jpg", skinart::kExitSpot}, {"fax.jpg", skinart::kReceiveFaxSpot},
        {"stop.jpg", skinart::kStopSpot},  {"faxv.jpg", kIcons[1].button},
        {"wavv.jpg", kIcons[2].button},    {"mini.jpg", kIcons[3].button},
        {"help.h2.jpg", kIcons[4].button},
    };
    bool ok = Save(window, help.filePath(QStringLiteral("help.jpg")));
    for (const Picture& picture : pictures)
        ok = Save(Detail(window, picture.area), help.filePath(QString::fromLatin1(picture.name))) &&
             ok;
    return ok;
}

// The program's icon for the desktop's icon theme: bitmaps at the usual sizes and a scalable one.
bool WriteThemeIcons(const QDir& res) {
    bool ok = true;
    for (int size : kThemeIconSizes) {
        const QString dir = QStringLiteral("icons/hicolor/%1x%1").arg(size);
        res.mkpath(dir);
        ok = Save(skinart::DrawIcon(Icon::Program, size),
                  res.filePath(dir + QStringLiteral("/vantoro.png"))) &&
             ok;
    }
    QSvgGenerator svg;
    svg.setFileName(res.filePath(QStringLiteral("icons/hicolor/vantoro.svg")));
    svg.setSize(QSize(kProgramIconSize, kProgramIconSize));
    svg.setViewBox(QRect(0, 0, kProgramIconSize, kProgramIconSize));
    svg.setTitle(QStringLiteral("Vantoro 2000"));
    QPainter p;
    if (!p.begin(&svg)) return false;
    skinart::PaintIcon(p, Icon::Program, kProgramIconSize);
    return p.end() && ok;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vantoro-resgen RESDIR\n");
        return 2;
    }
    QDir res(QString::fromLocal8Bit(argv[1]));
    for (const char* sub : {"skin", "icons", "help"}) res.mkpath(QString::fromLatin1(sub));

    const QImage skin = skinart::DrawSkin();
    bool ok = Save(skin, res.filePath(QStringLiteral("skin/skin149.bmp")));
    for (const IconFile& file : kIcons) {
        const int size = file.icon == Icon::Program ? kProgramIconSize : kButtonIconSize;
        ok = Save(skinart::DrawIcon(file.icon, size),
                  res.filePath(QStringLiteral("icons/%1.png").arg(QLatin1String(file.name)))) &&
             ok;
    }
    ok = WriteThemeIcons(res) && ok;
    ok = WriteHelpPictures(MainWindowPicture(skin), QDir(res.filePath(QStringLiteral("help")))) &&
         ok;
    return ok ? 0 : 1;
}
