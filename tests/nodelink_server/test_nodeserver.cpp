#include "FakeAdapter.h"
#include "../core/HeadlessEnv.h"

#include "can/DeviceRecord.h"
#include "can/Requests.h"
#include "core/Console.h"
#include "core/Cp1251.h"
#include "nodelink/CommandLog.h"
#include "nodelink/NodeServer.h"
#include "nodelink/Parse.h"
#include "nodelink/RemoteQueries.h"
#include "storage/Db.h"
#include "storage/FrameLog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace kelcon;

namespace {

// Socket traffic in one thread: the loop runs until the condition holds. The limit only keeps a
// broken build from hanging; nothing is measured.
bool pumpUntil(const std::function<bool()>& done, int limitMs = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    return true;
}

// A peer of the server played by the test: a console or a GSM node.
struct Peer {
    QTcpSocket socket;
    QByteArray in;

    explicit Peer(quint16 port) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { in += socket.readAll(); });
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        pumpUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
    void send(const QByteArray& bytes) {
        socket.write(bytes);
        socket.flush();
    }
    QByteArray take(qsizetype n) {
        pumpUntil([&] { return in.size() >= n; });
        const QByteArray out = in.left(n);
        in.remove(0, out.size());
        return out;
    }
    // A reply with a length word, whole.
    QByteArray takeReply() {
        pumpUntil([&] { return in.size() >= 7; });
        std::int32_t length = 0;
        std::memcpy(&length, in.constData() + 3, 4);
        return take(7 + length);
    }
    bool waitClosed() {
        return pumpUntil([this] { return socket.state() == QAbstractSocket::UnconnectedState; });
    }
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }
};

