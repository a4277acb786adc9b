#include "storage/CommitScheduler.h"
#include "storage/Db.h"
#include "storage/FrameLog.h"
#include "storage/Schema.h"
#include "storage/Settings.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <map>

using namespace kelcon;

namespace {

QString isqlPath() {
    return QStandardPaths::findExecutable(QStringLiteral("isql-fb"));
}

// Another process holding a file, as a second console or an admin tool would: the embedded
// engine locks a database for the process that attached it. The process is this test program
// started with --hold (see main).
class HeldElsewhere {
public:
    explicit HeldElsewhere(const QString& file) {
        proc_.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold"), file});
        while (!output_.contains("attached") && !output_.contains("failed") && proc_.waitForReadyRead(30000))
            output_ += proc_.readAllStandardOutput();
    }
    ~HeldElsewhere() {
        proc_.closeWriteChannel();
        if (!proc_.waitForFinished(30000))
            proc_.kill();
    }
    bool attached() const { return output_.contains("attached"); }

private:
    QProcess proc_;
    QByteArray output_;
};

int holdUntilStdinCloses(const QString& file) {
    DbConnection db;
    try {
        db.open(file);
        db.query(QStringLiteral("select * from RDB$DATABASE"));
    } catch (const DbError&) {
        std::fputs("failed\n", stdout);
        return 1;
    }
    std::fputs("attached\n", stdout);
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
    return 0;
}

class Folder : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    QString path(const QString& file) const { return dir_.filePath(file); }
    QString folder() const { return dir_.path(); }
    QTemporaryDir dir_;
};

// ---- the wrapper ----

TEST(PositionalSql, NamesBecomeMarksOutsideQuotesAndComments) {
    struct Case {
        const char* name;
        QString sql;
        QString expected;
        QStringList names;
    };
    const Case cases[] = {
        {"plain",
         "select * from PARAM where NameParam=:NParam",
         "select * from PARAM where NameParam=?",
         {"NParam"}},
        {"repeated name keeps every place",
         "update T set A=:X where B=:X",
         "update T set A=? where B=?",
         {"X", "X"}},
        {"quoted text untouched",
         "select ':no' from T where A=:Yes",
         "select ':no' from T where A=?",
         {"Yes"}},
        {"doubled quote stays in literal", "select 'it''s :no' from T", "select 'it''s :no' from T", {}},
        {"quoted identifier untouched", "select \":no\" from T", "select \":no\" from T", {}},
        {"line comment untouched",
         "select 1 -- :no\nfrom T where A=:a1_b",
         "select 1 -- :no\nfrom T where A=?",
         {"a1_b"}},
        {"block comment untouched", "select /* :no */ :P from T", "select /* :no */ ? from T", {"P"}},
        {"names end at punctuation", "values (:DateTime,:CANLeng)", "values (?,?)", {"DateTime", "CANLeng"}},
    };
    for (const Case& c : cases) {
        QStringList names;
        EXPECT_EQ(toPositionalSql(c.sql, &names), c.expected) << c.name;
        EXPECT_EQ(names, c.names) << c.name;
    }
}

class Wrapper : public Folder {
protected:
    void SetUp() override {
        Folder::SetUp();
        db_.create(path(QStringLiteral("w.fdb")));
        db_.execute(QStringLiteral("CREATE TABLE T (NAME CHAR(10), S SMALLINT, I INTEGER, D TIMESTAMP)"));
        db_.commit();
    }
    DbConnection db_{TransactionMode::ReadCommitted};
};

TEST_F(Wrapper, ValuesRoundTripWithCyrillicFillingChar10) {
    const QString name = QStringLiteral("Котельная1"); // ten characters, ten bytes in Windows-1251
    ASSERT_EQ(name.size(), 10);
    const QDateTime t(QDate(2030, 4, 1), QTime(0, 0, 5, 120));
    db_.execute(QStringLiteral("insert into T (NAME,S,I,D) values (:Name,:S,:I,:D)"),
                {{"name", name}, {"S", -32768}, {"I", -2147483647 - 1}, {"D", t}});
    db_.execute(QStringLiteral("insert into T (NAME,S,I,D) values (:Name,:S,:I,:D)"),
                {{"Name", "ab"}, {"S", DbValue()}, {"I", nullptr}, {"D", DbValue()}});
    db_.commit();

    const DbRows rows = db_.query(QStringLiteral("select * from T order by S nulls last"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].toString("name"), name);
    EXPECT_EQ(rows[0].toInt("s"), -32768);
    EXPECT_EQ(rows[0].value("I").toInt64(), -2147483648LL);
    EXPECT_EQ(rows[0].toDateTime("D"), t);
    EXPECT_EQ(rows[1].toString("NAME"), QStringLiteral("ab")) << "CHAR padding is not part of the value";
    EXPECT_TRUE(rows[1].isNull("S"));
    EXPECT_TRUE(rows[1].isNull("I"));
    EXPECT_TRUE(rows[1].isNull("D"));

    // The bytes on disk are Windows-1251, one per character, as older files have them.
    const DbRows raw =
        db_.query(QStringLiteral("select octet_length(trim(NAME)) as N from T where S = -32768"));
    EXPECT_EQ(raw.at(0).toInt("N"), 10);
}

