#include "../core/HeadlessEnv.h"

#include "can/DeviceRecord.h"
#include "core/Console.h"
#include "core/Cp1251.h"
#include "nodelink/ClientSensors.h"
#include "nodelink/NodeClient.h"
#include "nodelink/Scramble.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace kelcon;

void PrintTo(const QString& s, std::ostream* os) {
    *os << s.toStdString();
}

namespace {

// Lets the event loop run until the condition holds; the deadline only guards against a hang.
bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QByteArray bytes(std::initializer_list<int> list) {
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

struct RecordingConsumer : RemoteReplyConsumer {
    QList<QPair<Code, QByteArray>> replies;
    QStringList statuses;
    QList<int> progress;
    int hides = 0, refreshes = 0;
    std::optional<ZoneSummary> summary;

    void takeReply(Code code, QByteArrayView message) override {
        replies.append({code, message.toByteArray()});
    }
    void takeZoneSummary(const ZoneSummary& s) override { summary = s; }
    void showStatus(const QString& t) override {
        if (statuses.isEmpty() || statuses.back() != t)
            statuses << t;
    }
    void showProgress(int percent) override { progress << percent; }
    void hideProgress() override { ++hides; }
    void refresh() override { ++refreshes; }
};

class NodeClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ConsoleEnv env = headlessEnv(dir.path(), clock, views);
        env.loadAdapterLibrary = [] { return std::unique_ptr<UcanxLibrary>(); };
        console = std::make_unique<Console>(env);
        client = std::make_unique<NodeClient>(*console);
        attachNodeClient(*console, *client);
        ASSERT_TRUE(console->start());
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
        console->state().settings.remotePort = server.serverPort();
        views.events.clear();
    }

    // Connects and takes the server's end of the connection with the greeting read off.
    QTcpSocket* connectAndAccept() {
        client->connectTo(QStringLiteral("Котельная (127.0.0.1)"));
        if (!waitFor([&] { return server.hasPendingConnections(); }))
            return nullptr;
        QTcpSocket* peer = server.nextPendingConnection();
        if (!waitFor([&] { return peer->bytesAvailable() >= 31 && console->state().remoteLinkUp; }))
            return nullptr;
        greeting = peer->read(31);
        return peer;
    }

    QByteArray readExactly(QTcpSocket* peer, qsizetype n) {
        waitFor([&] { return peer->bytesAvailable() >= n; });
        return peer->read(n);
    }

    QTemporaryDir dir;
    ManualClock clock{QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5))};
    RecordingViews views;
    std::unique_ptr<Console> console;
    std::unique_ptr<NodeClient> client;
    QTcpServer server;
    QByteArray greeting;
};

TEST_F(NodeClientTest, LinkGreetsBreaksAndComesBackAtTheNextMinute) {
    console->state().settings.logon = QStringLiteral("Диспетчер12345");
    QTcpSocket* peer = connectAndAccept();
    ASSERT_TRUE(peer);
    EXPECT_EQ(greeting,
              QByteArray("SNU00000000") + toCp1251(QStringLiteral("Диспетчер1")) + QByteArray(10, ' '));
    EXPECT_TRUE(console->state().remoteMode);
    EXPECT_EQ(views.texts(),
              QStringList({QStringLiteral("Попытка соединения..."),
                           QStringLiteral("Подключились к удаленному узлу - Котельная (127.0.0.1)")}));
    EXPECT_EQ(views.title, QStringLiteral("Диспетчеризация KEL Подключены к Котельная (127.0.0.1)"));

    // A reply no server can send: negative length word. The client gives the connection up.
    views.events.clear();
    peer->write(QByteArray("QTP") + bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(waitFor([&] { return peer->state() == QAbstractSocket::UnconnectedState; }));
    ASSERT_TRUE(waitFor([&] { return !console->state().remoteLinkUp; }));
    EXPECT_EQ(views.texts(),
              QStringList{QStringLiteral("Разорвано соединение с удаленным узлом: Котельная (127.0.0.1)")});
    EXPECT_TRUE(console->state().remoteMode);

    // Within the minute nothing happens; at second 0 the tick reconnects and the client greets again.
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 0, 30)));
    console->tick();
    QCoreApplication::processEvents();
    EXPECT_FALSE(server.hasPendingConnections());
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 1, 0)));
    console->tick();
    ASSERT_TRUE(waitFor([&] { return server.hasPendingConnections(); }));
    QTcpSocket* again = server.nextPendingConnection();
    EXPECT_EQ(readExactly(again, 31).left(11), QByteArray("SNU00000000"));
    ASSERT_TRUE(waitFor([&] { return console->state().remoteLinkUp; }));

    // The server going away.
    views.events.clear();
    again->close();
    ASSERT_TRUE(waitFor([&] { return !console->state().remoteLinkUp; }));
    EXPECT_EQ(views.texts(),
              QStringList{QStringLiteral("Разорвано соединение с удаленным узлом: Котельная (127.0.0.1)")});

    // Nobody listening any more: the attempt of the next minute reports an error.
    server.close();
    views.events.clear();
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 2, 0)));
    console->tick();
    const QString refused = QStringLiteral("Ошибка подключения к удаленному узлу - Котельная (127.0.0.1)");
    ASSERT_TRUE(waitFor([&] { return views.texts().contains(refused); }));
    EXPECT_EQ(views.texts().count(refused), 1);
    EXPECT_TRUE(views.errors.isEmpty() && views.infos.isEmpty()) << "no box for a failed connection";

    // "Отключиться": no more attempts.
    client->toggle({});
    EXPECT_FALSE(console->state().remoteMode);
    EXPECT_EQ(views.title, QStringLiteral("Диспетчеризация KEL"));
    EXPECT_EQ(client->sendRequest(buildListRequest(Code::GTP)), false);
    EXPECT_EQ(
        views.infos.value(0),
        QStringLiteral("Нет связи с удаленным узлом: Котельная (127.0.0.1)\nВыполните переподключение"));
}

