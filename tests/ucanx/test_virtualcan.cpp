// The library over Qt's virtual CAN bus, the way the console drives it, with a second device on the
// same bus playing the controllers. Like a console without Qt of its own, the test creates no
// application object: the library has to make do by itself.
#include "can/CanFrame.h"
#include "ucanx/ucanx.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

using namespace kelcon;

namespace {

// The virtual bus is a TCP server that the first device of a process starts. A port of our own
// keeps this test off the buses of anything else running on the machine.
int busPort() {
    static const int port = [] {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
        ::close(s);
        return int(ntohs(a.sin_port));
    }();
    return port;
}

QString busInterface() {
    return QStringLiteral("tcp://127.0.0.1:%1/can0").arg(busPort());
}

void processEvents() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

UcanxFrame record(std::uint32_t word, std::vector<std::uint8_t> data, bool remote = false) {
    UcanxFrame f{};
    f.ident = word;
    f.len = std::uint8_t(data.size() | (remote ? 0x40 : 0));
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

QCanBusFrame busFrame(std::uint32_t word, QByteArray payload) {
    QCanBusFrame f(identifierFromWord(word), payload);
    f.setExtendedFrameFormat(true);
    return f;
}

class VirtualBus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QFile conf(QStringLiteral("ucanx.conf"));
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        conf.write(QStringLiteral("# test bench\n"
                                  "  1 = virtualcan:%1\n"
                                  "3 = nosuchplugin:can0\n"
                                  "4 = virtualcan\n"
                                  "1 = virtualcan:can1\n")
                       .arg(busInterface())
                       .toUtf8());
        conf.close();

        adapter = CnOpen(1);
        ASSERT_NE(adapter, nullptr);
        setUpLikeTheConsole();

        controller.reset(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), busInterface()));
        ASSERT_TRUE(controller && controller->connectDevice());
        waitFor([&] { return controller->state() == QCanBusDevice::ConnectedState; });
        ASSERT_EQ(controller->state(), QCanBusDevice::ConnectedState);

        // Both ends are registered with the bus once a frame has gone from the adapter to the
        // controller: until then frames may be dropped by the bus.
        const UcanxFrame probe = record(makeDeviceKey(1, 2) | kServiceBit, {});
        bool through = false;
        for (int i = 0; i < 50 && !through; ++i) {
            CnSendPackets(adapter, &probe, 1, nullptr);
            waitFor([&] { return controller->framesAvailable() > 0; }, 100);
            through = controller->framesAvailable() > 0;
        }
        ASSERT_TRUE(through) << "the virtual bus does not carry frames";
        controller->readAllFrames();
    }

    void TearDown() override {
        if (controller)
            controller->disconnectDevice();
        controller.reset();
        EXPECT_EQ(CnClose(adapter), adapter ? -1 : 0);
        QDir::setCurrent(previous);
    }

    // The console's set-up sequence, checking the answers it relies on.
    void setUpLikeTheConsole() {
        std::uint8_t block[16] = {16};
        ASSERT_NE(CnGetDevParameters(adapter, block), 0);
        EXPECT_EQ(block[0], 16);
        block[2] = block[3] = 4;
        ASSERT_NE(CnSetDevParameters(adapter, block), 0);
        std::uint8_t again[16] = {16};
        ASSERT_NE(CnGetDevParameters(adapter, again), 0);
        EXPECT_EQ(again[2], 4);
        EXPECT_EQ(again[3], 4);

        std::uint8_t answer = 0;
        ASSERT_NE(CnInit(adapter, &answer, 0), 0);
        EXPECT_EQ(answer & 0xF0, 0x10);

        std::uint8_t value = 0x80;
        ASSERT_NE(CnSetRegisters(adapter, 0x0F, 1, &value), 0);
        ASSERT_NE(CnGetRegisters(adapter, 0x0F, 1, &value), 0);
        EXPECT_EQ(value & 0xE0, 0x80);
        const std::uint8_t timing[2] = {0x06, 0xF7};
        ASSERT_NE(CnSetRegisters(adapter, 0x28, 2, timing), 0);
        value = 0;
        ASSERT_NE(CnSetRegisters(adapter, 0x0F, 1, &value), 0);
        ASSERT_NE(CnGetRegisters(adapter, 0x0F, 1, &value), 0);
        EXPECT_EQ(value & 0x1F, 0);
        std::uint8_t kept[2] = {};
        ASSERT_NE(CnGetRegisters(adapter, 0x28, 2, kept), 0);
        EXPECT_EQ(kept[0], 0x06);
        EXPECT_EQ(kept[1], 0xF7);

        ASSERT_NE(CnSetBaudRate(adapter, 6), 0);
        const UcanxFilterRecord everything{};
        ASSERT_NE(CnSetMaskFilters(adapter, &everything), 0);
        ASSERT_NE(CnRecieveEnable(adapter), 0);
    }

    template <typename Done> static void waitFor(Done done, int ms = 5000) {
        QDeadlineTimer deadline(ms);
        while (!done() && !deadline.hasExpired())
            processEvents();
    }

    // Polls as the console's tick does, with room for `room` frames, until `want` frames came.
    std::vector<UcanxFrame> receive(std::size_t want, std::uint32_t room = 100) {
        std::vector<UcanxFrame> got;
        QDeadlineTimer deadline(5000);
        while (got.size() < want && !deadline.hasExpired()) {
            std::vector<UcanxFrame> buf(room);
            std::uint32_t count = room;
            EXPECT_EQ(CnRecievePackets(adapter, buf.data(), &count), -1);
            EXPECT_LE(count, room);
            got.insert(got.end(), buf.begin(), buf.begin() + std::min(count, room));
        }
        return got;
    }

    QTemporaryDir dir;
    QString previous;
    CUsbCan* adapter = nullptr;
    std::unique_ptr<QCanBusDevice> controller;
};

} // namespace

