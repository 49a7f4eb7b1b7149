// The skinned window offscreen: the shape made from a bitmap at each screen depth, the shipped
// skin with its controls over the right parts of the picture, the date at midnight.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include "app/answering_dlg.h"
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

// The pixels of the bitmap's text whose characters are in `kept`, as a region.
QRegion Pixels(const std::vector<std::string>& rows, const std::string& kept) {
    QRegion region;
    for (int y = 0; y < static_cast<int>(rows.size()); ++y)
        for (int x = 0; x < static_cast<int>(rows[y].size()); ++x)
            if (kept.find(rows[y][x]) != std::string::npos) region += QRect(x, y, 1, 1);
    return region;
}

TEST(WindowRegion, KeepsEveryRunOfPixelsThatDifferFromTheKey) {
    const std::vector<int> all = {8, 16, 24, 32};
    const struct {
        const char* name;
        std::vector<std::string> bitmap;
        std::vector<int> depths;
        std::string kept;
    } rows[] = {
        {"last column opaque", {"RRo", "oRo"}, all, "o"},
        {"near red kept", {"nRo"}, {24, 32}, "on"},
        {"near red is red in 5-6-5", {"nRo"}, {16}, "o"},
        {"alpha counts only at 32", {"aRo"}, {32}, "oa"},
        {"alpha dropped below 32", {"aRo"}, {8, 16, 24}, "o"},
    };
    for (const auto& row : rows) {
        for (int depth : row.depths) {
            SCOPED_TRACE(std::string(row.name) + " at " + std::to_string(depth));
            QRegion region = CAnsweringDlg::RegionFromBitmap(Bitmap(row.bitmap), kRed, depth);
            EXPECT_TRUE(region.xored(Pixels(row.bitmap, row.kept)).isEmpty());
        }
    }
}

TEST(MainWindow, TakesTheShippedSkinWithItsControlsOverThePicture) {
    CAnsweringDlg dialog;
    ASSERT_TRUE(dialog.ApplySkin(1));
    EXPECT_EQ(dialog.size(), QSize(290, 292));

    using platform::ResourcePath, platform::ResourceType;
    const QImage skin = QImage(ResourcePath(ResourceType::Bitmap, platform::kBitmapSkin))
                            .convertToFormat(QImage::Format_RGB32);

    // The hot spots lie over the yellow, green and dark buttons of the picture, the rest wholly on
    // the light display panel: the share of each control's pixels that look so.
    using D = CAnsweringDlg;
    auto share = [&](int id, bool (*looks)(QColor)) {
        const QRect area = dialog.Control(id)->geometry();
        int hits = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x) hits += looks(skin.pixelColor(x, y));
        return double(hits) / (area.width() * area.height());
    };
    auto yellow = [](QColor c) { return c.red() > 180 && c.green() > 140 && c.blue() < 110; };
    auto green = [](QColor c) { return c.green() > c.red() + 40 && c.green() > c.blue() + 40; };
    auto dark = [](QColor c) { return c.value() < 110; };
    auto panel = [](QColor c) {
        return c.lightness() > 150 && c.green() >= c.red() && c.green() >= c.blue();
    };
    EXPECT_GE(share(D::IDC_EXIT, yellow), 0.5);
    EXPECT_GE(share(D::IDC_RECEIVE_FAX, green), 0.4);
    EXPECT_GE(share(D::IDC_STOP, dark), 0.4);
    for (int id : {D::IDC_FAX_FOLDER, D::IDC_WAV_FOLDER, D::IDC_MINIMIZE, D::IDC_HELP, D::IDC_SKIN,
                   D::IDC_STATUS, D::IDC_SPARE_LABEL, D::IDC_DATE})
        EXPECT_EQ(share(id, panel), 1) << id;
}

// Run under libfaketime one second before midnight (see CMakeLists.txt): the date label turns.
TEST(MidnightTest, DateLabelFollowsTheCalendar) {
    CAnsweringDlg dialog;
    ASSERT_TRUE(dialog.ApplySkin(1));
    auto* date = static_cast<CSkinLabel*>(dialog.Control(CAnsweringDlg::IDC_DATE));
    EXPECT_EQ(date->Text(), "2026年12月07日");
    QEventLoop loop;
    QTimer::singleShot(2500, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(date->Text(), "2026年12月08日");
}

}  // namespace
