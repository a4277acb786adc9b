#include "FakeAdapter.h"
#include "HeadlessEnv.h"

#include "can/RequestSender.h"
#include "core/Console.h"
#include "storage/Schema.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kelcon;

namespace {

TCanFrame frame(std::uint32_t word, std::initializer_list<std::uint8_t> data)
{
    TCanFrame f;
    f.ident = word;
    f.len = std::uint8_t(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

QString readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        ASSERT_TRUE(dir.isValid());
    }

    std::unique_ptr<Console> make(bool withLibrary = true)
    {
        ConsoleEnv env = headlessEnv(dir.path(), clock, views);
        env.pause = [this](int ms) { pauses << ms; };
        env.loadAdapterLibrary = [withLibrary, this]() -> std::unique_ptr<UcanxLibrary> {
            ++loads;
            return withLibrary ? ucanxFromTable(fake::api()) : nullptr;
        };
        return std::make_unique<Console>(env);
    }

    void writeSetting(const QString& name, const QString& value)
    {
        // A first start creates the files and every row; the value is then changed in place.
        {
            auto c = make();
            ASSERT_TRUE(c->start());
            c->settings().write(name, value);
        }
        views = RecordingViews{};
        fake::reset();
        loads = 0;
    }

    int countRows(Console& c, const QString& sql)
    {
        return c.eventDb().query(sql).at(0).at(0).toInt();
    }

    QTemporaryDir dir;
    ManualClock clock{QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5))};
    RecordingViews views;
    QList<int> pauses;
    int loads = 0;
};

TEST_F(ConsoleTest, FirstStartBringsTheAdapterUpAndTicks)
{
    fake::script().channels = {3};
    auto c = make();
    ASSERT_TRUE(c->start());
    EXPECT_TRUE(c->state().adapterReady);
    EXPECT_EQ(views.texts(), QStringList({"Номер канала 3", "Прием разрешен"}));
    EXPECT_EQ(views.title, QStringLiteral("Диспетчеризация KEL"));
    EXPECT_TRUE(QFile::exists(dir.filePath("kelcon.fdb")));
    EXPECT_TRUE(QFile::exists(dir.filePath("kelcon.sdb")));

    c->tick();
    EXPECT_EQ(views.status, QStringLiteral("-   принято пакетов: 0     | F1 - Помощь"));
    EXPECT_EQ(views.hint, QStringLiteral(": принято пакетов: 0"));
    c->tick();
    c->tick();
    c->tick();
    c->tick();
    EXPECT_TRUE(views.status.startsWith(QStringLiteral("-   "))) << "the spinner goes round - \\ | / -";

    // The controller set-up, step by step.
    const std::vector<std::string> expected = {
        "CnOpen 1", "CnOpen 2", "CnOpen 3", "CnGetDevParameters", "CnSetDevParameters", "CnInit 0",
        "CnSetRegisters 0f=80", "CnGetRegisters 0f", "CnSetRegisters 28=06", "CnSetRegisters 29=f7",
        "CnSetRegisters 0f=00", "CnGetRegisters 0f", "CnSetBaudRate 6", "CnSetMaskFilters zero", "CnRecieveEnable"};
    EXPECT_EQ(fake::script().calls, expected);
    EXPECT_EQ(fake::script().written.at(2), 4);
    EXPECT_EQ(fake::script().written.at(3), 4);

    ASSERT_TRUE(c->confirmExit());
    EXPECT_EQ(views.questions, QStringList{QStringLiteral("Вы действительно хотите закрыть программу?")});
    EXPECT_EQ(fake::script().calls.back(), "CnClose");
    EXPECT_EQ(fake::script().calls.at(fake::script().calls.size() - 2), "CnRecieveDisable");
    EXPECT_EQ(views.texts().back(), QStringLiteral("Закрываем программу"));
    EXPECT_TRUE(readFile(dir.filePath("Kelcon.log")).contains("->Закрываем программу\n"));
}

TEST_F(ConsoleTest, AnsweringNoKeepsTheProgramRunning)
{
    auto c = make();
    ASSERT_TRUE(c->start());
    views.answer = false;
    EXPECT_FALSE(c->confirmExit());
    EXPECT_TRUE(c->isRunning());
    EXPECT_FALSE(views.texts().contains(QStringLiteral("Закрываем программу")));
}

