#include "Fixture.h"

#include "alarms/Inactive.h"
#include "can/AlarmText.h"
#include "can/Requests.h"
#include "nodelink/Messages.h"

#include <set>

using namespace kelcon;
using namespace testing_alarms;

namespace {

class InactiveTest : public ConsoleFixture {
protected:
    void SetUp() override {
        ConsoleFixture::SetUp();
        startConsole();
        attachInactivityCheck(*console, &views);
        console->dispatcher().forwardAlarm = [this](const TCanFrame& f, const QDateTime& t, UzelIdent node) {
            forwarded.push_back({f.ident, f.len, node});
            forwardTimes << t;
        };
        console->state().settings.neact02 = 5;
        console->state().settings.neact06 = 60;
    }

    void device(UzelIdent node, int number, int type, int zdan, const QDateTime& last) {
        console->eventDb().execute(
            QStringLiteral("insert into SPISKEL (UZELIDENT,PRIBORNO,TYPENO,NOMZDAN,NAMEZDAN,LASTDATE) "
                           "values (:U,:P,:T,:Z,'Школа',:L)"),
            {{QStringLiteral("U"), node},
             {QStringLiteral("P"), number},
             {QStringLiteral("T"), type},
             {QStringLiteral("Z"), zdan},
             {QStringLiteral("L"), last}});
    }

    // The check at that moment; the presence polls it put on the bus, as (number, type) pairs.
    std::set<std::pair<int, int>> checkAt(const QTime& t) {
        clock.set(QDateTime(QDate(2030, 4, 1), t));
        fake::script().sent.clear();
        views.events.clear();
        console->hooks().checkInactiveDevices();
        std::set<std::pair<int, int>> polled;
        for (const TCanFrame& f : fake::script().sent) {
            EXPECT_EQ(f.ident, PresencePollWord(deviceNumber(f.ident), deviceType(f.ident)));
            EXPECT_TRUE(f.isRemoteRequest());
            polled.insert({deviceNumber(f.ident), deviceType(f.ident)});
        }
        return polled;
    }

    bool alarmed() const { return views.texts().contains(InactivityAlarmText()); }

    struct Forwarded {
        std::uint32_t ident;
        std::uint8_t len;
        UzelIdent node;
    };
    std::vector<Forwarded> forwarded;
    QList<QDateTime> forwardTimes;
};

using Polls = std::set<std::pair<int, int>>;

TEST_F(InactiveTest, SilentDevicesArePolledEveryMinuteAndAlarmedEveryHalfHour) {
    ASSERT_TRUE(console->state().adapterReady);
    const QDateTime t0(QDate(2030, 4, 1), QTime(12, 29, 0));
    device(0, 10, 2, 1, t0.addSecs(-5 * 60)); // exactly its threshold: not yet inactive
    device(7, 20, 8, 1, t0.addSecs(-6 * 60)); // behind a GSM node
    device(0, 32, 6, 4, t0.addSecs(-2 * 3600));
    device(0, 31, 6, 4, t0.addSecs(-2 * 3600)); // same building and time: one row, the lower number
    device(0, 33, 6, 5, t0.addSecs(-2 * 3600));
    device(0, 40, 6, 4, t0.addSecs(-30 * 60)); // within the KEL-06 threshold

    EXPECT_EQ(checkAt(QTime(12, 29, 0)), Polls({{20, 8}, {31, 6}, {33, 6}}));
    EXPECT_FALSE(alarmed()) << "the first check that finds them only polls";
    EXPECT_TRUE(console->state().inactiveDevicesSeen);
    EXPECT_TRUE(forwarded.empty());

    EXPECT_EQ(checkAt(QTime(12, 30, 0)), Polls({{10, 2}, {20, 8}, {31, 6}, {33, 6}}));
    EXPECT_TRUE(alarmed());
    EXPECT_EQ(views.restores, 1);
    EXPECT_TRUE(console->state().alarmIndicatorOn);
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_EQ(forwarded[0].ident, 0u);
    EXPECT_EQ(forwarded[0].len, 0);
    EXPECT_TRUE(views.alarms.isEmpty()) << "an event, not an alarm record: no pop-up line";
    EXPECT_FALSE(QFile::exists(dir.filePath("KelError.log")));

    console->state().alarmIndicatorOn = false;
    for (int minute = 31; minute < 60; ++minute) {
        checkAt(QTime(12, minute, 0));
        ASSERT_FALSE(alarmed()) << minute;
    }
    EXPECT_EQ(checkAt(QTime(13, 0, 0)).size(), 5u) << "number 40 has now passed its hour as well";
    EXPECT_TRUE(alarmed()) << "repeated at the full hour";
    EXPECT_EQ(forwarded.size(), 2u);

    // Everything talks again: the flag goes down.
    console->eventDb().execute(QStringLiteral("update SPISKEL set LASTDATE=:L"),
                               {{QStringLiteral("L"), QDateTime(QDate(2030, 4, 1), QTime(13, 0, 30))}});
    EXPECT_TRUE(checkAt(QTime(13, 1, 0)).empty());
    EXPECT_FALSE(console->state().inactiveDevicesSeen);
}

TEST_F(InactiveTest, TheAlarmWantsTheThresholdAndOneMoreMinute) {
    device(0, 3, 4, 1, QDateTime(QDate(2030, 4, 1), QTime(13, 54, 30)));
    EXPECT_EQ(checkAt(QTime(13, 59, 40)), Polls({{3, 4}}));
    EXPECT_EQ(checkAt(QTime(14, 0, 0)), Polls({{3, 4}}));
    EXPECT_FALSE(alarmed()) << "silent 5.5 minutes: inactive, but not a minute beyond its threshold";
    EXPECT_EQ(checkAt(QTime(14, 0, 40)), Polls({{3, 4}}));
    EXPECT_TRUE(alarmed());

    // In remote mode the requests of the windows go to the remote node, but these devices are on
    // this node's bus and behind its GSM nodes.
    device(9, 12, 2, 1, QDateTime(QDate(2030, 4, 1), QTime(14, 0, 0)));
    console->state().remoteMode = true;
    console->state().remoteLinkUp = true;
    int remoteRequests = 0;
    console->requests().sendRemoteRequest = [&](UzelIdent, std::uint32_t) { ++remoteRequests; };
    QList<QPair<UzelIdent, QByteArray>> toNodes;
    console->requests().sendToNode = [&](UzelIdent node, const QByteArray& bytes) {
        toNodes.append({node, bytes});
        return 0;
    };
    EXPECT_EQ(checkAt(QTime(14, 10, 0)), Polls({{3, 4}, {12, 2}}));
    EXPECT_EQ(remoteRequests, 0);
    ASSERT_EQ(toNodes.size(), 1);
    EXPECT_EQ(toNodes[0].first, 9);
    EXPECT_EQ(toNodes[0].second, buildSrc(MakeRequestFrame(PresencePollWord(12, 2))));
    console->state().remoteMode = false;

    // A console without its own bus checks nothing.
    console->state().settings.remoteControlOnly = true;
    console->state().inactiveDevicesSeen = false;
    EXPECT_TRUE(checkAt(QTime(14, 30, 0)).empty());
    EXPECT_FALSE(alarmed());
    EXPECT_FALSE(console->state().inactiveDevicesSeen);
    clock.set(QDateTime(QDate(2030, 4, 1), QTime(14, 31, 0)));
    console->tick();
    EXPECT_TRUE(fake::script().sent.empty());
}

} // namespace
