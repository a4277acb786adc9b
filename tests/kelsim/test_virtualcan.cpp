#include "CanAttachment.h"
#include "Frames.h"
#include "Simulator.h"
#include "core/DateTime.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <functional>

using namespace kelcon;
using namespace kelcon::kelsim;

namespace {

// Socket events need the loop; the deadline only guards against a bus that never connects.
bool waitFor(const std::function<bool()>& done) {
    QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// A virtual bus of this test's own, so that a demo on the machine's default port does not mix in.
QString privateBus() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QStringLiteral("tcp://127.0.0.1:%1/can0").arg(probe.serverPort());
}

} // namespace

TEST(KelsimVirtualCan, FramesCrossTheBusWithTheirIdentifierWordsAndRequestsAreAnswered) {
    const QString bus = privateBus();
    QString error;
    auto attachment = CanAttachment::open(QStringLiteral("virtualcan:") + bus, &error);
    ASSERT_TRUE(attachment) << error.toStdString();
    std::unique_ptr<QCanBusDevice> console(
        QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), bus, &error));
    ASSERT_TRUE(console) << error.toStdString();
    ASSERT_TRUE(console->connectDevice());
    ASSERT_TRUE(waitFor(
        [&] { return attachment->isConnected() && console->state() == QCanBusDevice::ConnectedState; }));

    // Each side is connected before the bus server has read which channel the other listens to;
    // a probe that arrives proves the way to the console is open.
    const TCanFrame probe = remoteFrame(kServiceBit);
    bool probed = false;
    std::vector<QCanBusFrame> received;
    QObject::connect(console.get(), &QCanBusDevice::framesReceived, [&] {
        while (console->framesAvailable() > 0) {
            const QCanBusFrame f = console->readFrame();
            if (f.frameId() == identifierFromWord(probe.ident))
                probed = true;
            else
                received.push_back(f);
        }
    });
    ASSERT_TRUE(waitFor([&] {
        attachment->send(probe);
        return probed;
    }));

    ManualClock clock(QDateTime(QDate(2021, 3, 9), QTime(14, 5, 7)));
    Simulator sim(defaultPlant(), clock);
    QObject::connect(attachment.get(), &CanAttachment::frameReceived,
                     [&](const TCanFrame& f) { sim.receive(0, f); });

    std::vector<TCanFrame> sent;
    auto sendOut = [&] {
        for (const auto& f : sim.advance().frames)
            if (f.uzel == 0) {
                attachment->send(f.frame);
                sent.push_back(f.frame);
            }
    };
    clock.advance(20);
    sendOut();
    ASSERT_GT(sent.size(), 50u);

    ASSERT_TRUE(waitFor([&] { return received.size() >= sent.size(); }));
    ASSERT_EQ(received.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(received[i].hasExtendedFrameFormat());
        EXPECT_EQ(received[i].frameId(), identifierFromWord(sent[i].ident));
        EXPECT_EQ(wordFromIdentifier(received[i].frameId()), sent[i].ident);
        EXPECT_EQ(received[i].payload(),
                  QByteArray(reinterpret_cast<const char*>(sent[i].data.data()), sent[i].dataLength()));
    }

    // The console raises the zone set-point of KEL-06 31 by one step: a remote request, answered on the bus.
    const std::uint32_t increase = makeDeviceKey(31, 6) | kServiceBit | (1u << 8) | 1u;
    QCanBusFrame request(QCanBusFrame::RemoteRequestFrame);
    request.setFrameId(identifierFromWord(increase));
    request.setExtendedFrameFormat(true);
    received.clear();
    sent.clear();
    ASSERT_TRUE(console->writeFrame(request));
    ASSERT_TRUE(waitFor([&] {
        sendOut();
        return !received.empty();
    }));
    const auto answer = fromBusFrame(received.front());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->ident, makeDeviceKey(31, 6) | kParameterWord);
    EXPECT_EQ(answer->dataLength(), 2);
    EXPECT_EQ(answer->data[0], 0x01);
    EXPECT_EQ(answer->data[1], 22);
    EXPECT_EQ(sim.find(0, 31)->kontury()[0].setpoint, 22);
}
