// The device register on a real event database: every frame's row update in SPISKEL.
#include "Support.h"

#include "can/DeviceRegister.h"
#include "storage/Db.h"
#include "storage/Schema.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace kelcon;
using canbus::frame;
using canbus::nameFrame;

namespace {

// One database for all register cases; each case keeps to device numbers of its own.
class Register : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = std::make_unique<QTemporaryDir>();
        db = std::make_unique<DbConnection>(TransactionMode::ReadCommitted);
        ASSERT_TRUE(dir->isValid());
        ASSERT_EQ(openDatabases(dir->path(), *db), 0);
    }
    static void TearDownTestSuite() {
        db.reset();
        dir.reset();
    }

    void SetUp() override {
        reg = std::make_unique<DeviceRegister>(*db, clock);
        reg->setNodeName([](UzelIdent node) { return node == 7 ? QStringLiteral("Заречье") : QString(); });
    }

    // The rows of one controller, ordered by node and circuit.
    DbRows rows(int number, int type) {
        return db->query(QStringLiteral("select * from SPISKEL where PriborNo=:n and TypeNo=:t "
                                        "order by UzelIdent, NomKont"),
                         {{QStringLiteral("n"), number}, {QStringLiteral("t"), type}});
    }

    static inline std::unique_ptr<QTemporaryDir> dir;
    static inline std::unique_ptr<DbConnection> db;
    ManualClock clock{QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5))};
    std::unique_ptr<DeviceRegister> reg;
};

std::uint32_t word(int number, int type, std::uint32_t cls) {
    return makeDeviceKey(number, type) | cls;
}

TEST_F(Register, FirstFrameOfAnyKindInsertsTheRow) {
    struct Case {
        const char* name;
        int number, type;
        TCanFrame f;
    };
    const Case cases[] = {
        {"state report", 11, 8, frame(word(11, 8, kStateReport), {1, 0, 2, 0})},
        {"parameter report", 12, 4, frame(word(12, 4, kParameterReport), {0x20, 55, 0x21, 40})},
        {"alarm status", 13, 2, frame(word(13, 2, kAlarmStatus), {0, 0})},
        {"remote request", 14, 8,
         [] {
             TCanFrame f = frame(word(14, 8, 0x8000E003u), {});
             f.len = 0x40;
             return f;
         }()},
        {"zone name of a KEL-06", 15, 6, nameFrame(word(15, 6, 0xD004u), 1, 2, 3, QStringLiteral("Зал 1"))},
    };
    for (const Case& c : cases) {
        reg->update(c.f, 0);
        const DbRows r = rows(c.number, c.type);
        ASSERT_EQ(r.size(), 1u) << c.name;
        EXPECT_EQ(r[0].toInt("TEMPZON"), kNoValue) << c.name;
        EXPECT_EQ(r[0].toDateTime("LASTDATE"), clock.now()) << c.name;
        EXPECT_EQ(r[0].toInt("UZELIDENT"), 0) << c.name;
    }

    // Every later frame refreshes the last activity.
    clock.advance(65);
    reg->update(cases[0].f, 0);
    EXPECT_EQ(rows(11, 8).at(0).toDateTime("LASTDATE"), clock.now());
    EXPECT_EQ(rows(11, 8).size(), 1u);
}

TEST_F(Register, AlarmWordsAreStoredAndCleared) {
    reg->update(frame(word(5, 8, kAlarmReport), {1, 0x03}), 0);
    reg->update(frame(word(5, 8, kAlarmReport), {0, 0x05, 6, 0x01}), 0);
    DbRow r = rows(5, 8).at(0);
    EXPECT_EQ(r.toInt("SPISAVAR1"), 5);
    EXPECT_EQ(r.toInt("SPISAVAR7"), 1);
    EXPECT_EQ(r.toInt("SPISAVAR2"), 3) << "a word the report does not carry is kept";

    // A value is stored as the unsigned byte it is on the bus.
    reg->update(frame(word(5, 8, 0x8000FF0Bu), {4, 0xF0}), 0);
    EXPECT_EQ(rows(5, 8).at(0).toInt("SPISAVAR5"), 0xF0);

    reg->update(frame(word(5, 8, kAlarmClearReport), {}), 0);
    r = rows(5, 8).at(0);
    for (int i = 1; i <= 7; ++i) {
        const DbValue& v = r.value(QStringLiteral("SPISAVAR%1").arg(i));
        EXPECT_FALSE(v.isNull()) << i;
        EXPECT_EQ(v.toInt(), 0) << i;
    }
    EXPECT_EQ(rows(5, 8).size(), 1u);

    // A KEL-06 reports its one alarm word as the second byte of an alarm report.
    reg->update(frame(word(6, 6, kAlarmReport), {0, 0x41}), 0);
    EXPECT_EQ(rows(6, 6).at(0).toInt("SPISAVAR1"), 0x41);
}

