#include "ScriptedDriver.h"
#include "ucanx/ucanx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

using namespace scripted;
using namespace ucanx;

extern "C" int ucanxHeaderExportCount(void); // header_check.c: ucanx.h compiles as C

namespace {

UcanxFrame frame(std::uint32_t ident, std::uint8_t len, Bytes data = {}) {
    UcanxFrame f{};
    f.ident = ident;
    f.len = len;
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

// A record as the driver delivers it: identifier registers SIDH, SIDL, EID8, EID0 first.
Bytes driverRecord(std::uint32_t word, std::uint8_t len, Bytes data = {}) {
    Bytes r(16, 0);
    r[0] = std::uint8_t(word >> 24);
    r[1] = std::uint8_t(word >> 16);
    r[2] = std::uint8_t(word >> 8);
    r[3] = std::uint8_t(word);
    r[4] = len;
    std::copy(data.begin(), data.end(), r.begin() + 5);
    return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes deviceDescriptor(std::uint8_t serialIndex) {
    Bytes d(18, 0);
    d[16] = serialIndex;
    return d;
}

Bytes utf16(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(std::uint8_t(c));
        b.push_back(std::uint8_t(c >> 8));
    }
    return b;
}

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        script = std::make_shared<Script>();
        ucanxSetDriverFactory([s = script](int number) -> std::unique_ptr<Driver> {
            s->opened.push_back(number);
            return std::make_unique<ScriptedDriver>(s);
        });
        handle = CnOpen(7);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        CnClose(handle);
        ucanxSetDriverFactory({});
    }

    std::shared_ptr<Script> script;
    CUsbCan* handle = nullptr;
};

struct Case {
    const char* name;
    std::vector<Answer> answers;
    std::function<std::int32_t(CUsbCan*)> act;
    std::int32_t result;
    std::vector<Call> calls;
};

const UcanxFilterRecord kZeroFilters{};

