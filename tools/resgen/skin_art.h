#pragma once
#include <QImage>
#include <QRect>

class QPainter;

// The window's look, drawn by program: a round telephone-like device on pure red, the colour the
// window cuts away. Rectangles are the window's hot spots in pixels (dialog units x 1.5).
namespace skinart {

constexpr int kSkinWidth = 290;
constexpr int kSkinHeight = 292;
const QRect kExitSpot(162, 194, 18, 18);
const QRect kReceiveFaxSpot(203, 194, 15, 15);
const QRect kStopSpot(221, 176, 15, 15);

enum class Icon { Program, WavFolder, FaxFolder, Help, Skin, Minimize };

// 24-bit, pure red outside the device and nowhere inside it.
QImage DrawSkin();
// A square icon with an alpha channel.
QImage DrawIcon(Icon icon, int size);
// Paints the icon onto any device (a bitmap, a scalable picture) in a `size` square.
void PaintIcon(QPainter& p, Icon icon, int size);

}  // namespace skinart
