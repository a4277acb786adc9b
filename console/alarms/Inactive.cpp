#include "alarms/Inactive.h"

#include "can/AlarmText.h"
#include "can/Requests.h"
#include "core/Console.h"
#include "core/Views.h"
#include "nodelink/Messages.h"

namespace kelcon {

const QString kInactiveDevicesQuery =
    QStringLiteral("select LastDate,NAMEZDAN,NomZdan,TypeNo,min(PRIBORNO) as PriborNo, UZELIDENT\n"
                   "from SpisKel where TypeNo=6 and LastDate < :Neact06\n"
                   "group by LastDate,NAMEZDAN,NomZdan,TypeNo,UZELIDENT\n"
                   "union all select LastDate,NAMEZDAN,NomZdan,TypeNo,PriborNo, UZELIDENT\n"
                   "from SpisKel where TypeNo<>6 and LastDate < :Neact02");

namespace {
// The devices of the register are this node's own (its bus and its GSM nodes). In remote mode the
// request layer serves the remote node, whose bus does not have them, so the poll is put on the
// own bus and relayed to the GSM node here.
void pollDevice(Console& console, UzelIdent node, std::uint32_t word) {
    if (!console.state().remoteMode) {
        console.requests().SendRequest(node, word);
        return;
    }
    const TCanFrame f = MakeRequestFrame(word);
    console.adapter().send(f);
    if (node != 0 && console.requests().sendToNode)
        console.requests().sendToNode(node, buildSrc(f));
}

DbRows inactiveDevices(DbConnection& db, const QDateTime& threshold02, const QDateTime& threshold06) {
    return db.query(kInactiveDevicesQuery,
                    {{QStringLiteral("Neact02"), threshold02}, {QStringLiteral("Neact06"), threshold06}});
}
} // namespace

void InactivityCheck::CheckInactiveDevices() {
    if (console_.state().settings.remoteControlOnly)
        return;
    // A failing database costs this minute's check, not the rest of the minute's tasks.
    try {
        run();
    } catch (const DbError& e) {
        console_.log().PostEvent(e.text());
    }
}

void InactivityCheck::run() {
    ConsoleState& state = console_.state();
    const QDateTime now = console_.clock().now();
    const QDateTime threshold02 = now.addSecs(-60 * qint64(state.settings.neact02));
    const QDateTime threshold06 = now.addSecs(-60 * qint64(state.settings.neact06));

    const DbRows rows = inactiveDevices(console_.eventDb(), threshold02, threshold06);
    if (rows.empty()) {
        state.inactiveDevicesSeen = false;
        return;
    }
    for (const DbRow& row : rows) {
        // Whether the poll got out is not looked at: a device still silent is asked again next minute.
        pollDevice(
            console_, row.toInt(QStringLiteral("UZELIDENT")),
            PresencePollWord(row.toInt(QStringLiteral("PRIBORNO")), row.toInt(QStringLiteral("TYPENO"))));
    }
    if (state.inactiveDevicesSeen) {
        const DbRows still =
            inactiveDevices(console_.eventDb(), threshold02.addSecs(-60), threshold06.addSecs(-60));
        if (!still.empty() && now.time().minute() % 30 == 0) {
            console_.log().PostEvent(InactivityAlarmText());
            if (view_)
                view_->restoreFromTray();
            state.alarmIndicatorOn = true;
            if (console_.dispatcher().forwardAlarm)
                console_.dispatcher().forwardAlarm(TCanFrame{}, now, 0);
        }
    }
    state.inactiveDevicesSeen = true;
}

void AcknowledgeAlarms(Console& console, AlarmPopup* popup) {
    if (popup)
        popup->hide();
    console.state().alarmIndicatorOn = false;
}

void attachInactivityCheck(Console& console, MainView* view) {
    console.hooks().checkInactiveDevices = [check = InactivityCheck(console, view)]() mutable {
        check.CheckInactiveDevices();
    };
}

} // namespace kelcon