TEST_F(Register, BuildingNameIsMergedFromItsHalves) {
    const std::uint32_t first = word(30, 8, 0xDF04u), second = word(30, 8, 0xDF05u);
    reg->update(nameFrame(first, 3, 0, 0, QStringLiteral("Котел")), 0);
    EXPECT_EQ(rows(30, 8).at(0).toString("NAMEZDAN"), QStringLiteral("Котел"));
    EXPECT_EQ(rows(30, 8).at(0).toInt("NOMZDAN"), 3);
    reg->update(nameFrame(second, 0, 0, 0, QStringLiteral("ьная ")), 0);
    DbRows r =
        db->query(QStringLiteral("select NameZdan || '|' as N, NomZdan from SPISKEL where PriborNo=30"));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].toString("N"), QStringLiteral("Котельная |")) << "ten characters, the blank included";
    EXPECT_EQ(r[0].toInt("NOMZDAN"), 3) << "the second half carries no numbers";

    // A second half heard before any first half: five blanks stand for the missing part.
    reg->update(nameFrame(word(31, 2, 0xDF05u), 0, 0, 0, QStringLiteral("ная 1")), 0);
    EXPECT_EQ(rows(31, 2).at(0).toString("NAMEZDAN"), QStringLiteral("     ная 1"));
}

TEST_F(Register, BuildingNameSpreadsToTheBuildingOnTheSameNode) {
    const QString old = QStringLiteral("Школа");
    reg->update(nameFrame(word(40, 2, 0xDF04u), 23, 0, 0, old), 0);
    reg->update(nameFrame(word(41, 8, 0xDF04u), 23, 0, 0, old), 0);
    reg->update(nameFrame(word(42, 4, 0xDF04u), 24, 0, 0, old), 0);
    reg->update(nameFrame(word(43, 2, 0xDF04u), 23, 0, 0, old), 7);

    reg->update(nameFrame(word(40, 2, 0xDF04u), 23, 0, 0, QStringLiteral("Котел")), 0);
    EXPECT_EQ(rows(41, 8).at(0).toString("NAMEZDAN"), QStringLiteral("Котел")) << "same building, same node";
    EXPECT_EQ(rows(42, 4).at(0).toString("NAMEZDAN"), old) << "another building";
    EXPECT_EQ(rows(43, 2).at(0).toString("NAMEZDAN"), old) << "the same building number on another node";
}

TEST_F(Register, Kel06ZoneTemperatureGoesToItsCircuitRow) {
    for (int k = 0; k < 3; ++k)
        reg->update(nameFrame(word(50, 6, 0xD004u | std::uint32_t(k << 8)), 1, 2, k + 1,
                              QStringLiteral("Зона%1").arg(k)),
                    0);
    ASSERT_EQ(rows(50, 6).size(), 3u);

    reg->update(frame(word(50, 6, 0x8000FF09u), {0x20, 21, 0x41, 5}), 0);
    const DbRows r = rows(50, 6);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].toInt("TEMPZON"), kNoValue);
    EXPECT_EQ(r[1].toInt("NOMKONT"), 1);
    EXPECT_EQ(r[1].toInt("TEMPZON"), 21);
    EXPECT_EQ(r[1].toInt("NOMZON"), 2);
    EXPECT_EQ(r[1].toString("NAMEZON"), QStringLiteral("Зона1"));
    EXPECT_EQ(r[2].toInt("TEMPZON"), kNoValue) << "code 0x41 is no temperature";

    // A circuit without a row yet gets one holding its temperature.
    reg->update(frame(word(50, 6, 0x8000FF09u), {0x80, 19}), 0);
    const DbRows after = rows(50, 6);
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[3].toInt("NOMKONT"), 4);
    EXPECT_EQ(after[3].toInt("TEMPZON"), 19);
}

TEST_F(Register, SameDeviceNumberOnTwoNodesGivesTwoRows) {
    const TCanFrame f = frame(word(60, 8, kStateReport), {1, 0});
    reg->update(f, 0);
    reg->update(f, 7);
    reg->update(f, 7);
    const DbRows r = rows(60, 8);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].toInt("UZELIDENT"), 0);
    EXPECT_EQ(r[0].toString("NAMEUZEL"), QString());
    EXPECT_EQ(r[1].toInt("UZELIDENT"), 7);
    EXPECT_EQ(r[1].toString("NAMEUZEL"), QStringLiteral("Заречье"));
}

} // namespace
