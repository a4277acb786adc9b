#include "storage/Schema.h"

#include <QDir>
#include <QFile>

namespace kelcon {

namespace {

const QString kCreateSpiskel = QStringLiteral("CREATE TABLE SPISKEL ("
                                              "UZELIDENT INTEGER DEFAULT 0,"
                                              "NAMEUZEL CHAR(20),"
                                              "PRIBORNO SMALLINT,"
                                              "TYPENO SMALLINT,"
                                              "LASTDATE TIMESTAMP,"
                                              "NOMZDAN SMALLINT DEFAULT 0,"
                                              "NAMEZDAN CHAR(10),"
                                              "NOMETAZ SMALLINT DEFAULT 0,"
                                              "NAMEETAZ CHAR(10),"
                                              "NOMKONT SMALLINT DEFAULT 0,"
                                              "NOMZON SMALLINT DEFAULT 0,"
                                              "NAMEZON CHAR(10),"
                                              "TEMPZON SMALLINT DEFAULT 150,"
                                              "SPISAVAR1 SMALLINT DEFAULT 0,"
                                              "SPISAVAR2 SMALLINT DEFAULT 0,"
                                              "SPISAVAR3 SMALLINT DEFAULT 0,"
                                              "SPISAVAR4 SMALLINT DEFAULT 0,"
                                              "SPISAVAR5 SMALLINT DEFAULT 0,"
                                              "SPISAVAR6 SMALLINT DEFAULT 0,"
                                              "SPISAVAR7 SMALLINT DEFAULT 0,"
                                              "SOOBSHEN SMALLINT DEFAULT 0)");

const QString kCreateSpiscmd = QStringLiteral("CREATE TABLE SPISCMD ("
                                              "DATECMD TIMESTAMP,"
                                              "IP1 SMALLINT DEFAULT 0,"
                                              "IP2 SMALLINT DEFAULT 0,"
                                              "IP3 SMALLINT DEFAULT 0,"
                                              "IP4 SMALLINT DEFAULT 0,"
                                              "CMD CHAR(3),"
                                              "IDENT INTEGER,"
                                              "PAR1 SMALLINT DEFAULT 0,"
                                              "PAR2 SMALLINT DEFAULT 0,"
                                              "PAR3 SMALLINT DEFAULT 0,"
                                              "PAR4 SMALLINT DEFAULT 0,"
                                              "PAR5 SMALLINT DEFAULT 0)");

const QString kCreateSpisuzel = QStringLiteral("CREATE TABLE SPISUZEL ("
                                               "UZELIDENT INTEGER,"
                                               "NAMEUZEL CHAR(20),"
                                               "PORTCOM1 INTEGER,"
                                               "PORTCOM2 INTEGER,"
                                               "PORT485 INTEGER)");

const QString kCreateSpisavar = QStringLiteral("CREATE TABLE SPISAVAR ("
                                               "DATEINF TIMESTAMP,"
                                               "UZELIDENT INTEGER DEFAULT 0,"
                                               "TEXTAVAR CHAR(100))");

const QString kCreateParam = QStringLiteral("CREATE TABLE PARAM ("
                                            "NAMEPARAM CHAR(10),"
                                            "ZNPARAM CHAR(50))");

const QString kCreateDayl = QStringLiteral("CREATE TABLE DAYL ("
                                           "DMON SMALLINT DEFAULT 0,"
                                           "ZNLIM INTEGER DEFAULT 0)");

const QString kCreateUsers = QStringLiteral("CREATE TABLE USERS ("
                                            "USERID INTEGER DEFAULT 0,"
                                            "LOGON CHAR(20),"
                                            "PASSW CHAR(20),"
                                            "OPISANIE CHAR(30))");

const QString kCreateGrants = QStringLiteral("CREATE TABLE GRANTS ("
                                             "USERID INTEGER,"
                                             "UZELIDENT INTEGER,"
                                             "GRANTS SMALLINT DEFAULT 0)");

// Firebird applies a metadata change at commit, so each one is committed before the next
// statement may rely on it.
void ddl(DbConnection& db, const QString& sql) {
    db.execute(sql);
    db.commit();
}

void upgradeEventDb(DbConnection& db) {
    const QStringList before = db.userTables();
    if (before.contains(QStringLiteral("CAN_INFR")) &&
        !db.fields(QStringLiteral("CAN_INFR")).contains(QStringLiteral("UZELIDENT")))
        ddl(db, QStringLiteral("ALTER TABLE CAN_INFR ADD UZELIDENT INTEGER DEFAULT 0"));

    // A file whose creation was cut short before SPISKEL existed would otherwise fail every start.
    if (!before.contains(QStringLiteral("SPISKEL")))
        ddl(db, kCreateSpiskel);
    const QStringList spiskel = db.fields(QStringLiteral("SPISKEL"));
    if (!spiskel.contains(QStringLiteral("UZELIDENT")))
        ddl(db, QStringLiteral("ALTER TABLE SPISKEL ADD UZELIDENT INTEGER DEFAULT 0"));
    if (!spiskel.contains(QStringLiteral("NAMEUZEL")))
        ddl(db, QStringLiteral("ALTER TABLE SPISKEL ADD NAMEUZEL CHAR(20)"));

    const QStringList tables = db.userTables();
    if (!tables.contains(QStringLiteral("SPISCMD")))
        ddl(db, kCreateSpiscmd);
    if (!tables.contains(QStringLiteral("SPISUZEL")))
        ddl(db, kCreateSpisuzel);
    if (tables.contains(QStringLiteral("SPISAVAR")))
        ddl(db, QStringLiteral("DROP TABLE SPISAVAR"));
    ddl(db, kCreateSpisavar);

    if (!db.indexExists(kSpiskelDeviceIndex))
        ddl(db, QStringLiteral("CREATE INDEX %1 ON SPISKEL (UZELIDENT, PRIBORNO, TYPENO)")
                    .arg(kSpiskelDeviceIndex));
}

void prepareSettingsDb(const QString& path) {
    if (!QFile::exists(path)) {
        DbConnection db;
        db.create(path);
        ddl(db, kCreateParam);
        ddl(db, kCreateDayl);
        db.close();
    }
    DbConnection db;
    try {
        db.open(path);
    } catch (const DbError& e) {
        throw SettingsUnavailable(e.text());
    }
    const QStringList tables = db.userTables();
    if (!tables.contains(QStringLiteral("USERS")))
        ddl(db, kCreateUsers);
    if (!tables.contains(QStringLiteral("GRANTS")))
        ddl(db, kCreateGrants);
    db.close();
}

} // namespace

QString databasePath(const QString& folder, const QString& file) {
    return QDir(folder).absoluteFilePath(file);
}

int openDatabases(const QString& folder, DbConnection& eventDb) {
    const QString eventPath = databasePath(folder, kEventDbFile);
    const QString settingsPath = databasePath(folder, kSettingsDbFile);

    if (!QFile::exists(eventPath)) {
        DbConnection db(TransactionMode::ReadCommitted);
        db.create(eventPath);
        ddl(db, kCreateSpiskel);
        db.close();
    }

    try {
        eventDb.open(eventPath);
    } catch (const DbError&) {
        return 1;
    }

    upgradeEventDb(eventDb);
    prepareSettingsDb(settingsPath);

    // Rows of files that predate the column; the register fills in again from the bus.
    eventDb.execute(QStringLiteral("DELETE FROM SPISKEL WHERE UZELIDENT IS NULL"));
    eventDb.commit();
    return 0;
}

} // namespace kelcon