TEST_F(NodeClientTest, RequestsGoScrambledOrPlainAndRepliesReachTheirWindow) {
    console->state().settings.changesOverNetwork = true;
    console->state().settings.networkPassword = QStringLiteral("пароль7");
    QTcpSocket* peer = connectAndAccept();
    ASSERT_TRUE(peer);
    EXPECT_EQ(greeting, QByteArray("SNU00000000") + QByteArray(20, ' '))
        << "an empty logon name gives 20 blanks";
    const QByteArray password = toCp1251(QStringLiteral("пароль7"));
    RequestSender& rq = console->requests();

    const std::uint32_t key = makeDeviceKey(12, 8);
    const std::uint32_t stepUp = key | kServiceBit | (1u << 13) | (3u << 8) | 1u;
    const std::uint32_t plain = key | kServiceBit | (7u << 13) | 3u;
    const std::uint32_t settings = key | 0xA000u;
    const std::uint8_t data[5] = {0x1E, 1, 3, 0, 0};

    EXPECT_EQ(rq.SendRequest(5, stepUp), 0);
    const QByteArray zpc = readExactly(peer, 12);
    EXPECT_EQ(zpc, buildZpc(5, stepUp, password));
    EXPECT_TRUE(verifyZpc(zpc, password, true));
    EXPECT_FALSE(verifyZpc(zpc, "пароль8", true)) << "the bytes really are scrambled";
    EXPECT_EQ(rq.SendRequest(0, plain), 0);
    EXPECT_EQ(readExactly(peer, 11), buildZcn(0, plain));
    EXPECT_EQ(rq.SendData(0, settings, data, 5), 0);
    const QByteArray cpm = readExactly(peer, 18);
    const auto accepted = verifyCpm(cpm, password, true);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->ident, settings);
    EXPECT_EQ(accepted->count, 5);
    EXPECT_EQ(rq.SendData(3, plain, data, 2), 0);
    EXPECT_EQ(readExactly(peer, 14), buildCan(3, plain, std::span(data, 2)));

    // Without changes over the network the protected requests are dropped; the window sees success.
    console->state().settings.changesOverNetwork = false;
    EXPECT_EQ(rq.SendRequest(0, stepUp), 0);
    EXPECT_EQ(rq.SendData(0, settings, data, 5), 0);
    EXPECT_EQ(rq.SendRequest(0, plain), 0);
    EXPECT_EQ(readExactly(peer, 11), buildZcn(0, plain)) << "only the plain request went out";

    // A list reply in two pieces is handed over once, whole.
    RecordingConsumer list, trend;
    client->setActiveList(&list);
    client->setTrend(&trend);
    EXPECT_TRUE(client->sendRequest(buildListRequest(Code::GTP)));
    EXPECT_EQ(readExactly(peer, 3), QByteArray("GTP"));
    TablIPTP row;
    row.priborNo = 12;
    row.typeNo = 8;
    const QByteArray qtp = buildRecordReply<TablIPTP>(Code::QTP, std::span(&row, 1));
    peer->write(qtp.left(20));
    peer->flush();
    waitFor([&] { return false; }, 100);
    EXPECT_TRUE(list.replies.isEmpty());
    peer->write(qtp.mid(20) + buildQtt(18, 21, 24));
    ASSERT_TRUE(waitFor([&] { return list.summary.has_value(); }));
    ASSERT_EQ(list.replies.size(), 1);
    EXPECT_EQ(list.replies[0].first, Code::QTP);
    EXPECT_EQ(list.replies[0].second, qtp);
    EXPECT_EQ(list.summary->avgTemp, 21);

    // A trend arriving in pieces shows its progress, then goes to the trend window once.
    std::vector<SpTrend> points(1000);
    const QByteArray qrt = buildRecordReply<SpTrend>(Code::QRT, points);
    for (int part = 0; part < 4; ++part) {
        peer->write(qrt.mid(part * 4000, 4000));
        peer->flush();
        waitFor([&] { return trend.progress.size() > part; }, 2000);
    }
    peer->write(qrt.mid(16000));
    ASSERT_TRUE(waitFor([&] { return !trend.replies.isEmpty(); }));
    EXPECT_EQ(trend.replies.size(), 1);
    EXPECT_EQ(trend.replies[0].second, qrt);
    ASSERT_FALSE(trend.progress.isEmpty());
    EXPECT_LT(trend.progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(trend.progress.begin(), trend.progress.end()));
    EXPECT_EQ(trend.statuses, QStringList{QStringLiteral("Получаем данные...")});
    EXPECT_GE(trend.hides, 1);

    // The alarm log ends with "Готово" in the list window.
    peer->write(buildAlarmLogReply(std::nullopt));
    ASSERT_TRUE(waitFor([&] { return list.replies.size() == 2; }));
    EXPECT_EQ(list.replies[1].first, Code::QSA);
    EXPECT_EQ(list.statuses.back(), QStringLiteral("Готово"));

    // Relayed frames: only the open device on its own node is decoded, and the window redrawn.
    std::unique_ptr<TUstr> device = CreateDeviceRecord(2, 12, 7, 3);
    device->KeyUstr = deviceKey(makeDeviceKey(12, 2));
    client->currentDevice = [&] { return device.get(); };
    TCanFrame outside;
    outside.ident = makeDeviceKey(12, 2) | kOutsideTempBroadcast;
    outside.len = 2;
    outside.data[0] = std::uint8_t(-12);
    outside.data[1] = 3;
    TCanFrame otherDevice = outside;
    otherDevice.ident = makeDeviceKey(13, 2) | kOutsideTempBroadcast;
    otherDevice.data[0] = 5;
    TCanFrame otherNode = outside;
    otherNode.data[0] = 6;
    peer->write(buildRelayedCan(7, otherDevice) + buildRelayedCan(8, otherNode) +
                buildRelayedCan(7, outside) +
                buildSdp(7, 0, QDateTime(QDate(2030, 4, 1), QTime(12, 0)),
                         std::vector{makeSdpRecord(4, 0, 2.5f, "Давление")}));
    ASSERT_TRUE(waitFor([&] { return list.refreshes == 2; }));
    EXPECT_EQ(device->TempUlic, -12);
    EXPECT_EQ(device->AnalogDatc[0].Kod, 4);
    EXPECT_FLOAT_EQ(device->AnalogDatc[0].Znac, 2.5f);
}