TCanFrame frame(std::uint32_t word, std::initializer_list<std::uint8_t> data) {
    TCanFrame f;
    f.ident = word;
    f.len = std::uint8_t(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

} // namespace

// ---------------------------------------------------------------- command texts

TEST(CommandLogText, EveryCommandReadsAsTheOperatorExpects) {
    const std::uint32_t kel02 = makeDeviceKey(5, 2);
    const std::uint32_t kel06 = makeDeviceKey(12, 6);
    const std::uint32_t kel08 = makeDeviceKey(7, 8);
    const auto cmd = [](Code code, std::uint32_t ident, std::initializer_list<std::uint8_t> params = {},
                        std::int32_t selector = 0) {
        LoggedCommand c;
        c.code = code;
        c.ident = ident;
        std::copy(params.begin(), params.end(), c.params.begin());
        c.paramCount = int(params.size());
        c.selector = selector;
        return c;
    };
    LoggedCommand gtt = cmd(Code::GTT, 0);
    gtt.building = 4;
    gtt.floor = 2;
    struct Case {
        const char* name;
        LoggedCommand command;
        const char* text;
    };
    const Case cases[] = {
        {"plain value", cmd(Code::CAN, kel02 | 0x8000, {1}), "Клиент (N) передал значение параметра"},
        {"weekend mode for one building", cmd(Code::CPM, kel02 | 0xA000, {0x1E, 1, 3, 0, 0}),
         "Клиент (N) запросил для всех устройств включение режима \"выходные\"  для здания ID:3"},
        {"KEL-06 set-point for a zone", cmd(Code::CPM, kel06 | 0xA000, {0x01, 22, 0, 0, 5}),
         "Клиент (N) запросил для устройств KEL-06 установить поддерживаемую температуру 22°C для зоны ID:5"},
        {"infinite reduction everywhere", cmd(Code::CPM, kel02 | 0xA000, {0x02, 0, 0, 0, 0}),
         "Клиент (N) запросил для всех устройств установить величину суточного уменьшения \"бесконечность\" "
         "для всех зданий"},
        {"BCD hour, floor and building", cmd(Code::CPM, kel02 | 0xA000, {0x03, 0x21, 2, 1, 0}),
         "Клиент (N) запросил для всех устройств установить начало суточного уменьшения 21ч для этажа ID:1 "
         "для здания ID:2"},
        {"day name", cmd(Code::CPM, kel02 | 0xA000, {0x07, 6}),
         "Клиент (N) запросил для всех устройств установить день начала недельного уменьшения "
         "\"воскресенье\" "
         "для всех зданий"},
        {"day out of range", cmd(Code::CPM, kel02 | 0xA000, {0x09, 7}),
         "Клиент (N) запросил для всех устройств установить день окончания недельного уменьшения  для всех "
         "зданий"},
        {"zone summary", gtt, "Клиент (N) запросил список текущих температур зон здания ID:4 этажа ID:2"},
        {"return line of KEL-02", cmd(Code::GRT, kel02, {44}, 44),
         "Клиент (N) запросил у KEL-02 (адрес № 0005)  кривую температуры обратки 2 контура"},
        {"return line on KEL-08 names nothing", cmd(Code::GRT, kel08, {12}, 12),
         "Клиент (N) запросил у KEL-08 (адрес № 0007)  кривую температуры "},
        {"KEL-06 circuit 5", cmd(Code::GRT, kel06, {128}, 128),
         "Клиент (N) запросил у KEL-06 (адрес № 0012)  кривую температуры 5 контура"},
        {"recirculation", cmd(Code::GRT, kel08, {140}, 140),
         "Клиент (N) запросил у KEL-08 (адрес № 0007)  кривую температуры контура рециркуляции ГВС"},
        {"sensor", cmd(Code::GDT, 0x8000FF10u, {3}, 256 + 3),
         "Клиент (N) запросил у здания адрес № 3 кривую датчика №3"},
        {"sensor 0", cmd(Code::GDT, 0x8000FF10u, {0}, 256), "Клиент (N) запросил кривую датчика №0"},
        {"outside", cmd(Code::GUT, kel02 | 0xFF05),
         "Клиент (N) запросил у KEL-02 (адрес № 0005)  кривую уличной температуры"},
        {"delete", cmd(Code::DNW, 0), "Клиент (N) запросил удаление из списка неактивных устройств"},
        {"hot water of KEL-08", cmd(Code::ZCN, kel08 | 0x80008004u),
         "Клиент (N) запросил у KEL-08 (адрес № 0007) параметры контура ГВС"},
        {"circuit 6 of KEL-06", cmd(Code::ZCN, kel06 | 0x8000A004u),
         "Клиент (N) запросил у KEL-06 (адрес № 0012) параметры 6 контура"},
        {"all names", cmd(Code::ZCN, kel02 | 0x8000E005u),
         "Клиент (N) запросил у KEL-02 (адрес № 0005) все названия"},
        {"minimum of circuit 2", cmd(Code::ZPC, RequestWord(kel02, 1, 1, RequestOp::Increase)),
         "Клиент (N) запросил у KEL-02 (адрес № 0005) увеличить минимальную температуру 2 контура"},
        {"KEL-06 set-point of circuit 1", cmd(Code::ZPC, RequestWord(kel06, 0, 1, RequestOp::Decrease)),
         "Клиент (N) запросил у KEL-06 (адрес № 0012) уменьшить поддерживаемую температуру 1 контура"},
        {"curve point", cmd(Code::ZPC, RequestWord(kel02, 0, 0x10, RequestOp::Increase)),
         "Клиент (N) запросил у KEL-02 (адрес № 0005) увеличить точку пользовательской кривой при -8°C 1 "
         "контура"},
        {"hot water temperature", cmd(Code::ZPC, RequestWord(kel08, 4, 1, RequestOp::Increase)),
         "Клиент (N) запросил у KEL-08 (адрес № 0007) увеличить температуру поддержания ГВС"},
        {"hot water reduction", cmd(Code::ZPC, RequestWord(kel08, 4, 5, RequestOp::Decrease)),
         "Клиент (N) запросил у KEL-08 (адрес № 0007) уменьшить величину недельного уменьшения ГВС"},
        {"KEL-06 circuit 5 step", cmd(Code::ZPC, RequestWord(kel06, 4, 3, RequestOp::Increase)),
         "Клиент (N) запросил у KEL-06 (адрес № 0012) увеличить начало суточного уменьшения 5 контура"},
        {"boiler delta", cmd(Code::ZPC, RequestWord(kel08, 5, 3, RequestOp::Increase)),
         "Клиент (N) запросил у KEL-08 (адрес № 0007) увеличить дельта температуры подачи и обратки котлов"},
        {"boiler rotation", cmd(Code::ZPC, RequestWord(kel08, 5, 0x1F, RequestOp::Decrease)),
         "Клиент (N) запросил у KEL-08 (адрес № 0007) выключить ротацию котлов"},
        {"KEL-06 weekend of circuit 3", cmd(Code::ZPC, RequestWord(kel06, 2, 0x1E, RequestOp::Increase)),
         "Клиент (N) запросил у KEL-06 (адрес № 0012) включить режим \"выходные\" для 3 контура"},
        {"reset", cmd(Code::ZPC, ResetAlarmsWord(kel02)),
         "Клиент (N) запросил у KEL-02 (адрес № 0005) сброс всех аварий"},
        {"unknown step", cmd(Code::ZPC, RequestWord(kel02, 0, 0x0A, RequestOp::Increase)),
         "Клиент (N) запросил у KEL-02 (адрес № 0005) "},
        {"lists", cmd(Code::GTZ, 0), "Клиент (N) запросил список т.зон"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CommandText(QStringLiteral("N"), c.command), QString::fromUtf8(c.text)) << c.name;
}

TEST(CommandLogText, PeerNamesAndAddresses) {
    const QStringList lines{QStringLiteral(" Котельная  (10.0.0.8)"), QStringLiteral("Диспетчер (10.0.0.7)"),
                            QStringLiteral("Второй (10.0.0.7)")};
    EXPECT_EQ(PeerName(QStringLiteral("10.0.0.7"), lines), QStringLiteral("Диспетчер"));
    EXPECT_EQ(PeerName(QStringLiteral("10.0.0.8"), lines), QStringLiteral("Котельная"));
    EXPECT_EQ(PeerName(QStringLiteral("10.0.0.70"), lines), QStringLiteral("10.0.0.70"));

    EXPECT_EQ(dottedParts(QStringLiteral("10.0.0.7")), (std::array<int, 4>{10, 0, 0, 7}));
    for (const char* notAnAddress :
         {"Диспетчер", "10.0.0", "10.0.0.256", "10.0.0.7.1", "10..0.7", "300.1.1.1", ""})
        EXPECT_FALSE(dottedParts(QString::fromUtf8(notAnAddress))) << notAnAddress;
}

// ---------------------------------------------------------------- builders on a real file

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        db.create(dir.filePath(QStringLiteral("log.fdb")));
    }
    void table(const QString& name) {
        db.execute(
            QStringLiteral("CREATE TABLE ") + name +
            QStringLiteral(" (DATEINF TIMESTAMP, IDENTCAN INTEGER, UZELIDENT INTEGER DEFAULT 0, "
                           "LENGDATA SMALLINT, DATACAN12 SMALLINT, DATACAN34 SMALLINT, DATACAN56 SMALLINT, "
                           "DATACAN78 SMALLINT)"));
        db.commit();
    }
    QTemporaryDir dir;
    DbConnection db{TransactionMode::ReadCommitted};
};