TEST_F(Wrapper, FailuresCarryFirebirdsTextAndLeaveTheConnectionUsable) {
    const auto errorOf = [&](auto&& f) {
        try {
            f();
        } catch (const DbError& e) {
            return e.text();
        }
        return QStringLiteral("no error");
    };
    EXPECT_TRUE(errorOf([&] { db_.query(QStringLiteral("select * from MISSING")); }).contains("MISSING"));
    EXPECT_TRUE(errorOf([&] {
                    db_.execute(QStringLiteral("insert into T (NAME) values (:N)"), {{"N", "elevenchars"}});
                }).contains("truncation"));
    EXPECT_TRUE(errorOf([&] {
                    db_.execute(QStringLiteral("insert into T (S) values (:S)"), {{"S", 40000}});
                }).contains(":S"));
    EXPECT_TRUE(errorOf([&] {
                    db_.execute(QStringLiteral("insert into T (S) values (:S)"), {});
                }).contains("No value for parameter :S"));
    EXPECT_TRUE(errorOf([&] {
                    db_.execute(QStringLiteral("insert into T (S) values (1)"));
                    (void)db_.query(QStringLiteral("select S from T")).at(0).value("NOPE");
                }).contains("NOPE"));
    db_.commit();
    EXPECT_EQ(db_.query(QStringLiteral("select S from T")).size(), 1u);
}

TEST_F(Wrapper, StatementsAreKeptBySqlTextAndDdlIsNot) {
    const int before = db_.cachedStatements();
    const QString insert = QStringLiteral("insert into T (S) values (:S)");
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(db_.execute(insert, {{"S", i}}), 1u);
    EXPECT_EQ(db_.cachedStatements(), before + 1);
    EXPECT_EQ(db_.execute(QStringLiteral("update T set I = 1 where S < :S"), {{"S", 10}}), 10u);

    db_.execute(QStringLiteral("CREATE TABLE U (A INTEGER)"));
    db_.commit();
    EXPECT_EQ(db_.cachedStatements(), before + 2);

    // Texts with literals in them cannot make the cache grow without bound.
    for (int i = 0; i < 300; ++i)
        db_.execute(QStringLiteral("update T set I = %1 where S = -1").arg(i));
    EXPECT_LE(db_.cachedStatements(), 256);

    // A query issued while a cursor of the same text is open gets its own statement.
    const QString sel = QStringLiteral("select S from T where S < :S order by S");
    int outer = 0;
    db_.forEach(sel, {{"S", 3}}, [&](const DbRow&) {
        outer += int(db_.query(sel, {{"S", 3}}).size());
        return true;
    });
    EXPECT_EQ(outer, 9);
}

TEST_F(Wrapper, CatalogueListsUserTablesAndFieldsInOrder) {
    EXPECT_EQ(db_.userTables(), QStringList{"T"});
    EXPECT_TRUE(db_.tableExists("t"));
    EXPECT_FALSE(db_.tableExists("RDB$RELATIONS"));
    EXPECT_EQ(db_.fields("T"), (QStringList{"NAME", "S", "I", "D"}));
}

TEST_F(Wrapper, TransactionStartIsReportedOncePerCommit) {
    int started = 0;
    db_.setTransactionStarted([&] { ++started; });
    db_.execute(QStringLiteral("insert into T (S) values (1)"));
    db_.execute(QStringLiteral("insert into T (S) values (2)"));
    EXPECT_TRUE(db_.inTransaction());
    EXPECT_EQ(started, 1);
    db_.commit();
    EXPECT_FALSE(db_.inTransaction());
    db_.execute(QStringLiteral("insert into T (S) values (3)"));
    EXPECT_EQ(started, 2);
    db_.rollback();
    EXPECT_EQ(db_.query(QStringLiteral("select S from T")).size(), 2u);
}

