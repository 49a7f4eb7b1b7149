// The shipped resources: every id the program asks for is there in the form it expects.

#include "platform/resources.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QRegularExpression>

namespace {

TEST(Resources, EveryIdLoadsInItsShippedForm) {
    using platform::ResourceType;
    QImage skin(platform::ResourcePath(ResourceType::Bitmap, platform::kBitmapSkin));
    EXPECT_EQ(skin.size(), QSize(290, 292));
    EXPECT_FALSE(skin.hasAlphaChannel());
    EXPECT_EQ(skin.pixel(0, 0), qRgb(255, 0, 0)) << "the corners are cut away";

    EXPECT_GE(QImage(platform::ResourcePath(ResourceType::Icon, platform::kIconProgram)).width(),
              48);
    for (int id : {platform::kIconWavFolder, platform::kIconFaxFolder, platform::kIconHelp,
                   platform::kIconSkin, platform::kIconMinimize}) {
        EXPECT_EQ(QImage(platform::ResourcePath(ResourceType::Icon, id)).size(), QSize(16, 16))
            << id;
    }
    EXPECT_TRUE(platform::ResourcePath(ResourceType::Icon, platform::kBitmapSkin).isEmpty());
}

}  // namespace