TEST_F(LogFile, UnionWalksTheMonthsOfThePeriod) {
    const QString sel = QStringLiteral(
        "SELECT DATEINF, IDENTCAN, LENGDATA, DATACAN12, DATACAN34, DATACAN56, DATACAN78 FROM ");
    EXPECT_EQ(LogUnionQuery(db, QDate(2030, 3, 15), QDate(2030, 5, 10), QStringLiteral("c")), QString())
        << "no table, no query";

    table(QStringLiteral("CAN_INFR"));
    table(QStringLiteral("CAN_0430"));
    table(QStringLiteral("CAN_0530"));
    EXPECT_EQ(LogUnionQuery(db, QDate(2030, 3, 15), QDate(2030, 5, 10), QStringLiteral("c")),
              sel + "CAN_INFR c UNION ALL " + sel + "CAN_0430 c UNION ALL " + sel + "CAN_0530 c");
    EXPECT_EQ(LogUnionQuery(db, QDate(2030, 4, 15), QDate(2030, 5, 10), QStringLiteral("c")),
              sel + "CAN_0430 c UNION ALL " + sel + "CAN_0530 c")
        << "the begin month's table replaces CAN_INFR";

    table(QStringLiteral("CAN_1129"));
    table(QStringLiteral("CAN_1229"));
    table(QStringLiteral("CAN_0130"));
    table(QStringLiteral("CAN_0230"));
    EXPECT_EQ(LogUnionQuery(db, QDate(2029, 11, 1), QDate(2030, 2, 1), QStringLiteral("c")),
              sel + "CAN_1129 c UNION ALL " + sel + "CAN_1229 c UNION ALL " + sel + "CAN_0130 c UNION ALL " +
                  sel + "CAN_0230 c");
    EXPECT_EQ(LogUnionQuery(db, QDate(2030, 5, 1), QDate(2030, 4, 1), QStringLiteral("c")),
              sel + "CAN_0530 c")
        << "an end before the begin walks one month";
}

TEST(TrendPeriod, OnlyDatesOfTheseCenturiesAndAtMostTenYears) {
    const double d2030 = toDayCount(QDateTime(QDate(2030, 1, 1), QTime(0, 0)));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(isServableTrendPeriod(d2030, d2030 + 30));
    EXPECT_TRUE(isServableTrendPeriod(d2030, d2030 + 3652));
    EXPECT_FALSE(isServableTrendPeriod(d2030, d2030 + 3654)) << "more than ten years";
    EXPECT_FALSE(isServableTrendPeriod(nan, d2030));
    EXPECT_FALSE(isServableTrendPeriod(d2030, inf));
    EXPECT_FALSE(isServableTrendPeriod(-1e9, d2030));
    EXPECT_FALSE(isServableTrendPeriod(-200, -100)) << "1899";
    EXPECT_FALSE(isServableTrendPeriod(1e7, 1e7 + 1)) << "far future";
}

// ---------------------------------------------------------------- a running console

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        ASSERT_TRUE(dir.isValid());
        ConsoleEnv env = headlessEnv(dir.path(), clock, views);
        console = std::make_unique<Console>(env);
        ASSERT_TRUE(console->start());
        server = std::make_unique<NodeServer>(*console);
        server->install();
    }
    void TearDown() override {
        server.reset();
        console.reset();
    }
    // The registry is loaded on start, so rows of SPISUZEL must be there before.
    void listen() { ASSERT_TRUE(server->start(0)); }
    quint16 port() const { return server->serverPort(); }

    int count(const QString& sql) { return console->eventDb().query(sql).at(0).at(0).toInt(); }
    bool hasEvent(const QString& text) { return views.texts().contains(text); }
    // The minute tick at second 0.
    void minuteTick() {
        clock.set(clock.now().addSecs(60 - clock.now().time().second()));
        console->tick();
    }

    QTemporaryDir dir;
    ManualClock clock{QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5))};
    RecordingViews views;
    std::unique_ptr<Console> console;
    std::unique_ptr<NodeServer> server;
};

