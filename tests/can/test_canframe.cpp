#include "can/CanFrame.h"

#include <gtest/gtest.h>

using namespace kelcon;

namespace {

struct WordCase {
    const char* name;
    std::uint32_t word;
    int number, type, kind;
    std::uint32_t key, cls;
};

const WordCase kWords[] = {
    {"presence poll of device 0 type 0", 0x80080000u, 0, 0, 0, 0x00080000u, 0x80000000u},
    {"device 1023 with type bit 4 set", (1023u << 21) | 0x00090080u, 1023, 24, 0, 0x7FE90080u, 0},
    {"parameter report of KEL-08 no 5", (5u << 21) | 0x8008F089u, 5, 8, 9, 0x00A80080u, kParameterReport},
    {"name first half of KEL-06 no 12", (12u << 21) | 0x0008DF64u, 12, 6, 4, 0x01880060u, kNameFirstHalf},
};

} // namespace

TEST(CanFrame, DerivedValues)
{
    for (const auto& c : kWords) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(deviceNumber(c.word), c.number);
        EXPECT_EQ(deviceType(c.word), c.type);
        EXPECT_EQ(messageKind(c.word), c.kind);
        EXPECT_EQ(deviceKey(c.word), c.key);
        EXPECT_EQ(reportClass(c.word), c.cls);
        EXPECT_EQ(makeDeviceKey(c.number, c.type), c.key | kExtendedFlag);
    }
}

TEST(CanFrame, IdentifierRoundTrip)
{
    // Every identifier bit survives the trip to the word and back.
    for (std::uint32_t id : {0u, 1u, 0x1FFFFFFFu, 0x12345678u & 0x1FFFFFFFu, 0x00030000u, 0x1FFC0000u}) {
        const std::uint32_t word = wordFromIdentifier(id);
        EXPECT_TRUE(word & kExtendedFlag);
        EXPECT_EQ(word & 0x00140000u, 0u) << "bits 20 and 18 carry no identifier bit";
        EXPECT_EQ(identifierFromWord(word), id);
    }
    // A device's number and type survive the bus.
    const std::uint32_t word = makeDeviceKey(777, 8) | kServiceBit | 0xF009u;
    EXPECT_EQ(wordFromIdentifier(identifierFromWord(word)), word);
}

TEST(CanFrame, LogColumnsAreSignedBigEndianPairs)
{
    TCanFrame f;
    f.len = 8;
    f.data = {0xFF, 0x38, 0x01, 0x2C, 0x80, 0x00, 0x7F, 0xFF};
    EXPECT_EQ(logColumn(f, 0), -200);
    EXPECT_EQ(logColumn(f, 1), 300);
    EXPECT_EQ(logColumn(f, 2), -32768);
    EXPECT_EQ(logColumn(f, 3), 32767);

    TCanFrame rtr;
    rtr.len = 0x40;
    EXPECT_TRUE(rtr.isRemoteRequest());
    EXPECT_EQ(rtr.dataLength(), 0);
}

TEST(CanFrame, DisplayForms)
{
    EXPECT_EQ(typeName(8), QStringLiteral("KEL-08"));
    EXPECT_EQ(addressText(5), QStringLiteral("адрес № 0005"));
    EXPECT_EQ(deviceTitle(2, 1023), QStringLiteral("KEL-02 (адрес № 1023) "));
}
