// The main of test programs whose code runs on the program's event loop: waits dispatch Qt
// events and line callbacks arrive through them, as in the program. No display, no blocking boxes.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "platform/message_box.h"
#include "tests/support/child_process.h"

int main(int argc, char** argv) {
    TempFolder runtime;  // Qt's runtime folder, which it would otherwise leave in /tmp
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    platform::SetHeadless(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