TEST_F(ServerTest, ConsoleListsRequestsAndTheCommandLog) {
    DbConnection& db = console->eventDb();
    const QDateTime now = clock.now();
    const auto device = [&](int nomer, int type, int zdan, const char* nameZdan, int etaz, int zon, int temp,
                            QDateTime last, int avar2 = 0) {
        db.execute(QStringLiteral(
                       "insert into SPISKEL (UZELIDENT, NAMEUZEL, PRIBORNO, TYPENO, LASTDATE, NOMZDAN, "
                       "NAMEZDAN, NOMETAZ, NAMEETAZ, NOMKONT, NOMZON, NAMEZON, TEMPZON, SPISAVAR2) values "
                       "(0, 'Своя', :N, :T, :L, :Z, :NZ, :E, 'Этаж', 1, :ZON, 'Зал', :TEMP, :A)"),
                   {{"N", nomer},
                    {"T", type},
                    {"L", last},
                    {"Z", zdan},
                    {"NZ", QString::fromUtf8(nameZdan)},
                    {"E", etaz},
                    {"ZON", zon},
                    {"TEMP", temp},
                    {"A", avar2}});
    };
    device(5, 2, 3, "Школа", 0, 0, 150, now.addSecs(-3600), 4);
    device(7, 4, 3, "Школа", 0, 0, 150, now);
    device(9, 7, 3, "Школа", 0, 0, 150, now.addSecs(-3600));
    device(20, 6, 1, "Дом", 2, 4, 20, now);
    device(21, 6, 1, "Дом", 2, 4, 21, now);
    device(22, 6, 1, "Дом", 2, 4, 23, now);
    device(30, 6, 1, "Дом", 2, 0, 18, now);
    device(40, 6, 5, "Склад", 1, 0, 19, now.addSecs(-7200));
    device(41, 6, 5, "Склад", 1, 0, 19, now.addSecs(-7200));
    db.commit();

    // Trend frames straight into the log, so the register rows above keep their times.
    const std::uint32_t trendWord = 0x8008FF09u | makeDeviceKey(5, 2);
    FrameLog frameLog(db);
    frameLog.append(frame(trendWord, {0, 55, 0x20, 60}), now.addSecs(-600), 0);
    frameLog.append(frame(trendWord, {0, 56, 0, 0, 0, 58, 0, 59}), now.addSecs(-300), 0);
    frameLog.append(frame(trendWord, {0, 99, 0, 0, 0, 0, 0, 0}), now.addSecs(-300), 0x77); // another node
    const std::uint32_t outsideWord = 0x0008FF05u | makeDeviceKey(5, 2);
    frameLog.append(frame(outsideWord, {0xF6, 0}), now.addSecs(-200), 0);
    frameLog.append(frame(outsideWord, {0x10}), now.addSecs(-100), 0); // too short to carry a value
    db.commit();
    listen();

    Peer peer(port());
    peer.send(buildConsoleGreeting(QStringLiteral("Диспетчер")));
    ASSERT_TRUE(pumpUntil([&] { return hasEvent("Удаленный клиент (127.0.0.1) подключился"); }));

    // Lists equal what the local builders give, byte for byte.
    peer.send(buildListRequest(Code::GTP));
    const QByteArray qtp = peer.takeReply();
    EXPECT_EQ(qtp, BuildPointList(db));
    const auto points = readRecords<TablIPTP>(*replyPayload(qtp));
    ASSERT_EQ(points.size(), 2u) << "type 7 and KEL-06 are not heating points";
    EXPECT_EQ(points[0].priborNo, 5);
    EXPECT_EQ(points[0].avar, 1);
    EXPECT_EQ(textField(points[0].nameZdan), toCp1251(QStringLiteral("Школа")));
    EXPECT_EQ(points[1].avar, 0);

    peer.send(buildListRequest(Code::GTZ));
    const QByteArray qtz = peer.takeReply();
    EXPECT_EQ(qtz, BuildZoneList(db));
    const auto zones = readRecords<TablIPTZ>(*replyPayload(qtz));
    ASSERT_EQ(zones.size(), 4u) << "one zone of three controllers and three controllers without a zone";
    const auto zone =
        std::find_if(zones.begin(), zones.end(), [](const TablIPTZ& z) { return z.nomZon == 4; });
    ASSERT_NE(zone, zones.end());
    EXPECT_EQ(zone->priborNo, 20);
    EXPECT_EQ(zone->minTemp, 20);
    EXPECT_EQ(zone->avgTemp, 21);
    EXPECT_EQ(zone->maxTemp, 23);

    peer.send(buildListRequest(Code::GNW));
    const QByteArray qnw = peer.takeReply();
    EXPECT_EQ(qnw, BuildInactiveList(db, clock.now(), 5, 60));
    const auto inactive = readRecords<TablNoActUstr>(*replyPayload(qnw));
    ASSERT_EQ(inactive.size(), 3u) << "5 and 9 (five minutes), 40 and 41 as one row (an hour)";
    std::vector<int> numbers;
    for (const auto& r : inactive)
        numbers.push_back(r.priborNo);
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<int>{5, 9, 40}));

    peer.send(buildGtt(1, 0, 0));
    EXPECT_EQ(peer.take(6), buildQtt(18, 20, 23));

    // No alarm log yet, then one with Cyrillic text: the console reads Windows-1251.
    peer.send(buildListRequest(Code::GSA));
    EXPECT_EQ(peer.takeReply(), buildAlarmLogReply(std::nullopt));
    {
        QFile f(console->log().errorFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("01.04.2030 11:00:00 ->Авария\n").toUtf8());
    }
    peer.send(buildListRequest(Code::GSA));
    EXPECT_EQ(peer.takeReply(),
              buildReply(Code::QSA, toCp1251(QStringLiteral("01.04.2030 11:00:00 ->Авария\n"))));

    // Trends: pairs a short frame does not carry are left out; an absurd period costs nothing.
    const double day = toDayCount(now);
    peer.send(buildGrt(0, day - 1, day + 1, trendWord, 0));
    const auto trend = readRecords<SpTrend>(*replyPayload(peer.takeReply()));
    std::vector<int> values;
    for (const auto& p : trend)
        values.push_back(p.value);
    EXPECT_EQ(values, (std::vector<int>{55, 56, 0, 58, 59}));
    EXPECT_NEAR(trend[0].dateInf, toDayCount(now.addSecs(-600)), 1e-6);
    peer.send(buildGrt(0, std::numeric_limits<double>::quiet_NaN(), day, trendWord, 0));
    EXPECT_EQ(peer.takeReply(), buildReply(Code::QRT, {}));
    peer.send(buildGrt(0, day - 4000, day, trendWord, 0));
    EXPECT_EQ(peer.takeReply(), buildReply(Code::QRT, {}));

    peer.send(buildGut(0, day - 1, day + 1, outsideWord));
    const auto outside = readRecords<SpTrend>(*replyPayload(peer.takeReply()));
    ASSERT_EQ(outside.size(), 1u);
    EXPECT_EQ(outside[0].value, 0xF6);

    // Every command above was logged with a row for the address-only console.
    EXPECT_TRUE(hasEvent("Клиент (127.0.0.1) запросил список т.пунктов"));
    EXPECT_TRUE(hasEvent("Клиент (127.0.0.1) запросил список текущих температур зон здания ID:1"));
    EXPECT_TRUE(
        hasEvent("Клиент (127.0.0.1) запросил у KEL-02 (адрес № 0005)  кривую температуры 1 контура"));
    EXPECT_EQ(count("select count(*) from SPISCMD where IP1=127 and IP2=0 and IP3=0 and IP4=1"), 10);
    EXPECT_EQ(count("select count(*) from SPISCMD where CMD='GTT' and PAR1=1 and PAR2=0"), 1);
    EXPECT_EQ(count(QStringLiteral("select count(*) from SPISCMD where CMD='GRT' and IDENT=%1")
                        .arg(std::int32_t(trendWord))),
              3);

    // An alarm forwarded by another node is posted with its own time and the sender's name.
    SpAvar alarm;
    alarm.ident = makeDeviceKey(5, 2);
    alarm.len = 2;
    alarm.data[0] = 1;
    alarm.time = toDayCount(QDateTime(QDate(2030, 4, 1), QTime(11, 30, 0)));
    peer.send(buildPas(alarm));
    ASSERT_TRUE(
        pumpUntil([&] { return !views.events.isEmpty() && views.events.last().endsWith(" на: 127.0.0.1"); }));
    EXPECT_TRUE(views.events.last().startsWith("01.04.2030 11:30:00 ->"))
        << views.events.last().toStdString();
    EXPECT_TRUE(console->state().alarmIndicatorOn);

    // Frames of the own bus are relayed to the greeted console.
    const TCanFrame state = frame(0x8000F008u | makeDeviceKey(7, 4), {1, 2, 3});
    console->dispatcher().dispatch(state, clock.now(), 0);
    EXPECT_EQ(peer.take(15), buildRelayedCan(0, state));

    // Settings changes: only scrambled with the right password, and never plain.
    console->state().settings.changesOverNetwork = true;
    console->state().settings.networkPassword = QStringLiteral("пароль");
    const std::uint32_t write = makeDeviceKey(7, 4) | 0xA000u;
    const std::uint8_t data[5] = {0x1E, 1, 3, 0, 0};
    const auto sync = [&] { // a reply shows that everything before it was handled
        peer.send(buildListRequest(Code::GTZ));
        peer.takeReply();
    };
    fake::script().sent.clear();
    views.events.clear();
    peer.send(buildCpm(0, write, data, toCp1251(QStringLiteral("парол"))));
    peer.send(buildZpc(0, ResetAlarmsWord(makeDeviceKey(7, 4)), "wrong"));
    sync();
    EXPECT_TRUE(fake::script().sent.empty()) << "wrong password: nothing sent";
    EXPECT_EQ(views.texts(), QStringList{QStringLiteral("Клиент (127.0.0.1) запросил список т.зон")})
        << "and nothing logged";

    peer.send(buildCan(0, write, data));
    peer.send(buildZcn(0, ResetAlarmsWord(makeDeviceKey(7, 4))));
    sync();
    EXPECT_TRUE(fake::script().sent.empty()) << "protected words are refused when they come plain";
    EXPECT_TRUE(hasEvent("Клиент (127.0.0.1) передал значение параметра")) << "but logged";
    EXPECT_TRUE(hasEvent("Клиент (127.0.0.1) запросил у KEL-04 (адрес № 0007) ")) << "a reset names no item";

    peer.send(buildCpm(0, write, data, toCp1251(QStringLiteral("пароль"))));
    peer.send(buildZpc(0, ResetAlarmsWord(makeDeviceKey(7, 4)), toCp1251(QStringLiteral("пароль"))));
    peer.send(buildZcn(0, DeviceDataWord(makeDeviceKey(7, 4))));
    sync();
    ASSERT_EQ(fake::script().sent.size(), 3u);
    EXPECT_EQ(fake::script().sent[0].ident, write | kExtendedFlag);
    EXPECT_EQ(fake::script().sent[0].len, 5);
    EXPECT_EQ(fake::script().sent[1].len, 0x40);
    EXPECT_TRUE(
        hasEvent("Клиент (127.0.0.1) запросил для всех устройств включение режима \"выходные\"  для здания "
                 "ID:3"));

    // Deleting an inactive device.
    peer.send(buildDnw(0, 9, 7));
    sync();
    EXPECT_EQ(count("select count(*) from SPISKEL where PRIBORNO=9"), 0);

    // A read hides the pop-up alarm list.
    console->state().alarmIndicatorOn = true;
    views.shown = true;
    sync();
    EXPECT_FALSE(views.shown);
    EXPECT_FALSE(console->state().alarmIndicatorOn);

    // An unknown head from a console ends its connection.
    peer.send("XYZ");
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_TRUE(pumpUntil([&] { return hasEvent("Удаленный клиент (127.0.0.1) разорвал соединение..."); }));
}

