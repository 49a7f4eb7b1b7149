#include "tools/resgen/skin_art.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>

namespace skinart {
namespace {

const QColor kKey(255, 0, 0);
const QColor kEdgeBlend(96, 104, 112);  // what half-covered edge pixels are blended towards
constexpr int kOpaqueAlpha = 128;

// A rounded square (superellipse of degree 4): rounder than a box, fuller than a circle.
QPainterPath Squircle(QPointF centre, qreal rx, qreal ry) {
    QPainterPath path;
    constexpr int kSteps = 360;
    for (int i = 0; i <= kSteps; ++i) {
        const qreal t = 2 * M_PI * i / kSteps;
        const qreal c = std::cos(t);
        const qreal s = std::sin(t);
        QPointF point(centre.x() + rx * std::copysign(std::sqrt(std::abs(c)), c),
                      centre.y() + ry * std::copysign(std::sqrt(std::abs(s)), s));
        if (i == 0)
            path.moveTo(point);
        else
            path.lineTo(point);
    }
    return path;
}

void DrawBody(QPainter& p) {
    // The handset lies across the top, its ends standing out of the body's outline.
    p.setPen(QPen(QColor(40, 48, 60), 2));
    p.setBrush(QColor(62, 72, 88));
    p.drawRoundedRect(QRectF(58, 3, 44, 30), 14, 14);
    p.drawRoundedRect(QRectF(188, 3, 44, 30), 14, 14);

    QLinearGradient shell(0, 0, 0, kSkinHeight);
    shell.setColorAt(0, QColor(236, 240, 244));
    shell.setColorAt(1, QColor(150, 160, 172));
    p.setPen(QPen(QColor(80, 90, 104), 2));
    p.setBrush(shell);
    p.drawPath(Squircle(QPointF(145, 150), 138, 138));

    QLinearGradient rim(0, 20, 0, 280);
    rim.setColorAt(0, QColor(176, 186, 198));
    rim.setColorAt(1, QColor(226, 232, 238));
    p.setPen(Qt::NoPen);
    p.setBrush(rim);
    p.drawPath(Squircle(QPointF(145, 152), 126, 124));

    p.setPen(QPen(QColor(40, 48, 60), 2));
    p.setBrush(QColor(70, 80, 98));
    p.drawRoundedRect(QRectF(84, 10, 122, 16), 8, 8);
}

void DrawPanel(QPainter& p) {
    p.setPen(QPen(QColor(96, 108, 96), 2));
    QLinearGradient lcd(0, 38, 0, 180);
    lcd.setColorAt(0, QColor(232, 240, 224));
    lcd.setColorAt(1, QColor(206, 220, 198));
    p.setBrush(lcd);
    p.drawRoundedRect(QRectF(40, 40, 172, 140), 12, 12);

    p.setPen(QColor(70, 86, 70));
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(11);
    title.setBold(true);
    p.setFont(title);
    p.drawText(QRectF(46, 50, 66, 14), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("VANTORO"));
    p.drawText(QRectF(138, 50, 66, 14), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("2000"));
    p.setPen(QPen(QColor(150, 168, 150), 1));
    p.drawLine(QPointF(50, 106.5), QPointF(202, 106.5));

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(194, 210, 186));
    p.drawRoundedRect(QRectF(80, 109, 106, 38), 6, 6);
    p.drawRoundedRect(QRectF(44, 155, 164, 19), 6, 6);
}

void DrawKeypad(QPainter& p) {
    static const char* const kLabels[] = {"1", "2", "3", "4", "5", "6",
                                          "7", "8", "9", "*", "0", "#"};
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    font.setBold(true);
    p.setFont(font);
    for (int i = 0; i < 12; ++i) {
        const QRectF key(48 + (i % 3) * 34, 188 + (i / 3) * 21, 28, 16);
        QLinearGradient blue(key.topLeft(), key.bottomLeft());
        blue.setColorAt(0, QColor(84, 140, 224));
        blue.setColorAt(1, QColor(28, 72, 160));
        p.setPen(QPen(QColor(20, 44, 100), 1));
        p.setBrush(blue);
        p.drawRoundedRect(key, 5, 5);
        p.setPen(Qt::white);
        p.drawText(key, Qt::AlignCenter, QString::fromLatin1(kLabels[i]));
    }
}

void RoundButton(QPainter& p, const QRect& spot, qreal radius, QColor light, QColor dark) {
    const QPointF centre = QRectF(spot).center();
    QRadialGradient shade(centre - QPointF(radius / 3, radius / 3), radius * 1.4);
    shade.setColorAt(0, light);
    shade.setColorAt(1, dark);
    p.setPen(QPen(dark.darker(160), 1));
    p.setBrush(shade);
    p.drawEllipse(centre, radius, radius);
}

void DrawSideButtons(QPainter& p) {
    RoundButton(p, kExitSpot, 8, QColor(255, 240, 120), QColor(214, 170, 0));
    RoundButton(p, kReceiveFaxSpot, 7, QColor(140, 230, 120), QColor(20, 140, 40));
    RoundButton(p, kStopSpot, 7, QColor(120, 124, 132), QColor(24, 26, 32));

    // A handset on the green button, a square on the dark one.
    const QPointF fax = QRectF(kReceiveFaxSpot).center();
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(fax.x() - 4, fax.y() - 2.5, 8, 8), 20 * 16, 140 * 16);
    const QPointF stop = QRectF(kStopSpot).center();
    p.fillRect(QRectF(stop.x() - 2.5, stop.y() - 2.5, 5, 5), QColor(230, 230, 230));

    // Speaker grille on the right of the display.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 80, 96));
    for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawEllipse(QPointF(228 + col * 9 + (row % 2) * 4, 66 + row * 11), 2.2, 2.2);
}