TEST(NodeClientEntry, TheAddressIsBetweenTheFirstParentheses) {
    const struct {
        const char* entry;
        const char* address;
    } cases[] = {
        {"Котельная (192.168.1.5)", "192.168.1.5"},
        {"Диспетчер ( kel-disp.local )", "kel-disp.local"},
        {"Узел (10.0.0.7) (старый)", "10.0.0.7"},
        {"без адреса", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NodeClient::addressOf(QString::fromUtf8(c.entry)), QString::fromUtf8(c.address)) << c.entry;
}

TEST(ClientSensors, NewCodesTakeTheEntryAfterTheLastOneInUse) {
    std::unique_ptr<TUstr> device = CreateDeviceRecord(8, 4, 9, 2);
    const std::vector<SdpRecord> first = {makeSdpRecord(1, 0, 1.f, "P1"), makeSdpRecord(2, 2, 2.f, "P2"),
                                          makeSdpRecord(3, 0, 3.f, "P3")};
    EXPECT_TRUE(ApplySensorRecords(*device, 9, first));
    EXPECT_EQ(device->AnalogDatc[2].Name, QStringLiteral("P3"));
    EXPECT_FALSE(ApplySensorRecords(*device, 8, first)) << "another node's readings";
    const std::vector<SdpRecord> later = {makeSdpRecord(2, 0, 7.f, "P2"), makeSdpRecord(5, 0, 5.f, "P5"),
                                          makeSdpRecord(1, 4, 9.f, "P1")};
    ApplySensorRecords(*device, 9, later);
    EXPECT_FLOAT_EQ(device->AnalogDatc[1].Znac, 7.f);
    EXPECT_FLOAT_EQ(device->AnalogDatc[0].Znac, 1.f) << "a reading of another building is skipped";
    for (const TAnalogDatc& a : device->AnalogDatc)
        EXPECT_NE(a.Kod, 5) << "a fourth code has no entry to go to";
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
