#include "Fixture.h"

#include "alarms/Forward.h"
#include "can/Requests.h"
#include "nodelink/Messages.h"
#include "nodelink/Parse.h"

#include <QTcpServer>
#include <QTcpSocket>

using namespace kelcon;
using namespace testing_alarms;

namespace {

// The dispatcher's end: what arrives on each connection until the sender closes it.
// The dispatcher's end: what arrives on each connection until the sender closes it. The sockets
// are taken as they are accepted, before their first bytes can be read.
struct Dispatcher {
    Dispatcher() {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                const qsizetype index = connections.size();
                connections.append(QByteArray());
                QObject::connect(s, &QTcpSocket::readyRead, s,
                                 [this, s, index] { connections[index] += s->readAll(); });
                QObject::connect(s, &QTcpSocket::disconnected, s, [this, s, index] {
                    connections[index] += s->readAll();
                    closed << index;
                });
            }
        });
    }
    bool take(int count) {
        return waitFor([&] { return closed.size() >= count; });
    }

    QTcpServer server;
    QList<QByteArray> connections;
    QList<qsizetype> closed;
};

class ForwardTest : public ConsoleFixture {
protected:
    void SetUp() override {
        ConsoleFixture::SetUp();
        startConsole();
        forwarder = std::make_unique<AlarmForwarder>(*console);
        attachAlarmForwarder(*console, *forwarder);
        console->settings().write(QStringLiteral("ip_alert"), QStringLiteral(" 127.0.0.1 "));
        console->state().settings.forwardAlarms = true;
    }

    std::unique_ptr<AlarmForwarder> forwarder;
};

TEST_F(ForwardTest, AlarmsRaisedTogetherTravelInOneConnectionInOrder) {
    Dispatcher d;
    ASSERT_TRUE(d.server.listen(QHostAddress::LocalHost));
    console->state().settings.remotePort = d.server.serverPort();

    // One alarm through the frame road, one handed over directly.
    const TCanFrame conflict = frame(makeDeviceKey(17, 4) | kAddressConflict, {});
    console->dispatcher().dispatch(conflict, clock.now(), 0);
    clock.advance(1);
    TCanFrame report = frame(makeDeviceKey(3, 8) | kAlarmReport, {4, 1, 9, 2, 0, 0, 0, 0});
    report.len |= 0x40;
    forwarder->ForwardAlarmRecord(report);
    EXPECT_TRUE(forwarder->alertMode());

    ASSERT_TRUE(d.take(1));
    ASSERT_EQ(d.connections.size(), 1);
    const QByteArray& wire = d.connections[0];
    ASSERT_EQ(wire.size(), 54);
    const auto first = parsePas(wire.first(27));
    const auto second = parsePas(wire.sliced(27));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->ident, conflict.ident);
    EXPECT_EQ(first->len, 0);
    EXPECT_DOUBLE_EQ(first->time, toDayCount(QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5))));
    EXPECT_EQ(second->ident, report.ident);
    EXPECT_EQ(second->len, 8) << "the low four bits of the length byte";
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(second->data), 8),
              QByteArray("\x04\x01\x09\x02\0\0\0\0", 8));
    EXPECT_DOUBLE_EQ(second->time, toDayCount(QDateTime(QDate(2030, 4, 1), QTime(12, 0, 6))));
    EXPECT_TRUE(forwarder->records().empty());
    EXPECT_FALSE(forwarder->alertMode());
    EXPECT_FALSE(console->state().remoteMode) << "the remote-mode client is not involved";

    // The dispatcher's side of one of them.
    views.events.clear();
    PostForwardedAlarm(*console, *first, QStringLiteral("Котельная 5"));
    EXPECT_EQ(views.events.value(0),
              QStringLiteral("01.04.2030 12:00:05 ->Конфликт адресов KEL-04 адрес № 0017 на: "
                             "Котельная 5"));
    EXPECT_TRUE(console->state().alarmIndicatorOn);
    EXPECT_EQ(views.restores, 2) << "once for the conflict itself, once for the forwarded line";
}

TEST_F(ForwardTest, TextsGoFirstAndTheRecordsFollowOnTheNextConnection) {
    Dispatcher d;
    ASSERT_TRUE(d.server.listen(QHostAddress::LocalHost));
    console->state().settings.remotePort = d.server.serverPort();

    const QByteArray sap = buildSap(0x1234ABCD, 0, clock.now(), '1', '8', "");
    ASSERT_EQ(sap.size(), 50);
    forwarder->ForwardAlarmText(sap);
    forwarder->ForwardAlarmRecord(TCanFrame{});

    ASSERT_TRUE(d.take(2));
    ASSERT_EQ(d.connections.size(), 2);
    EXPECT_EQ(d.connections[0], sap) << "the text alone, as it arrived";
    EXPECT_EQ(d.connections[1], QByteArray("PAS") + QByteArray(16, '\0') + d.connections[1].sliced(19))
        << "the inactive-devices alarm: identifier and length 0";
    EXPECT_EQ(d.connections[1].size(), 27);
    EXPECT_TRUE(forwarder->records().empty() && forwarder->texts().empty());
}

TEST_F(ForwardTest, QueuedAlarmsReachADispatcherThatComesBackWithinAMinute) {
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    console->state().settings.remotePort = port;
    forwarder->ForwardAlarmRecord(frame(makeDeviceKey(1, 2) | kAddressConflict, {}));
    EXPECT_TRUE(forwarder->alertMode() && console->state().alarmForwardBusy);
    ASSERT_TRUE(waitFor([&] { return forwarder->connectionState() == QAbstractSocket::UnconnectedState; }));
    forwarder->ForwardAlarmRecord(frame(makeDeviceKey(2, 2) | kAddressConflict, {}));
    ASSERT_TRUE(waitFor([&] { return forwarder->connectionState() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(forwarder->records().size(), 2u);
    EXPECT_TRUE(forwarder->alertMode()) << "a failed attempt leaves alert mode set";
    EXPECT_TRUE(views.events.isEmpty() && views.errors.isEmpty()) << "a dispatcher that is down is no event";

    Dispatcher d;
    ASSERT_TRUE(d.server.listen(QHostAddress::LocalHost, port));
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 0, 40)));
    console->tick();
    EXPECT_EQ(forwarder->connectionState(), QAbstractSocket::UnconnectedState)
        << "the retry waits for the minute";
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 1, 0)));
    console->tick();
    ASSERT_TRUE(d.take(1));
    EXPECT_EQ(d.connections[0].size(), 54);
    EXPECT_EQ(parsePas(d.connections[0].sliced(27))->ident, makeDeviceKey(2, 2) | kAddressConflict);
    EXPECT_TRUE(forwarder->records().empty());
}

TEST_F(ForwardTest, NothingIsQueuedWithoutADispatcher) {
    Dispatcher d;
    ASSERT_TRUE(d.server.listen(QHostAddress::LocalHost));
    console->state().settings.remotePort = d.server.serverPort();
    console->state().settings.forwardAlarms = false;
    forwarder->ForwardAlarmRecord(TCanFrame{});
    forwarder->ForwardAlarmText(QByteArray(50, 'S'));
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 1, 0)));
    console->tick();
    EXPECT_EQ(forwarder->connectionState(), QAbstractSocket::UnconnectedState);
    EXPECT_TRUE(forwarder->records().empty() && forwarder->texts().empty());
    EXPECT_FALSE(forwarder->alertMode());
    EXPECT_FALSE(d.server.hasPendingConnections());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
