#include "TestSupport.h"
#include "serial/PortSettings.h"

#include <gtest/gtest.h>

#include <utility>

using namespace kelcon;

TEST(PortSettings, BaudRatesOfTheList) {
    const std::pair<int, qint32> cases[] = {
        {1, 110}, {7, 9600}, {9, 19200}, {10, 38400}, {13, 115200}, {15, 256000}, {0, 0}, {16, 0},
    };
    for (const auto& [index, baud] : cases) {
        SCOPED_TRACE(index);
        EXPECT_EQ(baudRateOfIndex(index), baud);
    }
}

TEST(PortSettings, SerialSettingsOfTheLists) {
    EXPECT_EQ(dataBitsOfIndex(0), QSerialPort::Data5);
    EXPECT_EQ(dataBitsOfIndex(3), QSerialPort::Data8);
    EXPECT_EQ(stopBitsOfIndex(1), QSerialPort::OneAndHalfStop);
    EXPECT_EQ(stopBitsOfIndex(2), QSerialPort::TwoStop);
    EXPECT_EQ(parityOfCode(1), QSerialPort::OddParity);
    EXPECT_EQ(parityOfCode(2), QSerialPort::EvenParity);
}
