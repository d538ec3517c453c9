#include <gtest/gtest.h>

#include <QCoreApplication>

#include "platform/MessageLoop.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
