#include <QCoreApplication>

#include <gtest/gtest.h>

// The bus test needs an event loop; the plant tests run without one.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