// ---- the commit scheduler ----

TEST(CommitSchedulerTest, WritesUntilTheTimerFiresShareOneCommit) {
    int commits = 0;
    CommitScheduler s([&] { ++commits; }, 0);
    EXPECT_EQ(CommitScheduler(nullptr).intervalMs(), 250) << "at most four commits a second";

    s.markDirty();
    s.markDirty();
    s.markDirty();
    EXPECT_TRUE(s.isArmed());
    EXPECT_EQ(commits, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(commits, 1);
    EXPECT_FALSE(s.isDirty());
    EXPECT_FALSE(s.isArmed());

    QCoreApplication::processEvents();
    EXPECT_EQ(commits, 1) << "nothing uncommitted, nothing to do";

    s.markDirty();
    s.commitNow();
    EXPECT_EQ(commits, 2);
    EXPECT_FALSE(s.isArmed());
    QCoreApplication::processEvents();
    EXPECT_EQ(commits, 2);
}

TEST(CommitSchedulerTest, AFailingCommitIsReportedNotThrownIntoTheLoop) {
    QString reported;
    CommitScheduler s([] { throw DbError(QStringLiteral("lock conflict")); }, 0);
    s.setErrorHandler([&](const QString& text) { reported = text; });
    s.markDirty();
    QCoreApplication::processEvents();
    EXPECT_EQ(reported, QStringLiteral("lock conflict"));
}

TEST_F(Folder, SchedulerCommitsWhatTheConnectionStarted) {
    DbConnection db(TransactionMode::ReadCommitted);
    db.create(path("s.fdb"));
    db.execute(QStringLiteral("CREATE TABLE T (A INTEGER)"));
    db.commit();
    CommitScheduler s([&] { db.commit(); }, 0);
    db.setTransactionStarted([&] { s.markDirty(); });
    db.execute(QStringLiteral("insert into T (A) values (1)"));
    EXPECT_TRUE(s.isArmed());
    QCoreApplication::processEvents();
    EXPECT_FALSE(db.inTransaction());
}

// ---- opening the databases ----

TEST_F(Folder, FirstStartCreatesBothFilesWithTheirTables) {
    DbConnection ev(TransactionMode::ReadCommitted);
    ASSERT_EQ(openDatabases(folder(), ev), 0);
    EXPECT_EQ(ev.userTables(), (QStringList{"SPISAVAR", "SPISCMD", "SPISKEL", "SPISUZEL"}));
    EXPECT_EQ(ev.fields("SPISKEL"),
              (QStringList{"UZELIDENT", "NAMEUZEL",  "PRIBORNO",  "TYPENO",    "LASTDATE",  "NOMZDAN",
                           "NAMEZDAN",  "NOMETAZ",   "NAMEETAZ",  "NOMKONT",   "NOMZON",    "NAMEZON",
                           "TEMPZON",   "SPISAVAR1", "SPISAVAR2", "SPISAVAR3", "SPISAVAR4", "SPISAVAR5",
                           "SPISAVAR6", "SPISAVAR7", "SOOBSHEN"}));
    EXPECT_TRUE(ev.indexExists(kSpiskelDeviceIndex));

    // Defaults of the schema reach rows that do not name the columns.
    ev.execute(QStringLiteral("insert into SPISKEL (PRIBORNO, TYPENO) values (5, 8)"));
    const DbRow r = ev.query(QStringLiteral("select * from SPISKEL")).at(0);
    EXPECT_EQ(r.toInt("UZELIDENT"), 0);
    EXPECT_EQ(r.toInt("TEMPZON"), 150);
    EXPECT_EQ(r.toInt("SOOBSHEN"), 0);
    ev.execute(QStringLiteral("insert into SPISAVAR (DATEINF, TEXTAVAR) values (current_timestamp, 'x')"));
    ev.close();

    DbConnection settings;
    settings.open(path(kSettingsDbFile));
    EXPECT_EQ(settings.userTables(), (QStringList{"DAYL", "GRANTS", "PARAM", "USERS"}));
    settings.close();

    // A second start keeps the register but starts SPISAVAR empty.
    ASSERT_EQ(openDatabases(folder(), ev), 0);
    EXPECT_EQ(ev.query(QStringLiteral("select * from SPISKEL")).size(), 1u);
    EXPECT_TRUE(ev.query(QStringLiteral("select * from SPISAVAR")).empty());
}

TEST_F(Folder, AnOlderEventDatabaseIsUpgraded) {
    {
        // The layout of files written before the node link existed.
        DbConnection old;
        old.create(path(kEventDbFile));
        old.execute(
            QStringLiteral("CREATE TABLE SPISKEL (PRIBORNO SMALLINT, TYPENO SMALLINT, LASTDATE TIMESTAMP,"
                           "NOMZDAN SMALLINT DEFAULT 0, NAMEZDAN CHAR(10), TEMPZON SMALLINT DEFAULT 150)"));
        old.execute(
            QStringLiteral("CREATE TABLE CAN_INFR (DATEINF TIMESTAMP, IDENTCAN INTEGER, LENGDATA SMALLINT,"
                           "DATACAN12 SMALLINT, DATACAN34 SMALLINT, DATACAN56 SMALLINT,"
                           "DATACAN78 SMALLINT)"));
        old.execute(QStringLiteral("CREATE TABLE SPISAVAR (DATEINF TIMESTAMP, TEXTAVAR CHAR(100))"));
        old.commit();
        old.execute(QStringLiteral("insert into SPISKEL (PRIBORNO, TYPENO, NAMEZDAN) values (3, 2, :N)"),
                    {{"N", QStringLiteral("Школа")}});
        old.execute(QStringLiteral("insert into CAN_INFR (IDENTCAN, LENGDATA) values (123, 8)"));
        old.execute(QStringLiteral("insert into SPISAVAR (TEXTAVAR) values ('old alarm')"));
        old.close();
    }

    DbConnection ev(TransactionMode::ReadCommitted);
    ASSERT_EQ(openDatabases(folder(), ev), 0);
    const QStringList spiskel = ev.fields("SPISKEL");
    EXPECT_TRUE(spiskel.contains("UZELIDENT"));
    EXPECT_TRUE(spiskel.contains("NAMEUZEL"));
    EXPECT_TRUE(ev.fields("CAN_INFR").contains("UZELIDENT"));
    EXPECT_EQ(ev.userTables(), (QStringList{"CAN_INFR", "SPISAVAR", "SPISCMD", "SPISKEL", "SPISUZEL"}));
    EXPECT_EQ(ev.fields("SPISAVAR"), (QStringList{"DATEINF", "UZELIDENT", "TEXTAVAR"}));
    EXPECT_TRUE(ev.query(QStringLiteral("select * from SPISAVAR")).empty());
    EXPECT_EQ(ev.query(QStringLiteral("select * from CAN_INFR")).size(), 1u);

    // Whatever the engine gives old rows for the added column, none with a null one survives.
    EXPECT_TRUE(ev.query(QStringLiteral("select * from SPISKEL where UZELIDENT is null")).empty());
    ev.execute(QStringLiteral("insert into SPISKEL (PRIBORNO, TYPENO, NAMEUZEL) values (4, 2, 'x')"));
    EXPECT_EQ(
        ev.query(QStringLiteral("select UZELIDENT from SPISKEL where PRIBORNO = 4")).at(0).toInt("UZELIDENT"),
        0);
    EXPECT_TRUE(ev.indexExists(kSpiskelDeviceIndex));
}

TEST_F(Folder, AnEventDatabaseThatCannotBeOpenedLeavesTheSettingsAlone) {
    {
        DbConnection ev(TransactionMode::ReadCommitted);
        ASSERT_EQ(openDatabases(folder(), ev), 0);
    }
    QFile::remove(path(kSettingsDbFile));

    {
        HeldElsewhere holder(path(kEventDbFile));
        ASSERT_TRUE(holder.attached());
        DbConnection ev(TransactionMode::ReadCommitted);
        EXPECT_EQ(openDatabases(folder(), ev), 1);
        EXPECT_FALSE(ev.isOpen());
        EXPECT_FALSE(QFile::exists(path(kSettingsDbFile)));
    }

    QFile damaged(path(kEventDbFile));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    damaged.write(QByteArray(8192, 'x'));
    damaged.close();
    DbConnection ev(TransactionMode::ReadCommitted);
    EXPECT_EQ(openDatabases(folder(), ev), 1);
    EXPECT_FALSE(QFile::exists(path(kSettingsDbFile)));
}

TEST_F(Folder, ALockedSettingsDatabaseIsReportedAsItsOwnError) {
    {
        DbConnection ev(TransactionMode::ReadCommitted);
        ASSERT_EQ(openDatabases(folder(), ev), 0);
    }
    HeldElsewhere holder(path(kSettingsDbFile));
    ASSERT_TRUE(holder.attached());
    DbConnection ev(TransactionMode::ReadCommitted);
    EXPECT_THROW(openDatabases(folder(), ev), SettingsUnavailable);
    SettingsStore store(path(kSettingsDbFile));
    EXPECT_THROW(store.read("portremot"), SettingsUnavailable);
    EXPECT_THROW(loadSettings(store, {}), SettingsUnavailable);
}

TEST_F(Folder, FilesWeCreateOpenInFirebirdsOwnTool) {
    if (isqlPath().isEmpty())
        GTEST_SKIP() << "isql-fb is not installed";
    {
        DbConnection ev(TransactionMode::ReadCommitted);
        ASSERT_EQ(openDatabases(folder(), ev), 0);
        FrameLog(ev).append(TCanFrame{}, QDateTime(QDate(2030, 4, 1), QTime(1, 2)), 0);
        ev.close();
    }
    QProcess isql;
    isql.setProcessChannelMode(QProcess::MergedChannels);
    isql.start(isqlPath(), {"-q", "-user", "SYSDBA", "-password", kDbPassword, path(kEventDbFile)});
    isql.write("show tables;\nselect mon$sql_dialect, mon$page_size from mon$database;\n");
    isql.closeWriteChannel();
    ASSERT_TRUE(isql.waitForFinished(30000));
    const QString out = QString::fromUtf8(isql.readAll());
    for (const char* table : {"CAN_0430", "SPISAVAR", "SPISCMD", "SPISKEL", "SPISUZEL"})
        EXPECT_TRUE(out.contains(QLatin1String(table))) << table << "\n" << out.toStdString();
    EXPECT_TRUE(out.simplified().contains("3 4096")) << out.toStdString();
}

// ---- settings ----

class SettingsTest : public Folder {
protected:
    void SetUp() override {
        Folder::SetUp();
        DbConnection ev(TransactionMode::ReadCommitted);
        ASSERT_EQ(openDatabases(folder(), ev), 0);
    }
    std::map<QString, QString> rows() {
        DbConnection db;
        db.open(path(kSettingsDbFile));
        std::map<QString, QString> m;
        for (const DbRow& r : db.query(QStringLiteral("select * from PARAM")))
            m[r.toString("NAMEPARAM")] = r.toString("ZNPARAM");
        return m;
    }
    void put(const QString& name, const QString& value) {
        store_.read(name);
        store_.write(name, value);
    }
    TSettings load() {
        events_.clear();
        return loadSettings(store_, [&](const QString& e) { events_ << e; });
    }
    SettingsStore store_{path(kSettingsDbFile)};
    QStringList events_;
};

TEST_F(SettingsTest, FirstLoadWritesEveryDefaultBack) {
    const TSettings s = load();
    const std::map<QString, QString> expected = {
        {"autoupdate", "true"}, {"com1_param", "073005000"}, {"com2_param", "073005001"},
        {"from_mail", ""},      {"hostupdate", kUpdateHost}, {"ip_alert", ""},
        {"log_mail", ""},       {"logon_vkl", ""},           {"name_serv", ""},
        {"neact02", "5"},       {"neact06", "60"},           {"only_remot", ""},
        {"pass_mail", ""},      {"passw_vkl", ""},           {"portremot", "4462"},
        {"send_mail", ""},      {"smtp_addr", ""},           {"smtp_port", ""},
        {"ssl_mail", ""},       {"subj_mail", ""},           {"time_sync", ""},
        {"to_mail", ""},
    };
    EXPECT_EQ(rows(), expected);
    EXPECT_TRUE(events_.isEmpty());

    EXPECT_EQ(s.remotePort, 4462);
    EXPECT_TRUE(s.autoUpdate);
    EXPECT_EQ(s.neact02, 5);
    EXPECT_EQ(s.neact06, 60);
    EXPECT_EQ(s.updateHost, kUpdateHost);
    EXPECT_FALSE(s.changesOverNetwork);
    EXPECT_FALSE(s.forwardAlarms);
    EXPECT_EQ(s.smtpPort, "25");
    EXPECT_EQ(s.subjMail, QStringLiteral("Авария на"));
    ASSERT_TRUE(s.com1 && s.com2);
    EXPECT_FALSE(s.com1->on);
    EXPECT_EQ(s.com1->port, 5000);
    EXPECT_EQ(s.com2->port, 5001);
    EXPECT_EQ(s.com1->baudIndex, 7);
    EXPECT_EQ(s.com1->dataBitsIndex, 3);
}

TEST_F(SettingsTest, StoredValuesAndTheirEdgeCases) {
    struct Case {
        const char* name;
        QString key;
        QString stored;
        std::function<bool(const TSettings&)> holds;
        QString storedAfter; // what the row holds after loading
        bool event = false;
    };
    const std::vector<Case> cases = {
        {"flags compare case-sensitively", "passw_vkl", "True",
         [](const TSettings& s) { return !s.changesOverNetwork; }, "True"},
        {"password taken trimmed when enabled", "passw_vkl", "true",
         [](const TSettings& s) { return s.changesOverNetwork && s.networkPassword.isEmpty(); }, "true"},
        {"trailing blanks of a flag do not count", "ssl_mail", " true",
         [](const TSettings& s) { return s.sslMail; }, " true"},
        {"not a number becomes the default", "neact02", "abc",
         [](const TSettings& s) { return s.neact02 == 5; }, "5"},
        {"zero becomes the default", "neact06", "0", [](const TSettings& s) { return s.neact06 == 60; },
         "60"},
        {"a negative count becomes the default", "neact02", "-3",
         [](const TSettings& s) { return s.neact02 == 5; }, "5"},
        {"minutes read trimmed", "neact02", " 12", [](const TSettings& s) { return s.neact02 == 12; }, " 12"},
        {"retired update server replaced", "hostupdate", kRetiredUpdateHost2,
         [](const TSettings& s) { return s.updateHost == kUpdateHost; }, kUpdateHost},
        {"other update server kept", "hostupdate", "10.1.1.1",
         [](const TSettings& s) { return s.updateHost == "10.1.1.1"; }, "10.1.1.1"},
        {"autoupdate off", "autoupdate", "false", [](const TSettings& s) { return !s.autoUpdate; }, "false"},
        {"port taken", "portremot", "5100", [](const TSettings& s) { return s.remotePort == 5100; }, "5100"},
        {"malformed port reported, default used, row kept", "portremot", "44x2",
         [](const TSettings& s) { return s.remotePort == 4462; }, "44x2", true},
        {"port out of range reported", "portremot", "70000",
         [](const TSettings& s) { return s.remotePort == 4462; }, "70000", true},
        {"bridge on with a hex baud index", "com1_param", "1B3005010",
         [](const TSettings& s) {
             return s.com1 && s.com1->on && s.com1->baudIndex == 11 && s.com1->port == 5010;
         },
         "1B3005010"},
        {"bridge off changes nothing", "com2_param", "073005009", [](const TSettings& s) { return !s.com2; },
         "073005009"},
        {"bridge without a port reported, default port used", "com1_param", "17300",
         [](const TSettings& s) { return s.com1 && s.com1->on && s.com1->port == 5000; }, "17300", true},
        {"bridge with a bad index reported", "com2_param", "17x005001",
         [](const TSettings& s) { return s.com2 && s.com2->dataBitsIndex == 3 && s.com2->port == 5001; },
         "17x005001", true},
        {"alarm forwarding follows ip_alert", "ip_alert", " 10.0.0.5 ",
         [](const TSettings& s) { return s.forwardAlarms && s.ipAlert == "10.0.0.5"; }, " 10.0.0.5"},
        {"mail subject kept", "subj_mail", QStringLiteral("Котельная №3"),
         [](const TSettings& s) { return s.subjMail == QStringLiteral("Котельная №3"); },
         QStringLiteral("Котельная №3")},
    };
    load();                                // every row exists now
    SettingsStore::Batch keepOpen(store_); // one attach for the whole table: each costs tens of ms
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto keep = rows();
        put(c.key, c.stored);
        const TSettings s = load();
        EXPECT_TRUE(c.holds(s));
        EXPECT_EQ(rows()[c.key], c.storedAfter);
        EXPECT_EQ(!events_.isEmpty(), c.event) << events_.join('\n').toStdString();
        if (!events_.isEmpty()) {
            EXPECT_TRUE(events_.front().contains(c.key)) << events_.front().toStdString();
        }
        put(c.key, keep.at(c.key));
    }
}