TEST_F(VirtualBus, FramesCrossBothWaysWithIdentifierWordsIntact) {
    const std::uint32_t state = makeDeviceKey(777, 8) | kServiceBit | 0xF008u;
    const std::uint32_t name = makeDeviceKey(12, 6) | 0xDF64u;
    const std::uint32_t alarm = makeDeviceKey(1023, 24) | 0x00020000u; // identifier bit 17 too
    ASSERT_TRUE(controller->writeFrame(busFrame(state, QByteArray::fromHex("0102030405060708"))));
    ASSERT_TRUE(controller->writeFrame(busFrame(name, QByteArray::fromHex("ff38"))));
    QCanBusFrame poll = busFrame(alarm, {});
    poll.setFrameType(QCanBusFrame::RemoteRequestFrame);
    ASSERT_TRUE(controller->writeFrame(poll));

    const auto got = receive(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].ident, state);
    EXPECT_EQ(got[0].len, 8);
    EXPECT_EQ(got[0].data[7], 0x08);
    EXPECT_EQ(got[1].ident, name);
    EXPECT_EQ(got[1].len, 2);
    EXPECT_EQ(logColumn(reinterpret_cast<const TCanFrame&>(got[1]), 0), -200);
    EXPECT_EQ(got[2].ident, alarm);
    EXPECT_EQ(got[2].len, 0x40);

    const std::uint32_t request = makeDeviceKey(5, 8) | kServiceBit | (7u << 13) | 3u;
    const std::uint32_t setting = makeDeviceKey(6, 6) | kServiceBit | 0xA000u;
    const UcanxFrame out[2] = {record(request, {}, true), record(setting, {0x11, 0x22, 0x33})};
    std::uint8_t status = 1;
    EXPECT_NE(CnSendPackets(adapter, out, 2, &status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out[0].ident, request) << "the caller's frames stay as they were";

    std::vector<QCanBusFrame> heard;
    waitFor([&] {
        for (const auto& f : controller->readAllFrames())
            heard.push_back(f);
        return heard.size() >= 2;
    });
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].frameId(), identifierFromWord(request));
    EXPECT_TRUE(heard[0].hasExtendedFrameFormat());
    EXPECT_EQ(heard[0].frameType(), QCanBusFrame::RemoteRequestFrame);
    EXPECT_EQ(heard[1].frameId(), identifierFromWord(setting));
    EXPECT_EQ(heard[1].frameType(), QCanBusFrame::DataFrame);
    EXPECT_EQ(heard[1].payload(), QByteArray::fromHex("112233"));

    char serial[128] = {};
    EXPECT_EQ(CnGetSerialNumber(adapter, serial, sizeof serial), -1);
    EXPECT_STRNE(serial, "");
}

