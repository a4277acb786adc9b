// The frame dispatcher of a started console: frame log, register, alarm line and its records, in
// order, for frames of the own bus and of other nodes; a database failure costs one frame only.
#include "FakeAdapter.h"
#include "../core/HeadlessEnv.h"
#include "Support.h"

#include "core/Console.h"
#include "storage/FrameLog.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kelcon;
using canbus::frame;
using canbus::nameFrame;
using canbus::readFile;

namespace {

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        ASSERT_TRUE(dir.isValid());
        ConsoleEnv env = headlessEnv(dir.path(), clock, views);
        console = std::make_unique<Console>(env);
        console->hooks().nodeName = [](UzelIdent node) {
            return node == 3 ? QStringLiteral("Поселок") : QString();
        };
        ASSERT_TRUE(console->start());
        views.events.clear();
    }

    int count(const QString& sql, const DbParams& params = {}) {
        return console->eventDb().query(sql, params).at(0).at(0).toInt();
    }
    int logged(std::uint32_t word, UzelIdent node) {
        return count(QStringLiteral("select count(*) from ") + frameLogTableName(now.date()) +
                         QStringLiteral(" where IdentCAN=:w and UzelIdent=:n"),
                     {{QStringLiteral("w"), int(std::int32_t(word))}, {QStringLiteral("n"), node}});
    }
    int registered(int number, int type, UzelIdent node) {
        return count(
            QStringLiteral("select count(*) from SPISKEL where PriborNo=:p and TypeNo=:t and UzelIdent=:n"),
            {{QStringLiteral("p"), number}, {QStringLiteral("t"), type}, {QStringLiteral("n"), node}});
    }

    QTemporaryDir dir;
    ManualClock clock{QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5))};
    QDateTime now{QDateTime(QDate(2030, 4, 1), QTime(11, 59, 58))}; // receive time of the poll
    RecordingViews views;
    std::unique_ptr<Console> console;
};

TEST_F(Dispatch, AlarmFrameBecomesTheAlarmLineEverywhere) {
    FrameDispatcher& d = console->dispatcher();
    const std::uint32_t key = makeDeviceKey(5, 8);
    d.dispatch(nameFrame(key | 0xDF04u, 2, 0, 0, QStringLiteral("Котел")), now, 0);
    d.dispatch(nameFrame(key | 0xDF05u, 2, 0, 0, QStringLiteral("ьная ")), now, 0);
    EXPECT_TRUE(views.alarms.isEmpty());
    EXPECT_FALSE(console->state().alarmIndicatorOn);

    // Each step sees what the steps before it did, and nothing of the steps after it.
    const std::uint32_t alarm = key | kAlarmReport;
    std::vector<std::string> order;
    d.relayToConsoles = [&](const TCanFrame& f, UzelIdent node) {
        order.push_back("relay");
        EXPECT_EQ(f.ident, alarm);
        EXPECT_EQ(registered(5, 8, node), node == 0 ? 1 : 0) << "relayed before the register update";
    };
    d.forwardAlarm = [&](const TCanFrame&, const QDateTime& t, UzelIdent node) {
        order.push_back("forward");
        EXPECT_EQ(t, now);
        EXPECT_EQ(registered(5, 8, node), 1);
        EXPECT_EQ(count(QStringLiteral("select count(*) from SPISAVAR where UzelIdent=:n"), {{"n", node}}),
                  1);
        EXPECT_EQ(logged(alarm, node), 0) << "stored in the frame log after the alarm";
    };

    struct Case {
        UzelIdent node;
        QString text;
    };
    const Case cases[] = {
        {0, QStringLiteral("Авария датчика температуры 1 контура, Авария датчика температуры 3 контура , "
                           "Авария насоса рециркуляции ГВС  на KEL-08 (Котельная) адрес № 0005")},
        {3, QStringLiteral("Авария датчика температуры 1 контура, Авария датчика температуры 3 контура , "
                           "Авария насоса рециркуляции ГВС  на KEL-08 адрес № 0005 на узле\"Поселок\"")},
    };
    for (const Case& c : cases) {
        order.clear();
        d.dispatch(frame(alarm, {0, 0x05, 3, 0x20}), now, c.node);
        EXPECT_EQ(order, (std::vector<std::string>{"relay", "forward"}));

        const QString line = QStringLiteral("01.04.2030 11:59:58 ->") + c.text;
        EXPECT_EQ(views.events.last(), line);
        EXPECT_EQ(views.alarms.last(), line);
        EXPECT_TRUE(readFile(dir.filePath("KelError.log")).endsWith(line + QLatin1Char('\n')));
        EXPECT_TRUE(readFile(dir.filePath("Kelcon.log")).endsWith(line + QLatin1Char('\n')));
        const DbRows avar = console->eventDb().query(
            QStringLiteral("select DateInf, TextAvar from SPISAVAR where UzelIdent=:n"), {{"n", c.node}});
        ASSERT_EQ(avar.size(), 1u);
        EXPECT_EQ(avar[0].toString("TEXTAVAR"), c.text.left(50));
        EXPECT_EQ(avar[0].toDateTime("DATEINF"), now);
        EXPECT_EQ(logged(alarm, c.node), 1);
        EXPECT_EQ(registered(5, 8, c.node), 1);
    }
    EXPECT_TRUE(console->state().alarmIndicatorOn);
    EXPECT_EQ(views.restores, 2);
    EXPECT_EQ(views.alarms.size(), 2);
    d.relayToConsoles = nullptr;
    d.forwardAlarm = nullptr;

    // Reports without alarm bits, and a make-up warning, are logged and registered but not signalled.
    d.dispatch(frame(alarm, {0, 0, 1, 0}), now, 0);
    d.dispatch(frame(key | kParameterReport, {0xE1, 1}), now, 0);
    EXPECT_EQ(views.alarms.size(), 2);
    EXPECT_EQ(logged(alarm, 0), 2);
    EXPECT_EQ(logged(key | kParameterReport, 0), 1);
    EXPECT_TRUE(views.errors.isEmpty()) << views.errors.join('\n').toStdString();
}

