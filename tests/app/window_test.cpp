// The skinned window offscreen: the shape made from a bitmap at each screen depth, the shipped
// skin with its controls over the right parts of the picture, and dragging.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>

#include "app/answering_dlg.h"
#include "platform/clock.h"
#include "platform/resources.h"

namespace {

constexpr QRgb kRed = 0xFFFF0000;

// One character per pixel: R the key, o opaque grey, n near-red (250,2,3), a red half transparent.
QImage Bitmap(const std::vector<std::string>& rows) {
    QImage image(static_cast<int>(rows[0].size()), static_cast<int>(rows.size()),
                 QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const char c = rows[y][x];
            image.setPixel(x, y,
                           c == 'R'   ? kRed
                           : c == 'n' ? qRgb(250, 2, 3)
                           : c == 'a' ? qRgba(255, 0, 0, 128)
                                      : qRgb(128, 128, 128));
        }
    }
    return image;
}

// The pixels marked in `opaque` (one character per pixel, '#' in the shape), as a region.
QRegion Pixels(const std::vector<std::string>& opaque) {
    QRegion region;
    for (int y = 0; y < static_cast<int>(opaque.size()); ++y)
        for (int x = 0; x < static_cast<int>(opaque[y].size()); ++x)
            if (opaque[y][x] == '#') region += QRect(x, y, 1, 1);
    return region;
}

TEST(WindowRegion, KeepsEveryRunOfPixelsThatDifferFromTheKey) {
    struct Row {
        const char* name;
        std::vector<std::string> bitmap;
        std::vector<int> depths;
        std::vector<std::string> shape;
    } rows[] = {
        {"last column opaque", {"RRo", "oRo"}, {8, 16, 24, 32}, {"..#", "#.#"}},
        {"empty and full rows",
         {"RRRR", "oooo", "RoRo"},
         {8, 16, 24, 32},
         {"....", "####", ".#.#"}},
        {"all red", {"RRR", "RRR"}, {8, 16, 24, 32}, {"...", "..."}},
        {"near red kept", {"nRo"}, {24, 32}, {"#.#"}},
        {"near red is red in 5-6-5", {"nRo"}, {16}, {"..#"}},
        {"alpha counts only at 32", {"aRo"}, {32}, {"#.#"}},
        {"alpha dropped below 32", {"aRo"}, {8, 16, 24}, {"..#"}},
    };
    for (const Row& row : rows) {
        for (int depth : row.depths) {
            SCOPED_TRACE(std::string(row.name) + " at " + std::to_string(depth));
            QRegion region = CAnsweringDlg::RegionFromBitmap(Bitmap(row.bitmap), kRed, depth);
            EXPECT_TRUE(region.xored(Pixels(row.shape)).isEmpty()) << region.boundingRect().width();
        }
    }

    // Far more runs than rows: every one of them stays in the shape.
    std::string comb;
    for (int i = 0; i < 300; ++i) comb += i % 2 ? "R" : "o";
    std::string shape = comb;
    for (char& c : shape) c = c == 'o' ? '#' : '.';
    QRegion region = CAnsweringDlg::RegionFromBitmap(Bitmap({comb, comb}), kRed, 24);
    EXPECT_TRUE(region.xored(Pixels({shape, shape})).isEmpty());
    EXPECT_EQ(region.rectCount(), 300);
}

enum class Part { Yellow, Green, Dark, Panel };

bool Looks(QRgb pixel, Part part) {
    const int r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
    switch (part) {
        case Part::Yellow:
            return r > 180 && g > 140 && b < 110;
        case Part::Green:
            return g > r + 40 && g > b + 40;
        case Part::Dark:
            return r < 100 && g < 100 && b < 110;
        case Part::Panel:
            return qGray(pixel) > 150 && g >= r && g >= b;
    }
    return false;
}

// Share of the control's pixels in the skin picture that look like the given part of it.
double Share(const QImage& skin, const QRect& area, Part part) {
    int hits = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) hits += Looks(skin.pixel(x, y), part);
    return double(hits) / (area.width() * area.height());
}