TEST_F(ServerTest, GsmNodeGreetsPushesAndTunnels) {
    DbConnection& db = console->eventDb();
    EXPECT_EQ(chooseTunnelPorts(db).com1, 5000) << "the first node ever";
    db.execute("insert into SPISUZEL (UzelIdent,NameUzel,PortCOM1,PortCOM2,Port485) values "
               "(99,'old',6098,6099,6100)");
    const TunnelPorts after6100 = chooseTunnelPorts(db);
    EXPECT_EQ((std::array<int, 3>{after6100.com1, after6100.com2, after6100.rs485}),
              (std::array<int, 3>{6101, 6102, 6103}));
    db.execute("delete from SPISUZEL");
    // The new node's tunnels are to land on free ports of this machine.
    const int base = freePort();
    db.execute(QStringLiteral("insert into SPISUZEL (UzelIdent,NameUzel,PortCOM1,PortCOM2,Port485) values "
                              "(99,'old',0,0,%1)")
                   .arg(base - 1));
    db.commit();
    listen();

    QTcpServer taken; // the node's RS-485 tunnel port is in use
    ASSERT_TRUE(taken.listen(QHostAddress::Any, quint16(base + 2)));

    const UzelIdent node = 0x00ABCDEF;
    Peer gsm(port());
    gsm.send(buildGreeting(node, QStringLiteral("Котельная 1")));
    ASSERT_TRUE(pumpUntil([&] { return hasEvent("Удаленный узел (Котельная 1) подключился"); }));
    EXPECT_EQ(count(QStringLiteral(
                        "select count(*) from SPISUZEL where UzelIdent=%1 and NameUzel='Котельная 1' and "
                        "PortCOM1=%2 and PortCOM2=%3 and Port485=%4")
                        .arg(node)
                        .arg(base)
                        .arg(base + 1)
                        .arg(base + 2)),
              1);
    EXPECT_EQ(console->hooks().nodeName(node), QStringLiteral("Котельная 1"));
    EXPECT_TRUE(hasEvent(
        QStringLiteral("Удаленный узел (Котельная 1): не удалось открыть TCP порт %1").arg(base + 2)));

    // A console is connected too: it gets the node's frames and sensor readings relayed.
    Peer remote(port());
    remote.send(buildConsoleGreeting(QString()));
    ASSERT_TRUE(pumpUntil([&] { return hasEvent("Удаленный клиент (127.0.0.1) подключился"); }));

    // Frames land in the register and the month's log under the node.
    const TCanFrame f1 = frame(0x8000F008u | makeDeviceKey(5, 2), {1, 2, 3, 4, 5, 6, 7, 8});
    const TCanFrame f2 = frame(0x8000F009u | makeDeviceKey(5, 2), {9});
    const RdcRecord records[] = {{clock.now(), f1}, {clock.now(), f2}};
    const quint32 before = console->state().receivedFrames;
    gsm.send(buildRdc(node, records));
    EXPECT_EQ(remote.take(20 + 13), buildRelayedCan(node, f1) + buildRelayedCan(node, f2));
    EXPECT_EQ(console->state().receivedFrames, before + 2);
    EXPECT_EQ(
        count(QStringLiteral("select count(*) from SPISKEL where UzelIdent=%1 and PriborNo=5 and TypeNo=2")
                  .arg(node)),
        1);
    EXPECT_EQ(count(QStringLiteral("select count(*) from CAN_0430 where UzelIdent=%1").arg(node)), 2);

    // Alarm lines.
    QByteArray forwarded;
    server->forwardAlarmText = [&](const QByteArray& m) { forwarded = m; };
    const QByteArray sapCleared = buildSap(node, 0x1234, clock.now(), '0', '8', {});
    gsm.send(sapCleared);
    ASSERT_TRUE(pumpUntil([&] { return !forwarded.isEmpty(); }));
    EXPECT_EQ(forwarded, sapCleared);
    EXPECT_TRUE(hasEvent("Авария снята: питание восстановлено на узле: \"Котельная 1\""));
    gsm.send(buildSap(node, 0, clock.now(), '1', '3', toCp1251(QStringLiteral("Нет воды"))));
    ASSERT_TRUE(pumpUntil([&] { return hasEvent("Авария: Нет воды на узле: \"Котельная 1\""); }));
    EXPECT_TRUE(console->state().alarmIndicatorOn);
    EXPECT_GE(views.restores, 2);

    // Sensor readings: entries of the open device, the log, the relay, and the sensor trend.
    TUstr open;
    open.Uzel = node;
    open.NomZdan = 3;
    server->currentDevice = [&] { return &open; };
    int refreshes = 0;
    server->refreshActiveList = [&] { ++refreshes; };
    const SdpRecord sensors[] = {makeSdpRecord(1, 0, 1.25f, "Давл"), makeSdpRecord(2, 3, 2.5f, "T2"),
                                 makeSdpRecord(3, 0, 3.75f, "T3")};
    const QByteArray sdp = buildSdp(node, 0, clock.now(), sensors);
    gsm.send(sdp);
    const QByteArray relayedSdp = remote.take(sdp.size() + 3 * 20);
    EXPECT_TRUE(relayedSdp.endsWith(sdp)) << "the three sensor frames, then the message itself";
    EXPECT_EQ(open.AnalogDatc[0].Kod, 1);
    EXPECT_EQ(open.AnalogDatc[1].Znac, 2.5f);
    EXPECT_EQ(open.AnalogDatc[2].Kod, 3);
    EXPECT_EQ(refreshes, 1);
    const SdpRecord again[] = {makeSdpRecord(2, 0, 7.5f, "T2"), makeSdpRecord(4, 0, 9.0f, "T4")};
    gsm.send(buildSdp(node, 0, clock.now(), again));
    remote.take(28 + 2 * 26 + 2 * 20);
    EXPECT_EQ(open.AnalogDatc[1].Znac, 7.5f);
    EXPECT_EQ(open.AnalogDatc[2].Kod, 3) << "a fourth sensor has no entry";
    const double day = toDayCount(clock.now());
    remote.send(buildGdt(node, day - 1, day + 1, 0, 256 + 2));
    const auto points = readRecords<DatcTrend>(*replyPayload(remote.takeReply()));
    ASSERT_EQ(points.size(), 2u);
    float value = 0;
    std::memcpy(&value, points[1].value, 4);
    EXPECT_EQ(value, 7.5f);

    // Requests for a controller behind the node go to it as "SRC".
    const std::uint32_t poll = PresencePollWord(5, 2);
    EXPECT_EQ(console->requests().SendRequest(node, poll), 0);
    EXPECT_EQ(gsm.take(16), buildSrc(MakeRequestFrame(poll)));
    EXPECT_EQ(console->requests().SendRequest(0x55, poll), 1) << "a node without a connection";

    // Tunnels: a client's 600 bytes reach the node as three messages, the node's answer the client.
    Peer tunnel{quint16(base)};
    ASSERT_TRUE(tunnel.isConnected());
    QByteArray bytes(600, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7);
    tunnel.send(bytes);
    const QByteArray sc = gsm.take(612);
    EXPECT_EQ(sc.left(4), QByteArray("SC1\xff"));
    EXPECT_EQ(sc.mid(259, 4), QByteArray("SC1\xff"));
    EXPECT_EQ(sc.mid(518, 4), QByteArray("SC1\x5a"));
    EXPECT_EQ(sc.mid(4, 255) + sc.mid(263, 255) + sc.mid(522), bytes);
    gsm.send("??" + buildRc(TunnelLine::Com1, node, "answer"));
    EXPECT_EQ(tunnel.take(6), QByteArray("answer")) << "garbage from a node costs a byte at a time";

    // A greeting repeated on the same connection keeps it.
    gsm.send(buildGreeting(node, QStringLiteral("Котельная 1")));
    ASSERT_TRUE(
        pumpUntil([&] { return views.texts().count("Удаленный узел (Котельная 1) подключился") == 2; }));
    EXPECT_TRUE(gsm.isConnected());

    // Silence: ten minutes are allowed, the eleventh ends the connection; SNM keeps it.
    for (int i = 0; i < 5; ++i)
        minuteTick();
    gsm.send(buildSnm(node) + buildRc(TunnelLine::Com1, node, "x"));
    EXPECT_EQ(tunnel.take(1), QByteArray("x")); // both handled, in order
    for (int i = 0; i < 10; ++i)
        minuteTick();
    EXPECT_EQ(console->requests().SendRequest(node, poll), 0) << "ten minutes are allowed";
    gsm.take(16);
    minuteTick();
    EXPECT_TRUE(gsm.waitClosed());
    EXPECT_TRUE(remote.isConnected()) << "consoles do not expire";
    EXPECT_EQ(console->requests().SendRequest(node, poll), 1);

    // Back on a new connection, then on another: the older one is closed, the tunnels stay.
    Peer second(port());
    second.send(buildGreeting(node, QStringLiteral("Котельная 1")));
    ASSERT_TRUE(
        pumpUntil([&] { return views.texts().count("Удаленный узел (Котельная 1) подключился") == 3; }));
    Peer third(port());
    third.send(buildGreeting(node, QStringLiteral("Котельная 1")));
    EXPECT_TRUE(second.waitClosed());
    EXPECT_TRUE(tunnel.isConnected());
    EXPECT_FALSE(hasEvent("Удаленный клиент (127.0.0.1) разорвал соединение..."))
        << "a node's going is not news";
}