TEST_F(Dispatch, DatabaseFailureCostsOneFrame) {
    DbConnection& db = console->eventDb();
    // A register that refuses one controller, as a full or damaged table would refuse all of them.
    db.execute(QStringLiteral("CREATE EXCEPTION SPISKEL_REFUSED 'register refused'"));
    db.execute(QStringLiteral("CREATE TRIGGER SPISKEL_GUARD FOR SPISKEL BEFORE INSERT OR UPDATE AS BEGIN "
                              "IF (NEW.PRIBORNO = 999) THEN EXCEPTION SPISKEL_REFUSED; END"));
    db.commit();

    FrameDispatcher& d = console->dispatcher();
    const std::uint32_t refused = makeDeviceKey(999, 8) | kAlarmReport;
    const std::uint32_t next = makeDeviceKey(998, 8) | kAlarmReport;
    d.dispatch(frame(refused, {0, 1}), now, 0);
    ASSERT_EQ(views.errors.size(), 1);
    EXPECT_TRUE(views.errors[0].contains(QStringLiteral("register refused")))
        << views.errors[0].toStdString();
    EXPECT_EQ(views.texts().last(), views.errors[0]) << "the failure is an event line too";
    EXPECT_EQ(logged(refused, 0), 0) << "the frame's remaining steps are skipped";
    EXPECT_TRUE(views.alarms.isEmpty());

    d.dispatch(frame(next, {0, 1}), now, 0);
    EXPECT_EQ(views.errors.size(), 1);
    EXPECT_EQ(registered(998, 8, 0), 1);
    EXPECT_EQ(logged(next, 0), 1);
    EXPECT_EQ(views.alarms.size(), 1);
}

TEST_F(Dispatch, ShutdownSurvivesAFailedCommit) {
    // The frame log's insert is prepared on the month's table, so dropping it cannot be
    // committed: the shutdown's commit fails.
    console->dispatcher().dispatch(frame(makeDeviceKey(7, 2) | kStateReport, {1, 0}), now, 0);
    console->eventDb().execute(QStringLiteral("DROP TABLE ") + frameLogTableName(now.date()));
    EXPECT_NO_THROW(console->shutDown());
    EXPECT_FALSE(console->eventDb().isOpen());
    const QStringList texts = views.texts();
    ASSERT_GE(texts.size(), 2);
    EXPECT_TRUE(texts[texts.size() - 2].contains(QStringLiteral("CAN_0430")))
        << texts.join('\n').toStdString();
    EXPECT_EQ(texts.last(), QStringLiteral("Закрываем программу"));
}

} // namespace
