#include "can/Requests.h"

#include <gtest/gtest.h>

using namespace kelcon;

namespace {

const std::uint32_t kKel08No5 = makeDeviceKey(5, 8);
const std::uint32_t kKel04No7 = makeDeviceKey(7, 4);

struct WordCase {
    const char* name;
    std::uint32_t word;
    std::uint32_t expected;
    bool stepChange;
};

const WordCase kWords[] = {
    {"device data of KEL-08 no 5", DeviceDataWord(kKel08No5), (5u << 21) + 0x80 + 0x00080000 + 0x8000E003, false},
    {"presence poll of KEL-02 no 1023", PresencePollWord(1023, 2), (1023u << 21) + 0x20 + 0x80080000, false},
    {"increase parameter 14 of circuit 2", RequestWord(kKel04No7, 1, 14, RequestOp::Increase),
     kKel04No7 + 0x80000000 + 0x2000 + 0x0E00 + 1, true},
    {"decrease hot-water set-point", RequestWord(kKel04No7, kSlotGVS, 1, RequestOp::Decrease),
     kKel04No7 + 0x80008102, true},
    {"hot-water data", SlotDataWord(kKel08No5, kSlotGVS), kKel08No5 + 0x80008004, false},
    {"boiler data", SlotDataWord(kKel08No5, kSlotKotly), kKel08No5 + 0x8000A004, false},
    {"reset alarms", ResetAlarmsWord(kKel08No5), kKel08No5 + 0x8000E006, true},
    {"weekend on for zone circuit 6 of a KEL-06", RequestWord(makeDeviceKey(9, 6), 5, 30, RequestOp::Increase),
     makeDeviceKey(9, 6) + 0x80000000 + 0xA000 + 0x1E00 + 1, true},
    {"bits outside the key, and out-of-range slot, parameter and operation, stay out of the key",
     RequestWord(kKel08No5 | 0x8016FF0F, 9, 40, RequestOp(0x13)), kKel08No5 + 0x80000000 + 0x2000 + 0x0800 + 3, false},
};

} // namespace

TEST(Requests, WordsOfEveryOperation)
{
    for (const auto& c : kWords) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.word, c.expected);
        EXPECT_EQ(IsStepChange(c.word), c.stepChange);
        EXPECT_FALSE(IsSettingsWrite(c.word));
    }
}

TEST(Requests, RequestFrameIsARemoteRequestWithTheExtendedFlag)
{
    const TCanFrame f = MakeRequestFrame(kKel08No5, kSlotDevice, 0, RequestOp::DeviceData);
    EXPECT_EQ(f.ident, DeviceDataWord(kKel08No5));
    EXPECT_EQ(f.len, 0x40);
    EXPECT_TRUE(f.isRemoteRequest());
    EXPECT_EQ(f.data, (std::array<std::uint8_t, 8>{}));
    EXPECT_EQ(f.reserved, (std::array<std::uint8_t, 3>{}));

    // A word built without the flag (the list windows' own keys) gets it on the way out.
    EXPECT_EQ(MakeRequestFrame((5u << 21) | 0x80u | 0x8000E003u).ident, DeviceDataWord(kKel08No5));
}

TEST(Requests, DataFramesCarryAtMostEightBytes)
{
    const std::uint8_t bytes[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const TCanFrame three = MakeDataFrame(kTimeBroadcastWord, bytes, 3);
    EXPECT_EQ(three.ident, 0x0008FF04u);
    EXPECT_EQ(three.len, 3);
    EXPECT_EQ(three.data, (std::array<std::uint8_t, 8>{1, 2, 3, 0, 0, 0, 0, 0}));
    EXPECT_EQ(MakeDataFrame(0, bytes, 12).len, 8);
    EXPECT_EQ(MakeDataFrame(0, bytes, -1).len, 0);
    EXPECT_EQ(MakeDataFrame(0, nullptr, 5).len, 0);
}

TEST(Requests, CommandFrames)
{
    // Weekend for all buildings from the group window: a KEL-06 key of device 0.
    const TCanFrame all = MakeCommandFrame(makeDeviceKey(0, 6), kCommandGroup, 30, 1, 0, 0, 0);
    EXPECT_EQ(all.ident, 0x80060u + 0xA600u);
    EXPECT_EQ(all.len, 5);
    EXPECT_EQ(all.data, (std::array<std::uint8_t, 8>{30, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(IsSettingsWrite(all.ident));
    EXPECT_FALSE(IsStepChange(all.ident));

    const TCanFrame stop = MakeCommandFrame(kKel08No5, kCommandDop, 30, 2 + 256, 17, 0, 0);
    EXPECT_EQ(stop.ident, kKel08No5 + 0xA000u);
    EXPECT_EQ(stop.data, (std::array<std::uint8_t, 8>{30, 2, 17, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(IsSettingsWrite(stop.ident));
}

TEST(Requests, TimeBroadcast)
{
    struct Case {
        const char* name;
        QDateTime time;
        std::array<std::uint8_t, 6> data;
    };
    const Case cases[] = {
        {"Friday 11 December 2026, seconds dropped", QDateTime(QDate(2026, 12, 11), QTime(3, 0, 5)),
         {0x00, 0x03, 4, 11, 12, 26}},
        {"Sunday is 6, year 2000 is 0", QDateTime(QDate(2000, 1, 2), QTime(23, 59)), {0x59, 0x23, 6, 2, 1, 0}},
        {"Tuesday 9 March 2021", QDateTime(QDate(2021, 3, 9), QTime(14, 5, 7)), {0x05, 0x14, 1, 9, 3, 21}},
        {"a one-digit hour keeps its leading BCD zero", QDateTime(QDate(2000, 1, 2), QTime(3, 59)),
         {0x59, 0x03, 6, 2, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TimeBroadcastData(c.time), c.data);
    }
}

TEST(Requests, ProtectedClasses)
{
    struct Case {
        const char* name;
        std::uint32_t word;
        bool settingsWrite;
        bool stepChange;
    };
    const Case cases[] = {
        {"mode command", 0x0000A000u, true, false},
        {"group command, every key bit set", 0x7FFFBFF0u, true, false},
        {"command with the service bit set", 0x8000A000u, false, false},
        {"command subject with operation 1", 0x0000A001u, false, false},
        {"subject 6", 0x0000C000u, false, false},
        {"step up", 0x80000001u, false, true},
        {"step down", 0x80A8FF02u, false, true},
        {"alarm reset", 0x8000E006u, false, true},
        {"parameter bits of the reset must be clear", 0x8000E106u, false, false},
        {"step with the service bit clear", 0x00000001u, false, false},
        {"device data", 0x80000003u, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsSettingsWrite(c.word), c.settingsWrite);
        EXPECT_EQ(IsStepChange(c.word), c.stepChange);
    }
}