TEST_F(VirtualBus, FramesBeyondTheCallersRoomWaitForTheNextPoll) {
    std::vector<std::uint32_t> sent;
    for (std::uint32_t n = 1; n <= 7; ++n) {
        sent.push_back(makeDeviceKey(int(n), 2) | 0x1000u | n);
        ASSERT_TRUE(controller->writeFrame(busFrame(sent.back(), QByteArray(1, char(n)))));
    }
    const auto got = receive(sent.size(), 2);
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(got[i].ident, sent[i]) << i;
}

TEST_F(VirtualBus, MaskAndFiltersChooseTheFramesReceived) {
    // Mode 0x60 from the caller means "apply the filters": controllers 5 of type 8 and 7 of type 2.
    const UcanxFilterRecord only{
        0, 0x60, {}, makeDeviceKey(1023, 31), makeDeviceKey(5, 8), makeDeviceKey(7, 2)};
    ASSERT_NE(CnSetMaskFilters(adapter, &only), 0);

    const std::uint32_t words[] = {
        makeDeviceKey(5, 8) | kServiceBit | 0xF008u,
        makeDeviceKey(6, 8) | kServiceBit | 0xF008u,
        makeDeviceKey(7, 2) | 0x0001u,
        makeDeviceKey(5, 4) | 0x0001u,
        makeDeviceKey(7, 18) | 0x0001u,
        makeDeviceKey(5, 8) | 0xD004u,
    };
    for (std::uint32_t w : words)
        ASSERT_TRUE(controller->writeFrame(busFrame(w, QByteArray(2, 0))));
    // A standard frame never matches a filter for extended frames.
    ASSERT_TRUE(controller->writeFrame(QCanBusFrame(0x123, QByteArray(1, 0))));
    const std::uint32_t last = makeDeviceKey(7, 2) | 0xF005u;
    ASSERT_TRUE(controller->writeFrame(busFrame(last, {})));

    // The bus keeps the order, so whatever passed arrived before the last frame.
    std::vector<std::uint32_t> got;
    QDeadlineTimer deadline(5000);
    while ((got.empty() || got.back() != last) && !deadline.hasExpired()) {
        for (const auto& f : receive(1))
            got.push_back(f.ident);
    }
    EXPECT_EQ(got, (std::vector<std::uint32_t>{words[0], words[2], words[5], last}));

    // Back to everything: the filtered-out controller is heard again.
    const UcanxFilterRecord everything{};
    ASSERT_NE(CnSetMaskFilters(adapter, &everything), 0);
    ASSERT_TRUE(controller->writeFrame(busFrame(words[1], {})));
    const auto again = receive(1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].ident, words[1]);
}

TEST_F(VirtualBus, ChannelsMapOnlyToConfiguredDevices) {
    EXPECT_EQ(CnOpen(2), nullptr) << "no line for 2";
    EXPECT_EQ(CnOpen(3), nullptr) << "unknown plugin";
    EXPECT_EQ(CnOpen(4), nullptr) << "no interface";
    CUsbCan* second = CnOpen(1);
    ASSERT_NE(second, nullptr) << "the first line of a channel counts";
    EXPECT_NE(second, adapter);
    EXPECT_EQ(CnClose(second), -1);
}

TEST(NoConfiguration, ChannelsFollowTheSocketcanInterfaces) {
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    const auto interfaces = QCanBus::instance()->availableDevices(QStringLiteral("socketcan"));
    if (interfaces.isEmpty()) {
        EXPECT_EQ(CnOpen(1), nullptr) << "no adapter, no channel";
    } else {
        EXPECT_EQ(CnOpen(std::uint8_t(interfaces.size() + 1)), nullptr);
    }
    QDir::setCurrent(previous);
}