TEST_F(ConsoleTest, AdapterSetUpFailuresAreLoggedAndRetriedEveryMinute)
{
    struct Case {
        const char* name;
        void (*spoil)(fake::Script&);
        QString message;
    };
    const Case cases[] = {
        {"no channel", [](fake::Script& s) { s.channels.clear(); }, "Ошибка открытия канала!"},
        {"init fails", [](fake::Script& s) { s.initOk = false; }, "Ошибка инициализации устройства!"},
        {"init answer wrong", [](fake::Script& s) { s.initAnswer = 0x21; }, "Ошибка инициализации устройства!"},
        {"no configuration mode", [](fake::Script& s) { s.configModeReadback = 0x01; }, "Ошибка установки конфигурации"},
        {"not back to normal mode", [](fake::Script& s) { s.normalModeReadback = 0x01; }, "Ошибка установки конфигурации"},
        {"bit rate", [](fake::Script& s) { s.baudOk = false; }, "Ошибка установки cкорости"},
        {"filters", [](fake::Script& s) { s.filtersOk = false; }, "Ошибка установки фильтров и масок"},
        {"reception", [](fake::Script& s) { s.enableOk = false; }, "Прием запрещен"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        fake::reset();
        views = RecordingViews{};
        k.spoil(fake::script());
        QTemporaryDir own;
        Console c(headlessEnv(own.path(), clock, views));
        clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5)));
        ASSERT_TRUE(c.start());
        EXPECT_FALSE(c.state().adapterReady);
        EXPECT_FALSE(c.state().adapterLibraryLoaded);
        EXPECT_EQ(views.texts().count(k.message), 1);
        if (!fake::script().channels.empty()) {
            EXPECT_EQ(fake::script().calls.back(), "CnClose") << "the opened channel is closed again";
        }

        for (int s = 6; s < 60; ++s) { // no retry within the minute
            clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 0, s)));
            c.tick();
        }
        EXPECT_EQ(views.texts().count(k.message), 1);
        clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 1, 0)));
        c.tick();
        EXPECT_EQ(views.texts().count(k.message), 2);
    }
}

TEST_F(ConsoleTest, ParameterBlockAlreadyRightIsNotWritten)
{
    fake::script().params = {8, 0, 4, 4, 0, 0, 0, 0};
    auto c = make();
    ASSERT_TRUE(c->start());
    EXPECT_TRUE(c->state().adapterReady);
    EXPECT_TRUE(fake::script().written.empty());
}

TEST_F(ConsoleTest, MissingLibraryIsReportedAtStartAndEveryMinute)
{
    auto c = make(false);
    ASSERT_TRUE(c->start());
    EXPECT_EQ(views.texts().count(QStringLiteral("Ошибка открытия CAN-библиотеки!")), 1);
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 1, 0)));
    c->tick();
    EXPECT_EQ(views.texts().count(QStringLiteral("Ошибка открытия CAN-библиотеки!")), 2);
}

TEST_F(ConsoleTest, RemoteControlOnlyNeverTouchesTheAdapter)
{
    writeSetting(QStringLiteral("only_remot"), QStringLiteral("true"));
    writeSetting(QStringLiteral("com1_param"), QStringLiteral("1D3005123"));
    auto c = make();
    bool serverStarted = false;
    c->hooks().startServer = [&](quint16 port) {
        serverStarted = port == 4462;
        return true;
    };
    // Bridge 1 is on; bridge 2, stored off, is left alone.
    QList<std::pair<int, TComParam>> bridges;
    c->hooks().configureBridge = [&](int n, const TComParam& p) { bridges.append({n, p}); };
    c->hooks().bridgeListening = [&](int n) { return n == 1; };
    ASSERT_TRUE(c->start());
    EXPECT_EQ(loads, 0);
    EXPECT_TRUE(serverStarted);
    EXPECT_EQ(bridges, (QList<std::pair<int, TComParam>>{{1, TComParam{true, 13, 3, 0, 0, 5123}}}));
    EXPECT_EQ(views.texts(), (QStringList{QStringLiteral("Старт сервиса удаленного управления"),
                                          QStringLiteral("COM1: Старт сервиса удаленного доступа")}));
    c->tick();
    EXPECT_EQ(views.status, QStringLiteral("-   только удаленное управление     | F1 - Помощь"));
    EXPECT_EQ(views.hint, QStringLiteral(": только удаленное управление"));
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 1, 0)));
    c->tick();
    EXPECT_EQ(loads, 0);
}

TEST_F(ConsoleTest, LockedEventDatabaseEndsTheStartAfterThreeAttempts)
{
    { // create the files
        auto c = make();
        ASSERT_TRUE(c->start());
    }
    views = RecordingViews{};
    DbConnection holder;
    holder.open(databasePath(dir.path(), kEventDbFile));
    // The embedded engine gives a file to one process; a second attachment of ours shares it,
    // so the lock comes from another process.
    QProcess isql;
    isql.start(QStringLiteral("isql-fb"), {QStringLiteral("-q"), QStringLiteral("-user"), QStringLiteral("SYSDBA"),
                                            QStringLiteral("-password"), kDbPassword, dir.filePath("kelcon.fdb")});
    ASSERT_TRUE(isql.waitForStarted());
    isql.write("select 'held' from rdb$database;\n");
    QByteArray out;
    while (!out.contains("held\n") && isql.waitForReadyRead(10000))
        out += isql.readAll();
    holder.close();
    const QString logBefore = readFile(dir.filePath("Kelcon.log"));

    auto c = make();
    EXPECT_FALSE(c->start());
    EXPECT_EQ(pauses, QList<int>({1000, 1000}));
    EXPECT_EQ(views.infos, QStringList{QStringLiteral("Файл Kelcon.fdb поврежден или заблокирован\n"
                                                      "Попробуйте снова, разблокируйте или удалите файл")});
    EXPECT_EQ(readFile(dir.filePath("Kelcon.log")), logBefore) << "no log line is written";
    isql.closeWriteChannel();
    isql.waitForFinished(10000);
}

