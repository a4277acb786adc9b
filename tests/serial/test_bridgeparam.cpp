#include "TestSupport.h"
#include "serial/BridgeParam.h"

#include <gtest/gtest.h>

using namespace kelcon;

namespace {

struct GoodCase {
    const char* name;
    const char* value;
    BridgeParam param;
    qint32 baud;
};

const GoodCase kGood[] = {
    {"default of COM1", "073005000", {false, 7, 3, 0, 0, 5000}, 9600},
    {"default of COM2", "073005001", {false, 7, 3, 0, 0, 5001}, 9600},
    {"enabled 110 baud 5 bits 2 stop even", "1102222", {true, 1, 0, 2, 2, 22}, 110},
    {"index 9 is the last decimal digit", "1931165535", {true, 9, 3, 1, 1, 65535}, 19200},
    {"index 10 is A", "1A3005000", {true, 10, 3, 0, 0, 5000}, 38400},
    {"index 13 is D", "1D3004001", {true, 13, 3, 0, 0, 4001}, 115200},
    {"index 15 is F", "0F3005000", {false, 15, 3, 0, 0, 5000}, 256000},
    {"anything but 1 is disabled", "X73005000", {false, 7, 3, 0, 0, 5000}, 9600},
};

const char* const kBad[] = {
    "",           // never stored
    "          ", // a blank-padded empty row
    "17300",      // no port
    "103005000",  // baud index 0 is in no list
    "1G3005000",  // past F
    "1a3005000",  // never written in lower case
    "174005000",  // data-bits index 4
    "173305000",  // stop-bits index 3
    "173035000",  // parity code 3
    "17300 5000", // blank inside the port
    "1730050x0",  // letter inside the port
    "1730065536", // port out of range
    "173000",     // port 0
    "17300-5000", // sign
};

} // namespace

TEST(BridgeParam, ParsesAndFormatsBack)
{
    for (const auto& c : kGood) {
        SCOPED_TRACE(c.name);
        const auto p = parseBridgeParam(QString::fromLatin1(c.value));
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(*p, c.param);
        EXPECT_EQ(baudRateOfIndex(p->baudIndex), c.baud);
        // The enabled flag is written back as "0" or "1" whatever character it was read from.
        QString expected = QString::fromLatin1(c.value);
        expected[0] = c.param.enabled ? u'1' : u'0';
        EXPECT_EQ(formatBridgeParam(*p), expected);
    }
}

TEST(BridgeParam, StoredBlankPaddingIsIgnored)
{
    const auto p = parseBridgeParam(QStringLiteral("1A3005002    "));
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->tcpPort, 5002);
}

TEST(BridgeParam, MalformedValuesHaveNoReading)
{
    for (const char* v : kBad) {
        SCOPED_TRACE(v);
        EXPECT_FALSE(parseBridgeParam(QString::fromLatin1(v)).has_value());
    }
}

TEST(BridgeParam, NothingUnreadableIsFormatted)
{
    BridgeParam p = defaultBridgeParam(1);
    EXPECT_EQ(formatBridgeParam(p), QStringLiteral("073005000"));
    EXPECT_EQ(formatBridgeParam(defaultBridgeParam(2)), QStringLiteral("073005001"));
    for (auto broken : {BridgeParam{false, 0, 3, 0, 0, 5000}, BridgeParam{false, 16, 3, 0, 0, 5000},
                        BridgeParam{false, 7, 4, 0, 0, 5000}, BridgeParam{false, 7, 3, 3, 0, 5000},
                        BridgeParam{false, 7, 3, 0, 3, 5000}, BridgeParam{false, 7, 3, 0, 0, 0}})
        EXPECT_TRUE(formatBridgeParam(broken).isEmpty());
}

TEST(BridgeParam, SerialSettingsOfTheLists)
{
    EXPECT_EQ(dataBitsOfIndex(0), QSerialPort::Data5);
    EXPECT_EQ(dataBitsOfIndex(3), QSerialPort::Data8);
    EXPECT_EQ(stopBitsOfIndex(1), QSerialPort::OneAndHalfStop);
    EXPECT_EQ(stopBitsOfIndex(2), QSerialPort::TwoStop);
    EXPECT_EQ(parityOfCode(1), QSerialPort::OddParity);
    EXPECT_EQ(parityOfCode(2), QSerialPort::EvenParity);
    EXPECT_EQ(baudRateOfIndex(0), 0);
    EXPECT_EQ(baudRateOfIndex(16), 0);
}
