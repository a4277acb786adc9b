// An hour of the default plant against the console with all its subsystems. The plant's own bus
// reaches the console through the scripted adapter table (frames in, the console's frames back to
// the plant); the remote site's GSM node connects to the console's node-link server over loopback.
// Console and plant share one manual clock, moved a second at a time.
#include "FakeAdapter.h"
#include "../core/HeadlessEnv.h"
#include "Support.h"

#include "NodeAttachment.h"
#include "Simulator.h"
#include "app/KelconSystem.h"
#include "can/DeviceRecord.h"
#include "can/Requests.h"
#include "storage/FrameLog.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace kelcon;
using namespace kelcon::kelsim;

namespace {

constexpr UzelIdent kSever = 0x101; // the GSM node of the default plant's remote site
const QDateTime kStart(QDate(2030, 1, 14), QTime(11, 59, 50));

QDateTime at(int minutes, int seconds) {
    return kStart.addSecs(minutes * 60 + seconds);
}

// The test calls tick() itself at every second of the manual clock. The console's own one-second
// timer would add ticks at whatever plant second it happens to fire in while the sockets are being
// served, and a second tick at second 0 runs the minute's tasks twice.
class HoldTickTimer : public QObject {
public:
    explicit HoldTickTimer(const Console& console) : console_(console) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~HoldTickTimer() override { QCoreApplication::instance()->removeEventFilter(this); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Timer)
            return false;
        const auto* timer = qobject_cast<QTimer*>(watched);
        const auto* where = reinterpret_cast<const char*>(watched);
        const auto* inside = reinterpret_cast<const char*>(&console_);
        return timer && timer->interval() == 1000 && where >= inside && where < inside + sizeof(Console);
    }

private:
    const Console& console_;
};

struct SentFrame {
    QDateTime time;
    TCanFrame frame;
};

struct LoggedFrame {
    QDateTime time;
    TCanFrame frame;
};

class PlantHour : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        fake::reset();
        port = e2e::freePort();
        e2e::presetSetting(dir.path(), QStringLiteral("portremot"), QString::number(port));

        ConsoleEnv env = headlessEnv(dir.path(), clock, views);
        system = std::make_unique<KelconSystem>(env, KelconSystem::Options{});
        hold = std::make_unique<HoldTickTimer>(system->console());
        ASSERT_TRUE(system->start());
        ASSERT_TRUE(console().state().adapterReady) << views.texts().join('\n').toStdString();
        ASSERT_TRUE(system->server().isListening());
        ASSERT_EQ(system->server().serverPort(), port);

        sim = std::make_unique<Simulator>(defaultPlant(), clock);
        ASSERT_EQ(sim->plant().uzly.size(), 1u);
        node = std::make_unique<NodeAttachment>(sim->plant().uzly[0], QStringLiteral("127.0.0.1"), port);
        QObject::connect(node.get(), &NodeAttachment::frameReceived,
                         [this](UzelIdent uzel, const TCanFrame& f) { sim->receive(uzel, f); });
        node->start();
        const QString connected = QStringLiteral("Удаленный узел (Поселок Северный) подключился");
        QDeadlineTimer deadline(5000);
        while (!views.texts().contains(connected) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_TRUE(views.texts().contains(connected)) << views.texts().join('\n').toStdString();
    }

    void TearDown() override {
        node.reset();
        if (system)
            system->shutDown();
    }

    Console& console() { return system->console(); }

    // One second of plant and console time. False when the console did not take in everything the
    // plant sent within that second.
    [[nodiscard]] bool step() {
        // What the console sent since the last second reaches the plant before it plays the next
        // one: its own bus at once, the GSM node's "SRC" once the node has read it.
        QCoreApplication::processEvents();
        auto& sent = fake::script().sent;
        for (; sentSeen < sent.size(); ++sentSeen) {
            sim->receive(0, sent[sentSeen]);
            sentFrames.push_back({clock.now(), sent[sentSeen]});
        }

        clock.advance(1);
        SimOutput out = sim->advance();
        for (const OutFrame& f : out.frames) {
            if (f.uzel == 0) {
                fake::script().incoming.push_back(f.frame);
                ++busFrames;
            } else {
                EXPECT_EQ(f.uzel, kSever);
                node->queueFrame(f.time, f.frame);
            }
        }
        node->flush();
        for (const UzelAlarm& a : out.alarms) {
            node->sendAlarm(a);
            ++nodeMessages;
        }
        for (const UzelSensors& s : out.sensors) {
            node->sendSensors(s);
            ++nodeMessages;
            sensorRecords += int(s.sensors.size());
        }
        if (!node->isConnected())
            return false;

        // The node's messages first, at this second's time, then the tick's adapter poll.
        const auto taken = [&] {
            return console().state().receivedFrames == quint32(node->framesSent() + nodeMessages + busFrames -
                                                               qint64(fake::script().incoming.size()));
        };
        console().tick();
        QDeadlineTimer deadline(5000);
        while (!taken() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return taken();
    }

    [[nodiscard]] bool runUntil(const QDateTime& t) {
        while (clock.now() < t)
            if (!step())
                return false;
        return true;
    }

    // One controller's frames as the month's log table holds them, in the order they came.
    std::vector<LoggedFrame> logged(UzelIdent uzel, int number, int type) {
        std::vector<LoggedFrame> out;
        const QString sql =
            QStringLiteral("select DateInf, IdentCAN, LengData, DataCAN12, DataCAN34, DataCAN56, "
                           "DataCAN78 from ") +
            frameLogTableName(kStart.date()) + QStringLiteral(" where UzelIdent=:u order by DateInf");
        console().eventDb().forEach(sql, {{QStringLiteral("u"), uzel}}, [&](const DbRow& row) {
            LoggedFrame f;
            f.time = row.toDateTime(QStringLiteral("DATEINF"));
            f.frame.ident = std::uint32_t(row.at(1).toInt());
            f.frame.len = std::uint8_t(row.at(2).toInt());
            for (int i = 0; i < 4; ++i) {
                const int v = row.at(3 + i).toInt();
                f.frame.data[std::size_t(2 * i)] = std::uint8_t((v >> 8) & 0xFF);
                f.frame.data[std::size_t(2 * i + 1)] = std::uint8_t(v & 0xFF);
            }
            if (deviceKey(f.frame.ident) == makeDeviceKey(number, type))
                out.push_back(f);
            return true;
        });
        return out;
    }

    // A device window's record fed the controller's logged frames received up to `until`.
    std::unique_ptr<TUstr> decodedUntil(const Kontroller& k, const QDateTime& until) {
        auto rec = CreateDeviceRecord(k.type(), k.number(), k.uzel(), std::uint8_t(k.zdan()));
        for (const LoggedFrame& f : logged(k.uzel(), k.number(), k.type()))
            if (f.time <= until)
                rec->Decode(f.frame);
        return rec;
    }

    QTemporaryDir dir;
    ManualClock clock{kStart};
    RecordingViews views;
    quint16 port = 0;
    std::unique_ptr<KelconSystem> system;
    std::unique_ptr<HoldTickTimer> hold;
    std::unique_ptr<Simulator> sim;
    std::unique_ptr<NodeAttachment> node;
    qint64 busFrames = 0;
    qint64 nodeMessages = 0; // "SAP" and "SDP"; each counts as one received frame
    int sensorRecords = 0;   // each reading of an "SDP" is dispatched and logged like a frame
    std::size_t sentSeen = 0;
    std::vector<SentFrame> sentFrames;
};

