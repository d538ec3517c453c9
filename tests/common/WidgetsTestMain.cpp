// The main of the test programs that open windows: Qt's offscreen platform, no display needed.
#include <gtest/gtest.h>

#include <QApplication>

#include "platform/MessageLoop.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    platform::InitMessageLoop();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