TEST_F(ServerTest, TimeBroadcastAndTheLimitsOfWhatWaits) {
    listen();
    const UzelIdent node = 0x42;
    Peer gsm(port());
    gsm.send(buildGreeting(node, QStringLiteral("Узел")));
    ASSERT_TRUE(pumpUntil([&] { return hasEvent("Удаленный узел (Узел) подключился"); }));
    Peer remote(port());
    remote.send(buildConsoleGreeting(QStringLiteral("Пульт")));
    ASSERT_TRUE(pumpUntil([&] { return hasEvent("Удаленный клиент (127.0.0.1) подключился"); }));

    console->state().settings.timeSync = true;
    clock.set(QDateTime(QDate(2030, 4, 3), QTime(3, 0, 0)));
    fake::script().sent.clear();
    console->tick();
    const auto data = TimeBroadcastData(clock.now());
    const TCanFrame clockFrame = MakeDataFrame(kTimeBroadcastWord, data.data(), 6);
    EXPECT_EQ(gsm.take(16), buildSrc(clockFrame));
    ASSERT_EQ(fake::script().sent.size(), 3u) << "own bus, the GSM node's request, the console's (node 0)";
    EXPECT_EQ(fake::script().sent[0].ident, clockFrame.ident);
    EXPECT_EQ(std::vector<std::uint8_t>(fake::script().sent[0].data.begin(),
                                        fake::script().sent[0].data.begin() + 6),
              std::vector<std::uint8_t>(data.begin(), data.end()));

    // A console that takes nothing is cut off once 4 MiB wait for it. The socket only hands its
    // buffer to the system when the loop runs, so the relays below pile up in it.
    const TCanFrame f = frame(0x8000F008u | makeDeviceKey(1, 2), {1, 2, 3, 4, 5, 6, 7, 8});
    for (int i = 0; i < 220 * 1024 && remote.isConnected(); ++i)
        server->relayToConsoles(f, 0);
    EXPECT_TRUE(remote.waitClosed());
    EXPECT_TRUE(hasEvent("Удаленный клиент (127.0.0.1) не принимает данные, соединение закрыто"));

    // A peer that keeps sending what never becomes a message is cut off at 64 KiB.
    Peer flood(port());
    flood.send(QByteArray(70 * 1024, ' '));
    EXPECT_TRUE(flood.waitClosed());
    EXPECT_TRUE(pumpUntil([&] {
        return hasEvent(
            "Удаленный клиент (127.0.0.1): более 64 КБ необработанных данных, соединение закрыто");
    }));
    EXPECT_TRUE(gsm.isConnected());
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