TEST_F(ConsoleTest, BusyBusIsDrainedEveryTick)
{
    auto c = make();
    ASSERT_TRUE(c->start());
    for (int i = 0; i < 250; ++i)
        fake::script().incoming.push_back(frame(makeDeviceKey(i % 20 + 1, 8) | kParameterReport, {1, 50}));
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 0, 6)));
    c->tick();
    EXPECT_EQ(c->state().receivedFrames, 250u);
    EXPECT_EQ(fake::script().receiveCalls, 3);
    EXPECT_EQ(countRows(*c, "select count(*) from CAN_0430"), 250);
    EXPECT_EQ(countRows(*c, "select count(*) from SPISKEL"), 20);
    c->tick();
    EXPECT_EQ(views.status, QStringLiteral("\\   принято пакетов: 250     | F1 - Помощь"));
}

TEST_F(ConsoleTest, FailedPollStopsPollingUntilTheNextMinute)
{
    auto c = make();
    ASSERT_TRUE(c->start());
    fake::script().receiveOk = false;
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 0, 6)));
    c->tick();
    c->tick();
    EXPECT_FALSE(c->state().adapterReady);
    EXPECT_EQ(views.texts().count(QStringLiteral("Ошибка связи с CAN")), 1);
    EXPECT_EQ(fake::script().receiveCalls, 1);
    fake::script().receiveOk = true;
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 1, 0)));
    c->tick();
    EXPECT_TRUE(c->state().adapterReady);
    EXPECT_EQ(views.texts().count(QStringLiteral("Прием разрешен")), 2);
}

TEST_F(ConsoleTest, MinuteAndHourTasksRunInOrder)
{
    auto c = make();
    QStringList ran;
    auto& h = c->hooks();
    h.expireIdleNodes = [&] { ran << "expire"; };
    h.mailMinuteTick = [&](const QDateTime&) { ran << "mail"; };
    h.reconnectRemote = [&] { ran << "reconnect"; };
    h.checkInactiveDevices = [&] { ran << "inactive"; };
    h.updateMinuteTick = [&](bool listOpen) { ran << (listOpen ? "update, list open" : "update"); };
    h.updateHourTick = [&](const QDateTime& t) { ran << "arm update " + t.toString("ddd HH:mm"); };
    h.sendTimeBroadcast = [&] { ran << "time"; };
    ASSERT_TRUE(c->start());
    c->state().settings.timeSync = true;
    c->state().remoteMode = true;

    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 0, 1)));
    c->tick();
    EXPECT_TRUE(ran.isEmpty()) << "second 1 runs no minute task";

    clock.set(QDateTime(QDate(2030, 4, 1), QTime(12, 1, 0)));
    c->tick();
    EXPECT_EQ(ran, QStringList({"expire", "mail", "reconnect", "inactive", "update"}));
    c->tick();
    EXPECT_EQ(ran.size(), 5) << "a second tick within the same second 0 runs no minute task again";

    ran.clear();
    c->state().remoteLinkUp = true;
    c->state().listWindowOpen = true;
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(10, 0, 0)));
    c->tick();
    EXPECT_EQ(ran, QStringList({"expire", "mail", "inactive", "update, list open", "arm update Mon 10:00"}));

    ran.clear();
    clock.set(QDateTime(QDate(2030, 4, 2), QTime(3, 0, 0)));
    c->tick();
    EXPECT_EQ(ran.last(), QStringLiteral("time"));
    c->state().settings.timeSync = false;
    ran.clear();
    clock.set(QDateTime(QDate(2030, 4, 3), QTime(3, 0, 0)));
    c->tick();
    EXPECT_FALSE(ran.contains("time"));
}

TEST_F(ConsoleTest, AlarmSignalBlinksWhileTheIndicatorIsOn)
{
    auto c = make();
    ASSERT_TRUE(c->start());
    views.shown = true;
    c->state().alarmIndicatorOn = true;
    std::vector<bool> shapes;
    for (int i = 0; i < 4; ++i) {
        c->tick();
        shapes.push_back(views.shapes);
    }
    EXPECT_EQ(shapes, std::vector<bool>({true, false, true, false}));
    EXPECT_EQ(views.alerts, 2);

    c->state().blinkCounter = 3600;
    c->tick();
    EXPECT_FALSE(c->state().alarmIndicatorOn);
    EXPECT_FALSE(views.shown);
    EXPECT_EQ(c->state().blinkCounter, 0u);
    c->tick();
    c->tick();
    EXPECT_FALSE(views.shapes);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
