#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Sockets, the console's timer and the plant's GSM node need an event loop.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