const Case kCases[] = {
    {"send of 0 frames succeeds without a driver call",
     {},
     [](CUsbCan* h) {
         const UcanxFrame f = frame(1, 0);
         std::uint8_t status = 1;
         const auto r = CnSendPackets(h, &f, 0, &status);
         EXPECT_EQ(status, 1);
         return r;
     },
     -1,
     {}},
    {"receive of 3 frames into room for 100 gives little-endian words",
     {{1, concat({driverRecord(0x8028F089u, 8, {0x10, 1, 2, 3, 4, 5, 6, 7}),
                  driverRecord(0x00A80080u, 0x40), driverRecord(0x12345678u, 2, {0xA0, 0xA7})})}},
     [](CUsbCan* h) {
         UcanxFrame buf[100];
         std::uint32_t count = 100;
         const auto r = CnRecievePackets(h, buf, &count);
         EXPECT_EQ(count, 3u);
         EXPECT_EQ(buf[0].ident, 0x8028F089u);
         EXPECT_EQ(buf[1].ident, 0x00A80080u);
         EXPECT_EQ(buf[2].ident, 0x12345678u);
         EXPECT_EQ(buf[1].len, 0x40);
         EXPECT_EQ(buf[2].len, 2);
         EXPECT_EQ(buf[0].data[0], 0x10); // the rest of the record is not touched
         EXPECT_EQ(buf[2].data[1], 0xA7);
         EXPECT_EQ(buf[0].data[7], 7);
         return r;
     },
     -1,
     {{kReadFrames, {}, 1600}}},
    {"bytes beyond whole records are dropped",
     {{1, concat({driverRecord(1, 0), driverRecord(2, 0), Bytes(8, 0xEE)})}},
     [](CUsbCan* h) {
         UcanxFrame buf[4];
         std::uint32_t count = 4;
         const auto r = CnRecievePackets(h, buf, &count);
         EXPECT_EQ(count, 2u);
         EXPECT_EQ(buf[1].ident, 2u);
         return r;
     },
     -1,
     {{kReadFrames, {}, 64}}},
    {"failed receive reports no frames",
     {{0, driverRecord(1, 0)}},
     [](CUsbCan* h) {
         UcanxFrame buf[2];
         std::uint32_t count = 2;
         const auto r = CnRecievePackets(h, buf, &count);
         EXPECT_EQ(count, 0u);
         return r;
     },
     0,
     {{kReadFrames, {}, 32}}},
    {"send reverses a copy and reads the status byte",
     {{1, {}}, {1, {0}}},
     [](CUsbCan* h) {
         const UcanxFrame frames[2] = {frame(0x11223344u, 0x40), frame(0xA1B2C3D4u, 1, {0x55})};
         UcanxFrame before[2];
         std::memcpy(before, frames, sizeof frames);
         std::uint8_t status = 1;
         const auto r = CnSendPackets(h, frames, 2, &status);
         EXPECT_EQ(status, 0);
         EXPECT_EQ(std::memcmp(before, frames, sizeof frames), 0) << "the caller's frames changed";
         return r;
     },
     1,
     {{kWriteFrames, concat({driverRecord(0x11223344u, 0x40), driverRecord(0xA1B2C3D4u, 1, {0x55})}), 0},
      {kSendStatus, {}, 1}}},
    {"failed send leaves the status byte and asks nothing more",
     {{0, {}}},
     [](CUsbCan* h) {
         const UcanxFrame f = frame(0x80080000u, 0x40);
         std::uint8_t status = 1;
         const auto r = CnSendPackets(h, &f, 1, &status);
         EXPECT_EQ(status, 1);
         return r;
     },
     0,
     {{kWriteFrames, driverRecord(0x80080000u, 0x40), 0}}},
    {"send without a status pointer reports the send alone",
     {},
     [](CUsbCan* h) {
         const UcanxFrame f = frame(0x80080000u, 0x40);
         return CnSendPackets(h, &f, 1, nullptr);
     },
     -1,
     {{kWriteFrames, driverRecord(0x80080000u, 0x40), 0}}},
    {"filter record with byte 0 = 1 is refused untouched",
     {},
     [](CUsbCan* h) {
         UcanxFilterRecord r{};
         r.zero = 1;
         return CnSetMaskFilters(h, &r);
     },
     0,
     {}},
    {"zero filter record receives everything",
     {},
     [](CUsbCan* h) { return CnSetMaskFilters(h, &kZeroFilters); },
     1,
     {{kVendorRequest, request(3, 0x60, 0x60, 0), 0},
      {kVendorRequest, request(3, 0x80, 0x0F, 0), 0},
      {kVendorRequest, request(1, 0, 0x20, 4, {0, 0, 0, 0}), 0},
      {kVendorRequest, request(1, 0, 0x00, 4, {0, 0, 0, 0}), 0},
      {kVendorRequest, request(1, 0, 0x04, 4, {0, 0, 0, 0}), 0},
      {kVendorRequest, request(3, 0x00, 0x0F, 0), 0}}},
    {"filters given twice in the same record are written the same way twice",
     {},
     [](CUsbCan* h) {
         UcanxFilterRecord r{0, 0x64, {}, 0x7FE900F0u, 0x00A80080u, 0x00E80020u};
         const UcanxFilterRecord before = r;
         const auto first = CnSetMaskFilters(h, &r);
         EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0) << "the caller's record changed";
         return first && CnSetMaskFilters(h, &r) ? 1 : 0;
     },
     1,
     {{kVendorRequest, request(3, 0x04, 0x60, 0), 0},
      {kVendorRequest, request(3, 0x80, 0x0F, 0), 0},
      {kVendorRequest, request(1, 0, 0x20, 4, {0x7F, 0xE9, 0x00, 0xF0}), 0},
      {kVendorRequest, request(1, 0, 0x00, 4, {0x00, 0xA8, 0x00, 0x80}), 0},
      {kVendorRequest, request(1, 0, 0x04, 4, {0x00, 0xE8, 0x00, 0x20}), 0},
      {kVendorRequest, request(3, 0x00, 0x0F, 0), 0},
      {kVendorRequest, request(3, 0x04, 0x60, 0), 0},
      {kVendorRequest, request(3, 0x80, 0x0F, 0), 0},
      {kVendorRequest, request(1, 0, 0x20, 4, {0x7F, 0xE9, 0x00, 0xF0}), 0},
      {kVendorRequest, request(1, 0, 0x00, 4, {0x00, 0xA8, 0x00, 0x80}), 0},
      {kVendorRequest, request(1, 0, 0x04, 4, {0x00, 0xE8, 0x00, 0x20}), 0},
      {kVendorRequest, request(3, 0x00, 0x0F, 0), 0}}},
    {"filter modes 01 and 10 are kept and the last write decides",
     {{1, {}}, {1, {}}, {1, {}}, {1, {}}, {1, {}}, {0, {}}},
     [](CUsbCan* h) {
         const UcanxFilterRecord r{0, 0x20, {}, 0, 0, 0};
         return CnSetMaskFilters(h, &r);
     },
     0,
     {{kVendorRequest, request(3, 0x20, 0x60, 0), 0},
      {kVendorRequest, request(3, 0x80, 0x0F, 0), 0},
      {kVendorRequest, request(1, 0, 0x20, 4, {0, 0, 0, 0}), 0},
      {kVendorRequest, request(1, 0, 0x00, 4, {0, 0, 0, 0}), 0},
      {kVendorRequest, request(1, 0, 0x04, 4, {0, 0, 0, 0}), 0},
      {kVendorRequest, request(3, 0x00, 0x0F, 0), 0}}},
    {"serial number too long for the buffer gives an empty text",
     {{1, deviceDescriptor(3)}, {1, utf16(u"12345678")}},
     [](CUsbCan* h) {
         char text[4] = {'x', 'x', 'x', 'x'};
         const auto r = CnGetSerialNumber(h, text, sizeof text);
         EXPECT_EQ(text[0], 0);
         return r;
     },
     -1,
     {{kGetDescriptor, {4, 0}, 18}, {kGetDescriptor, {5, 3}, 256}}},
    {"serial number that fits arrives in Windows-1251",
     {{1, deviceDescriptor(9)}, {1, utf16(u"A\u0411")}},
     [](CUsbCan* h) {
         char text[4] = {'x', 'x', 'x', 'x'};
         const auto r = CnGetSerialNumber(h, text, sizeof text);
         EXPECT_STREQ(text, "A\xC1");
         return r;
     },
     -1,
     {{kGetDescriptor, {4, 0}, 18}, {kGetDescriptor, {5, 9}, 256}}},
    {"serial number of a silent adapter is empty and still a success",
     {{0, {}}},
     [](CUsbCan* h) {
         char text[8] = "xxxxxxx";
         const auto r = CnGetSerialNumber(h, text, sizeof text);
         EXPECT_EQ(text[0], 0);
         return r;
     },
     -1,
     {{kGetDescriptor, {4, 0}, 18}}},
    {"initialise sends the mode and stores the answer",
     {{1, {0x12}}},
     [](CUsbCan* h) {
         std::uint8_t answer = 0;
         const auto r = CnInit(h, &answer, 0x05);
         EXPECT_EQ(answer, 0x12);
         return r;
     },
     1,
     {{kVendorRequest, request(0x10, 0x05, 0, 1), 1}}},
    {"registers are read and written in one request each",
     {{1, {0x80, 0x11}}},
     [](CUsbCan* h) {
         std::uint8_t got[2] = {};
         const std::uint8_t timing[2] = {0x06, 0xF7};
         const auto r = CnGetRegisters(h, 0x0F, 2, got) && CnSetRegisters(h, 0x28, 2, timing);
         EXPECT_EQ(got[0], 0x80);
         EXPECT_EQ(got[1], 0x11);
         return r ? 1 : 0;
     },
     1,
     {{kVendorRequest, request(2, 0, 0x0F, 2), 2}, {kVendorRequest, request(1, 0, 0x28, 2, {0x06, 0xF7}), 0}}},
    {"parameter block length comes from its byte 0",
     {{1, {6, 9, 4, 4, 0, 0}}},
     [](CUsbCan* h) {
         std::uint8_t block[6] = {6, 0, 0, 0, 0, 0};
         const auto r = CnGetDevParameters(h, block) && CnSetDevParameters(h, block);
         EXPECT_EQ(block[1], 9);
         return r ? 1 : 0;
     },
     1,
     {{kVendorRequest, request(6, 0, 0, 6), 6}, {kVendorRequest, request(5, 0, 0, 6, {6, 9, 4, 4, 0, 0}), 0}}},
    {"bit rate and reception are header-only requests",
     {},
     [](CUsbCan* h) { return CnSetBaudRate(h, 6) && CnRecieveEnable(h) && CnRecieveDisable(h) ? 1 : 0; },
     1,
     {{kVendorRequest, request(0x15, 6, 0, 0), 0},
      {kVendorRequest, request(0x13, 0, 0, 0), 0},
      {kVendorRequest, request(0x14, 0, 0, 0), 0}}},
};

} // namespace

