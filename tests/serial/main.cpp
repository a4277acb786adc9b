#include <QCoreApplication>

#include <gtest/gtest.h>

// Sockets and serial ports deliver their events through a running event loop.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
