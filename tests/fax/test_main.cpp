#include <gtest/gtest.h>

#include <QCoreApplication>

#include "platform/message_box.h"

// The receiver's waits run on the program's event loop, as in the program.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    platform::SetHeadless(true);
    return RUN_ALL_TESTS();
}