TEST_F(Library, DriverConversation) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        script->calls.clear();
        script->answers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(c.act(handle), c.result);
        EXPECT_EQ(script->calls, c.calls);
    }
}

TEST_F(Library, HandlesNotOnTheListAreRefused) {
    EXPECT_EQ(script->opened, std::vector<int>{7});
    CUsbCan* second = CnOpen(8);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, handle);
    EXPECT_EQ(CnClose(second), -1);
    EXPECT_EQ(CnClose(second), 0) << "double close";

    int stranger = 0;
    UcanxFrame f{};
    std::uint32_t count = 1;
    std::uint8_t byte = 1;
    char text[4] = "abc";
    const UcanxFilterRecord filters{};
    for (CUsbCan* h : {second, static_cast<CUsbCan*>(nullptr), reinterpret_cast<CUsbCan*>(&stranger)}) {
        script->calls.clear();
        EXPECT_EQ(CnInit(h, &byte, 0), 0);
        EXPECT_EQ(CnSetMaskFilters(h, &filters), 0);
        EXPECT_EQ(CnRecieveEnable(h), 0);
        EXPECT_EQ(CnRecieveDisable(h), 0);
        EXPECT_EQ(CnRecievePackets(h, &f, &count), 0);
        EXPECT_EQ(CnSendPackets(h, &f, 0, &byte), 0);
        EXPECT_EQ(CnSetBaudRate(h, 6), 0);
        EXPECT_EQ(CnGetSerialNumber(h, text, sizeof text), 0);
        EXPECT_EQ(CnGetRegisters(h, 0, 1, &byte), 0);
        EXPECT_EQ(CnSetRegisters(h, 0, 1, &byte), 0);
        EXPECT_EQ(CnGetDevParameters(h, &byte), 0);
        EXPECT_EQ(CnSetDevParameters(h, &byte), 0);
        EXPECT_EQ(CnClose(h), 0);
        EXPECT_TRUE(script->calls.empty());
        EXPECT_EQ(count, 1u);
        EXPECT_STREQ(text, "abc");
    }
    // The first adapter is unaffected by the other one's life.
    EXPECT_EQ(CnRecieveEnable(handle), 1);
}

TEST(LibraryOpen, ChannelWithoutDriverDoesNotOpen) {
    std::vector<int> asked;
    ucanxSetDriverFactory([&](int number) -> std::unique_ptr<Driver> {
        asked.push_back(number);
        return nullptr;
    });
    EXPECT_EQ(CnOpen(255), nullptr);
    EXPECT_EQ(asked, std::vector<int>{255});
    ucanxSetDriverFactory({});
    EXPECT_EQ(ucanxHeaderExportCount(), 14);
}