TEST_F(SettingsTest, ReadCreatesRowsWriteDoesNot) {
    store_.write("never_read", "x");
    EXPECT_EQ(rows().count("never_read"), 0u);
    EXPECT_EQ(store_.read("name_serv"), QString());
    EXPECT_EQ(rows().count("name_serv"), 1u);
    store_.write("name_serv", QStringLiteral("  Узел Север  "));
    EXPECT_EQ(store_.read("name_serv"), QStringLiteral("  Узел Север"));
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(SettingsTest, RemoteNodesInTheOrderStored) {
    EXPECT_TRUE(store_.remoteNodes().isEmpty());
    DbConnection db;
    db.open(path(kSettingsDbFile));
    for (const char* v : {"10.0.0.1#D1", " 10.0.0.2#Котельная 2 ", "nohash"})
        db.execute(QStringLiteral("insert into PARAM (NameParam,ZnParam) values ('adr_disp', :V)"),
                   {{"V", QString::fromUtf8(v)}});
    db.close();
    QStringList entries;
    for (const auto& n : store_.remoteNodes())
        entries << n.entry();
    EXPECT_EQ(entries, (QStringList{"D1 (10.0.0.1)", QStringLiteral("Котельная 2 (10.0.0.2)"), "nohash ()"}));
}

TEST(ComParam, FormatAndParse) {
    struct Case {
        const char* name;
        QString text;
        TComParam p;
        QString error;
    };
    const QString all = QStringLiteral("скорость, биты данных, стоповые биты, четность, порт");
    const Case cases[] = {
        {"default of bridge 1", "073005000", {false, 7, 3, 0, 0, 5000}, ""},
        {"default of bridge 2", "073005001", {false, 7, 3, 0, 0, 5001}, ""},
        {"on, 115200 as hex E", "1E3125010", {true, 14, 3, 1, 2, 5010}, ""},
        {"baud index 10", "1A3004001", {true, 10, 3, 0, 0, 4001}, ""},
        {"index 13 is D", "1D3004001", {true, 13, 3, 0, 0, 4001}, ""},
        {"index 15 is F", "0F3005000", {false, 15, 3, 0, 0, 5000}, ""},
        {"index 9 is the last decimal digit, highest port", "1931165535", {true, 9, 3, 1, 1, 65535}, ""},
        {"110 baud, 5 bits, 2 stop bits, even, a short port", "1102222", {true, 1, 0, 2, 2, 22}, ""},
        {"anything but 1 is off", "X73005000", {false, 7, 3, 0, 0, 5000}, ""},
        {"lower-case hex read too", "1f3004001", {true, 15, 3, 0, 0, 4001}, ""},
        {"stored blank padding ignored", "1A3005002    ", {true, 10, 3, 0, 0, 5002}, ""},
        {"never stored", "", {false, 7, 3, 0, 0, 5000}, all},
        {"a blank-padded empty row", "          ", {false, 7, 3, 0, 0, 5000}, all},
        {"port missing", "1730", {true, 7, 3, 0, 0, 5000}, "четность, порт"},
        {"no port after the indexes", "17300", {true, 7, 3, 0, 0, 5000}, "порт"},
        {"port zero", "173000", {true, 7, 3, 0, 0, 5000}, "порт"},
        {"letters in the port", "17300a", {true, 7, 3, 0, 0, 5000}, "порт"},
        {"letter inside the port", "1730050x0", {true, 7, 3, 0, 0, 5000}, "порт"},
        {"blank inside the port", "17300 5000", {true, 7, 3, 0, 0, 5000}, "порт"},
        {"signed port", "17300-5000", {true, 7, 3, 0, 0, 5000}, "порт"},
        {"port out of range", "1730065536", {true, 7, 3, 0, 0, 5000}, "порт"},
        {"baud index 0 is in no list", "103005001", {true, 7, 3, 0, 0, 5001}, "скорость"},
        {"baud index past F", "1G3005001", {true, 7, 3, 0, 0, 5001}, "скорость"},
        {"data-bits index 4", "174005001", {true, 7, 3, 0, 0, 5001}, "биты данных"},
        {"stop-bits index 3", "173305001", {true, 7, 3, 0, 0, 5001}, "стоповые биты"},
        {"parity code 3", "173035001", {true, 7, 3, 0, 0, 5001}, "четность"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        const TComParam p = parseComParam(c.text, 5000, &error);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(std::tuple(p.on, p.baudIndex, p.dataBitsIndex, p.stopBitsIndex, p.parityIndex, p.port),
                  std::tuple(c.p.on, c.p.baudIndex, c.p.dataBitsIndex, c.p.stopBitsIndex, c.p.parityIndex,
                             c.p.port));
        if (c.error.isEmpty()) {
            // The on flag is written back as "0" or "1" whatever character it was read from.
            QString expected = c.text.trimmed().toUpper();
            expected[0] = c.p.on ? u'1' : u'0';
            EXPECT_EQ(formatComParam(p), expected);
        }
    }
}

TEST(ComParam, NothingUnreadableIsFormatted) {
    const TComParam broken[] = {
        {false, 0, 3, 0, 0, 5000},  {false, 16, 3, 0, 0, 5000}, {false, 7, 4, 0, 0, 5000},
        {false, 7, 3, 3, 0, 5000},  {false, 7, 3, 0, 3, 5000},  {false, 7, 3, 0, 0, 0},
        {false, 7, -1, 0, 0, 5000},
    };
    for (const TComParam& p : broken) {
        SCOPED_TRACE(testing::PrintToString(
            std::tuple(p.baudIndex, p.dataBitsIndex, p.stopBitsIndex, p.parityIndex, p.port)));
        EXPECT_TRUE(formatComParam(p).isEmpty());
    }
}

// ---- the frame log ----

TEST(FrameLogName, MonthAndYear) {
    const std::pair<QDate, QString> cases[] = {
        {{2021, 3, 9}, "CAN_0321"},   {{2030, 11, 30}, "CAN_1130"},  {{2005, 3, 1}, "CAN_035"},
        {{2000, 1, 1}, "CAN_012000"}, {{2100, 12, 31}, "CAN_12100"},
    };
    for (const auto& [date, name] : cases)
        EXPECT_EQ(frameLogTableName(date), name) << date.toString().toStdString();
}

TEST_F(Folder, FrameLogAcrossAMonthChange) {
    DbConnection ev(TransactionMode::ReadCommitted);
    ASSERT_EQ(openDatabases(folder(), ev), 0);
    FrameLog log(ev);

    TCanFrame f;
    f.ident = 0x8A1F0088u; // service bit set: stored as a negative number
    f.len = 8;
    f.data = {0x01, 0x2C, 0x80, 0x00, 0xFF, 0xFF, 0x7F, 0xFF};
    TCanFrame rtr;
    rtr.ident = 0x00A80040u;
    rtr.len = 0x40;
    rtr.data = {1, 2, 3, 4, 5, 6, 7, 8}; // beyond the length, stored as they are

    const QDateTime march(QDate(2030, 3, 31), QTime(23, 59, 59));
    const QDateTime april(QDate(2030, 4, 1), QTime(0, 0, 0));
    log.append(f, march, 0);
    EXPECT_FALSE(ev.tableExists("CAN_0430"));
    log.append(f, april, 0);
    EXPECT_TRUE(ev.tableExists("CAN_0430")) << "created before the first April frame is stored";
    log.append(rtr, april.addSecs(1), 12);
    ev.commit();

    EXPECT_EQ(ev.userTables().filter("CAN_"), (QStringList{"CAN_0330", "CAN_0430"}));
    EXPECT_EQ(ev.fields("CAN_0430"), (QStringList{"DATEINF", "IDENTCAN", "UZELIDENT", "LENGDATA", "DATACAN12",
                                                  "DATACAN34", "DATACAN56", "DATACAN78"}));
    const DbRows m = ev.query(QStringLiteral("select * from CAN_0330"));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].toDateTime("DATEINF"), march);

    const DbRows a = ev.query(QStringLiteral("select * from CAN_0430 order by DATEINF"));
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].toInt("IDENTCAN"), std::int32_t(0x8A1F0088u));
    EXPECT_EQ(a[0].toInt("UZELIDENT"), 0);
    EXPECT_EQ(a[0].toInt("LENGDATA"), 8);
    EXPECT_EQ(a[0].toInt("DATACAN12"), 300);
    EXPECT_EQ(a[0].toInt("DATACAN34"), -32768);
    EXPECT_EQ(a[0].toInt("DATACAN56"), -1);
    EXPECT_EQ(a[0].toInt("DATACAN78"), 32767);
    EXPECT_EQ(a[1].toDateTime("DATEINF"), april.addSecs(1));
    EXPECT_EQ(a[1].toInt("UZELIDENT"), 12);
    EXPECT_EQ(a[1].toInt("LENGDATA"), 0x40);
    EXPECT_EQ(a[1].toInt("DATACAN12"), 0x0102);
    EXPECT_EQ(a[1].toInt("DATACAN78"), 0x0708);

    // The next start finds the month's table in the catalogue and only inserts.
    ev.close();
    ASSERT_EQ(openDatabases(folder(), ev), 0);
    FrameLog again(ev);
    again.append(f, april.addSecs(2), 0);
    EXPECT_EQ(ev.query(QStringLiteral("select * from CAN_0430")).size(), 3u);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--hold") == 0)
        return holdUntilStdinCloses(QString::fromLocal8Bit(argv[2]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
