#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // The console's timers and the virtual bus need an application object; the adapter library is
    // found beside the test through its folder.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
