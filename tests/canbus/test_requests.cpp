// The request sender over a scripted adapter: words, frames, the "SRC" relay, the gates and
// every result code.
#include "FakeAdapter.h"
#include "Support.h"

#include "can/Adapter.h"
#include "can/RequestSender.h"
#include "can/Requests.h"
#include "core/ConsoleState.h"
#include "core/EventLog.h"
#include "nodelink/Messages.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kelcon;

namespace {

class Requests : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        ASSERT_TRUE(dir.isValid());
        sender.sendToNode = [this](UzelIdent node, const QByteArray& bytes) {
            relayed.emplace_back(node, bytes);
            return relayResult;
        };
    }

    bool bringUp() { return adapter.setUp(); }
    const std::vector<TCanFrame>& sent() { return fake::script().sent; }

    QTemporaryDir dir;
    ManualClock clock;
    ConsoleState state;
    EventLog log{dir.path(), clock};
    Adapter adapter{state, log, clock, [] { return ucanxFromTable(fake::api()); }};
    RequestSender sender{state, adapter};
    std::vector<std::pair<UzelIdent, QByteArray>> relayed;
    int relayResult = 0;
};

const std::uint32_t kKel08No5 = makeDeviceKey(5, 8);

TEST_F(Requests, DeviceDataRequestOnTheOwnBus) {
    ASSERT_TRUE(bringUp());
    EXPECT_EQ(sender.SendRequest(0, DeviceDataWord(kKel08No5)), 0);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].ident, (5u << 21) + 0x80u + 0x00080000u + 0x8000E003u);
    EXPECT_EQ(sent()[0].len, 0x40);
    EXPECT_EQ(sent()[0].data, (std::array<std::uint8_t, 8>{}));
    EXPECT_TRUE(relayed.empty());

    // The driver did not report the frame as transmitted.
    fake::script().sendStatus = 1;
    EXPECT_EQ(sender.SendRequest(0, DeviceDataWord(kKel08No5)), 1);
}

TEST_F(Requests, WithoutAReadyAdapterNothingIsHandedOver) {
    state.settings.remoteControlOnly = true;
    EXPECT_FALSE(bringUp());
    EXPECT_EQ(sender.SendRequest(0, DeviceDataWord(kKel08No5)), 1);
    const std::uint8_t data[2] = {1, 2};
    EXPECT_EQ(sender.SendData(0, kKel08No5 | 0xA000u, data, 2), 1);
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(fake::script().calls.empty()) << "the library is never touched";
}

TEST_F(Requests, ControllerBehindANodeGetsTheFrameAndSrc) {
    ASSERT_TRUE(bringUp());
    const std::uint32_t w = DeviceDataWord(makeDeviceKey(9, 2));
    for (int result : {0, 1}) {
        relayResult = result;
        relayed.clear();
        fake::script().sent.clear();
        EXPECT_EQ(sender.SendRequest(4, w), result);
        ASSERT_EQ(sent().size(), 1u) << "the frame goes on the own bus as well";
        ASSERT_EQ(relayed.size(), 1u);
        EXPECT_EQ(relayed[0].first, 4);
        EXPECT_EQ(relayed[0].second, buildSrc(sent()[0]));
        EXPECT_EQ(relayed[0].second.size(), 16);
        EXPECT_TRUE(relayed[0].second.startsWith("SRC"));
    }

    // The relay's answer counts even when the own bus refused the frame.
    relayResult = 0;
    fake::script().sendStatus = 1;
    EXPECT_EQ(sender.SendRequest(4, w), 0);
}

TEST_F(Requests, SendDataFillsTheFrame) {
    ASSERT_TRUE(bringUp());
    const std::uint8_t data[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(sender.SendData(0, kKel08No5 | 0xA000u, data, 3), 0);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].ident, kKel08No5 | 0xA000u);
    EXPECT_EQ(sent()[0].len, 3);
    EXPECT_EQ(sent()[0].data, (std::array<std::uint8_t, 8>{0x11, 0x22, 0x33, 0, 0, 0, 0, 0}));
}

TEST_F(Requests, GatesForRequestsFromOtherNodes) {
    ASSERT_TRUE(bringUp());
    const std::uint32_t key = makeDeviceKey(5, 8);
    const std::uint8_t mode[5] = {1, 2, 0, 0, 0};
    struct Case {
        const char* name;
        bool data;
        std::uint32_t word;
        bool protectedWord;
    };
    const Case cases[] = {
        {"step up", false, RequestWord(key, 0, 3, RequestOp::Increase), true},
        {"step down", false, RequestWord(key, kSlotGVS, 1, RequestOp::Decrease), true},
        {"alarm reset", false, ResetAlarmsWord(key), true},
        {"device data", false, DeviceDataWord(key), false},
        {"slot data", false, SlotDataWord(key, kSlotKotly), false},
        {"mode command", true, key | kCommandDop, true},
        {"zone group command", true, key | kCommandGroup, true},
        {"time broadcast", true, kTimeBroadcastWord, false},
    };
    for (bool allowed : {false, true}) {
        state.settings.changesOverNetwork = allowed;
        for (const Case& c : cases) {
            fake::script().sent.clear();
            const int result = c.data ? sender.ExecuteRemoteData(0, c.word, mode, 5)
                                      : sender.ExecuteRemoteRequest(0, c.word);
            EXPECT_EQ(result, 0) << c.name;
            const bool goes = allowed || !c.protectedWord;
            ASSERT_EQ(sent().size(), goes ? 1u : 0u) << c.name << (allowed ? " allowed" : " refused");
            if (goes) {
                EXPECT_EQ(sent()[0].ident, c.word | kExtendedFlag) << c.name;
            }
        }
    }

    // A step change that passes the gate still reports a failed transmission.
    fake::script().sendStatus = 1;
    EXPECT_EQ(sender.ExecuteRemoteRequest(0, cases[0].word), 1);
}

TEST_F(Requests, RemoteModeHandsTheRequestToTheClient) {
    ASSERT_TRUE(bringUp());
    std::vector<std::uint32_t> requests;
    std::vector<int> counts;
    sender.sendRemoteRequest = [&](UzelIdent, std::uint32_t w) { requests.push_back(w); };
    sender.sendRemoteFrame = [&](UzelIdent, std::uint32_t, const std::uint8_t*, int n) {
        counts.push_back(n);
    };
    state.remoteMode = true;
    const std::uint8_t data[2] = {1, 2};

    state.remoteLinkUp = false;
    EXPECT_EQ(sender.SendRequest(0, DeviceDataWord(kKel08No5)), 1);
    EXPECT_EQ(sender.SendData(0, kKel08No5 | 0xA000u, data, 2), 1);
    EXPECT_TRUE(requests.empty() && counts.empty());

    state.remoteLinkUp = true;
    EXPECT_EQ(sender.SendRequest(3, DeviceDataWord(kKel08No5)), 0);
    EXPECT_EQ(sender.SendData(3, kKel08No5 | 0xA000u, data, 2), 0);
    EXPECT_EQ(requests, std::vector<std::uint32_t>{DeviceDataWord(kKel08No5)});
    EXPECT_EQ(counts, std::vector<int>{2});
    EXPECT_TRUE(sent().empty()) << "nothing goes on the own bus in remote mode";
    EXPECT_TRUE(relayed.empty());
}

} // namespace