TEST(MainWindow, TakesTheShippedSkinWithItsControlsOverThePicture) {
    CAnsweringDlg dialog;
    ASSERT_TRUE(dialog.ApplySkin(1));
    EXPECT_EQ(dialog.SkinSize(), QSize(290, 292));
    EXPECT_EQ(dialog.size(), QSize(290, 292));

    const QImage skin =
        QImage(platform::ResourcePath(platform::ResourceType::Bitmap, platform::kBitmapSkin))
            .convertToFormat(QImage::Format_RGB32);
    const QImage shown = dialog.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRegion mask = dialog.mask();
    int redShown = 0, redInSkin = 0;
    for (int y = 0; y < skin.height(); ++y) {
        for (int x = 0; x < skin.width(); ++x) {
            const bool red = skin.pixel(x, y) == kRed;
            redInSkin += red;
            EXPECT_NE(red, mask.contains(QPoint(x, y)));
            if (mask.contains(QPoint(x, y))) redShown += shown.pixel(x, y) == kRed;
        }
    }
    EXPECT_EQ(redShown, 0);
    EXPECT_GT(redInSkin, 290 * 4) << "the corners are cut away";

    using D = CAnsweringDlg;
    const struct {
        int id;
        Part part;
        double share;
    } controls[] = {
        {D::IDC_EXIT, Part::Yellow, 0.5},    {D::IDC_RECEIVE_FAX, Part::Green, 0.4},
        {D::IDC_STOP, Part::Dark, 0.4},      {D::IDC_FAX_FOLDER, Part::Panel, 1},
        {D::IDC_WAV_FOLDER, Part::Panel, 1}, {D::IDC_MINIMIZE, Part::Panel, 1},
        {D::IDC_HELP, Part::Panel, 1},       {D::IDC_SKIN, Part::Panel, 1},
        {D::IDC_STATUS, Part::Panel, 1},     {D::IDC_SPARE_LABEL, Part::Panel, 1},
        {D::IDC_DATE, Part::Panel, 1},
    };
    for (const auto& control : controls) {
        const QRect area = dialog.Control(control.id)->geometry();
        EXPECT_GE(Share(skin, area, control.part), control.share) << control.id;
    }
    EXPECT_EQ(dialog.Control(D::IDC_EXIT)->geometry(), QRect(162, 194, 18, 18));
    EXPECT_EQ(dialog.Control(D::IDC_RECEIVE_FAX)->size(), QSize(15, 15));
    EXPECT_FALSE(dialog.Control(D::IDC_SKIN)->isEnabled());

    const platform::LocalTime now = platform::GetLocalTime();
    char date[64];
    std::snprintf(date, sizeof date, "%04d年%02d月%02d日", now.year, now.month, now.day);
    auto* dateLabel = static_cast<CSkinLabel*>(dialog.Control(D::IDC_DATE));
    EXPECT_EQ(dateLabel->Text().toStdString(), date);
    EXPECT_EQ(static_cast<CSkinLabel*>(dialog.Control(D::IDC_STATUS))->Text(), "等待呼叫...");
}

TEST(MainWindow, DragsByExactlyTheMouseMovement) {
    CAnsweringDlg dialog;
    ASSERT_TRUE(dialog.ApplySkin(1));
    dialog.move(100, 80);
    dialog.show();
    const QPoint start = dialog.pos();
    auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, dialog.mapToGlobal(at), Qt::LeftButton, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(&dialog, &event);
    };
    send(QEvent::MouseButtonPress, QPoint(140, 250), Qt::LeftButton);
    send(QEvent::MouseMove, QPoint(170, 270), Qt::LeftButton);
    EXPECT_EQ(dialog.pos(), start + QPoint(30, 20));
    send(QEvent::MouseButtonRelease, QPoint(170, 270), Qt::NoButton);
    send(QEvent::MouseMove, QPoint(10, 10), Qt::NoButton);
    EXPECT_EQ(dialog.pos(), start + QPoint(30, 20)) << "released: no more dragging";
}

}  // namespace