TEST_F(PlantHour, ConsoleFollowsTheDefaultPlantForAnHour) {
    // Ten minutes: every controller has introduced itself, the scheduled faults of the first eight
    // minutes have happened.
    ASSERT_TRUE(runUntil(at(10, 10)));

    struct Alarm {
        QDateTime time;
        QString text;
    };
    const QString sever = QStringLiteral(" на узле\"Поселок Северный\"");
    const Alarm alarms[] = {
        {at(0, 40), QStringLiteral("Авария 1 насоса 1 контура  на KEL-08 (Школа №5) адрес № 0005")},
        {at(2, 0), QStringLiteral("Авария датчика температуры 3 контура  на KEL-04 (Школа №5) адрес № 0012")},
        {at(3, 0), QStringLiteral("Авария - нет напряжения  на KEL-08 (Северный) адрес № 0007") + sever},
        {at(5, 0),
         QStringLiteral("Внимание: появилось напряжение, авария снята  на KEL-08 (Северный) адрес № 0007") +
             sever},
        {at(6, 0), QStringLiteral("Конфликт адресов KEL-06 адрес № 0034")},
        {at(8, 0), QStringLiteral("Авария 1 насоса 2 контура  на KEL-02 (Северный) адрес № 0024") + sever},
    };
    const QString errorLog = e2e::readFile(dir.filePath(QStringLiteral("KelError.log")));
    for (const Alarm& a : alarms) {
        const QString line = logLine(a.time, a.text);
        EXPECT_TRUE(errorLog.contains(line + '\n')) << line.toStdString() << "\nKelError.log:\n"
                                                    << errorLog.toStdString();
        EXPECT_EQ(views.events.count(line), 1) << line.toStdString();
        EXPECT_TRUE(views.alarms.contains(line)) << line.toStdString();
    }
    // The GSM node itself tells of its supply power.
    const QString sapLost = QStringLiteral(" на узле: \"Поселок Северный\"");
    EXPECT_EQ(views.texts().filter(sapLost).size(), 2) << views.texts().join('\n').toStdString();

    // The operator raises the school's hot-water set-point, and the remote site's minimum supply
    // temperature of its first circuit (that one goes to the GSM node as "SRC").
    Kontroller& school = *sim->find(0, 5);
    Kontroller& remote = *sim->find(kSever, 7);
    const QDateTime asked = clock.now();
    EXPECT_EQ(decodedUntil(school, asked)->GVS.Ustavka, 55);
    EXPECT_EQ(decodedUntil(remote, asked)->Kontur[0].TempMin, 25);
    const std::uint32_t up = RequestWord(makeDeviceKey(5, 8), kSlotGVS, 1, RequestOp::Increase);
    const std::uint32_t upRemote = RequestWord(makeDeviceKey(7, 8), 0, 1, RequestOp::Increase);
    EXPECT_EQ(console().requests().SendRequest(0, up), 0);
    EXPECT_EQ(console().requests().SendRequest(kSever, upRemote), 0);
    ASSERT_TRUE(runUntil(asked.addSecs(2)));
    EXPECT_EQ(school.gvs().setpoint, 56);
    EXPECT_EQ(remote.kontury()[0].minTemp, 26);
    // The answers are parameter reports the console logged at once (the GSM node may take a
    // second more to read its "SRC"), and decoded they carry the new values.
    EXPECT_EQ(decodedUntil(school, asked.addSecs(1))->GVS.Ustavka, 56);
    EXPECT_EQ(decodedUntil(remote, asked.addSecs(2))->Kontur[0].TempMin, 26);

    ASSERT_TRUE(runUntil(at(60, 0)));
    DbConnection& db = console().eventDb();

    // Every controller of the plant is registered with the names it sent.
    for (const auto& k : sim->kontrollery()) {
        SCOPED_TRACE(deviceTitle(k->type(), k->number()).toStdString());
        const DbRows rows =
            db.query(QStringLiteral("select * from SPISKEL where UzelIdent=:u and PriborNo=:n and TypeNo=:t"),
                     {{QStringLiteral("u"), k->uzel()},
                      {QStringLiteral("n"), k->number()},
                      {QStringLiteral("t"), k->type()}});
        ASSERT_FALSE(rows.empty());
        const KontrollerDesc& desc = sim->plant().kontrollery[std::size_t(&k - &sim->kontrollery()[0])];
        std::set<int> zones;
        for (const DbRow& row : rows) {
            EXPECT_EQ(row.toString(QStringLiteral("NAMEZDAN")).trimmed(), sim->plant().zdan(k->zdan())->name);
            EXPECT_EQ(row.toInt(QStringLiteral("NOMZDAN")), k->zdan());
            EXPECT_GE(row.toDateTime(QStringLiteral("LASTDATE")), at(59, 0));
            if (k->type() == 6) {
                EXPECT_EQ(row.toString(QStringLiteral("NAMEETAZ")).trimmed(), desc.etazName);
                EXPECT_EQ(row.toInt(QStringLiteral("NOMETAZ")), desc.etaz);
                zones.insert(row.toInt(QStringLiteral("NOMZON")));
            }
        }
        if (k->type() == 6) {
            for (const ZonDesc& z : desc.zony) {
                if (z.number != 0) {
                    EXPECT_TRUE(zones.count(z.number)) << "zone " << z.number;
                }
            }
        }
    }

    // The month's log holds every frame the plant sent, of every controller.
    const QString table = frameLogTableName(kStart.date());
    const qint64 rows = db.query(QStringLiteral("select count(*) from ") + table).at(0).at(0).toInt();
    EXPECT_EQ(rows, busFrames + node->framesSent() + sensorRecords);
    for (const auto& k : sim->kontrollery())
        EXPECT_GT(logged(k->uzel(), k->number(), k->type()).size(), 100u)
            << deviceTitle(k->type(), k->number()).toStdString();

    // KEL-02 23 went silent at 4:00 for 45 minutes. Five minutes later the minute check polls it,
    // every minute until it is heard again, and the half hour raises the alarm once.
    std::vector<QDateTime> polls;
    std::set<std::uint32_t> polled;
    for (const SentFrame& s : sentFrames) {
        if ((s.frame.ident & 0x8000FF0Fu) != 0x80000000u || s.frame.len != 0x40)
            continue;
        polled.insert(deviceKey(s.frame.ident));
        if (deviceKey(s.frame.ident) == makeDeviceKey(23, 2))
            polls.push_back(s.time);
    }
    EXPECT_EQ(polled, std::set<std::uint32_t>{makeDeviceKey(23, 2)}) << "no other controller was silent";
    ASSERT_FALSE(polls.empty());
    EXPECT_EQ(polls.front(), QDateTime(kStart.date(), QTime(12, 9, 0)));
    EXPECT_LT(polls.back(), QDateTime(kStart.date(), QTime(12, 50, 0)));
    const QString inactive = logLine(QDateTime(kStart.date(), QTime(12, 30, 0)),
                                     QStringLiteral("Авария - есть неактивные устройства"));
    EXPECT_EQ(views.events.count(inactive), 1);
    EXPECT_EQ(views.texts().count(QStringLiteral("Авария - есть неактивные устройства")), 1);
}

} // namespace