// Pixels at least half covered take their colour (blended towards the rim colour, never pure
// red); the rest become the key colour.
QImage Flatten(const QImage& canvas) {
    QImage skin(canvas.size(), QImage::Format_RGB888);
    for (int y = 0; y < canvas.height(); ++y) {
        for (int x = 0; x < canvas.width(); ++x) {
            const QColor c = canvas.pixelColor(x, y);
            if (c.alpha() < kOpaqueAlpha) {
                skin.setPixelColor(x, y, kKey);
                continue;
            }
            const qreal a = c.alphaF();
            QColor out(qRound(c.red() * a + kEdgeBlend.red() * (1 - a)),
                       qRound(c.green() * a + kEdgeBlend.green() * (1 - a)),
                       qRound(c.blue() * a + kEdgeBlend.blue() * (1 - a)));
            if (out == kKey) out.setRed(254);
            skin.setPixelColor(x, y, out);
        }
    }
    return skin;
}

void Folder(QPainter& p) {
    p.setPen(QPen(QColor(150, 110, 20), 0.8));
    p.setBrush(QColor(246, 200, 80));
    QPainterPath folder;
    folder.moveTo(1, 3.5);
    folder.lineTo(6, 3.5);
    folder.lineTo(7.5, 5);
    folder.lineTo(15, 5);
    folder.lineTo(15, 14.5);
    folder.lineTo(1, 14.5);
    folder.closeSubpath();
    p.drawPath(folder);
}

void WavFolderIcon(QPainter& p) {
    Folder(p);
    p.setPen(QPen(QColor(30, 60, 150), 1.2));
    p.setBrush(QColor(30, 60, 150));
    p.drawEllipse(QPointF(6.5, 12), 1.6, 1.3);
    p.drawLine(QPointF(8, 12), QPointF(8, 6.8));
    p.drawLine(QPointF(8, 6.8), QPointF(11.5, 8));
}

void FaxFolderIcon(QPainter& p) {
    Folder(p);
    p.setPen(QPen(QColor(90, 90, 90), 0.8));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5.5, 6.5, 7, 8));
    p.setPen(QPen(QColor(60, 60, 60), 0.8));
    for (qreal y = 8.5; y < 14; y += 2) p.drawLine(QPointF(7, y), QPointF(11, y));
}

void HelpIcon(QPainter& p) {
    p.setPen(QPen(QColor(20, 60, 140), 0.8));
    p.setBrush(QColor(50, 110, 210));
    p.drawEllipse(QPointF(8, 8), 7, 7);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
}

void SkinIcon(QPainter& p) {
    p.setPen(QPen(QColor(120, 80, 40), 0.8));
    p.setBrush(QColor(230, 190, 140));
    p.drawEllipse(QRectF(1, 2, 14, 12));
    const QColor spots[] = {QColor(220, 40, 40), QColor(40, 160, 60), QColor(40, 80, 220),
                            QColor(240, 200, 20)};
    const QPointF places[] = {QPointF(4.5, 6), QPointF(8, 4.8), QPointF(11.5, 6), QPointF(11, 10)};
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 4; ++i) {
        p.setBrush(spots[i]);
        p.drawEllipse(places[i], 1.5, 1.5);
    }
    p.setBrush(QColor(255, 255, 255, 0));
    p.setPen(QPen(QColor(120, 80, 40), 0.8));
    p.drawEllipse(QPointF(5.5, 10.5), 1.4, 1.4);
}

void MinimizeIcon(QPainter& p) {
    p.setPen(QPen(QColor(40, 60, 90), 0.8));
    p.setBrush(QColor(230, 236, 246));
    p.drawRect(QRectF(1.5, 2.5, 13, 11));
    p.fillRect(QRectF(1.5, 2.5, 13, 2.5), QColor(50, 90, 170));
    p.fillRect(QRectF(4, 10, 8, 2), QColor(20, 30, 50));
}

void ProgramIcon(QPainter& p) {
    QRadialGradient shade(QPointF(6, 5), 12);
    shade.setColorAt(0, QColor(120, 170, 240));
    shade.setColorAt(1, QColor(20, 60, 150));
    p.setPen(QPen(QColor(10, 30, 90), 0.6));
    p.setBrush(shade);
    p.drawEllipse(QPointF(8, 8), 7.4, 7.4);
    // A handset: two ear pieces joined by a curved grip.
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3.5, 4, 9, 9), 20 * 16, 140 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(4.2, 7.6), 1.7, 1.4);
    p.drawEllipse(QPointF(11.8, 7.6), 1.7, 1.4);
}

}  // namespace

QImage DrawIcon(Icon icon, int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    PaintIcon(p, icon, size);
    return image;
}

void PaintIcon(QPainter& p, Icon icon, int size) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(size / 16.0, size / 16.0);
    switch (icon) {
        case Icon::Program:
            ProgramIcon(p);
            break;
        case Icon::WavFolder:
            WavFolderIcon(p);
            break;
        case Icon::FaxFolder:
            FaxFolderIcon(p);
            break;
        case Icon::Help:
            HelpIcon(p);
            break;
        case Icon::Skin:
            SkinIcon(p);
            break;
        case Icon::Minimize:
            MinimizeIcon(p);
            break;
    }
}

QImage DrawSkin() {
    QImage canvas(kSkinWidth, kSkinHeight, QImage::Format_ARGB32);
    canvas.fill(Qt::transparent);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawBody(p);
    DrawPanel(p);
    DrawKeypad(p);
    DrawSideButtons(p);
    p.end();
    return Flatten(canvas);
}

}  // namespace skinart
