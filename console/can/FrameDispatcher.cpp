#include "can/FrameDispatcher.h"

#include "can/DeviceRegister.h"
#include "core/ConsoleState.h"
#include "core/EventLog.h"
#include "core/Views.h"
#include "storage/FrameLog.h"

namespace kelcon {

void FrameDispatcher::dispatch(const TCanFrame& frame, const QDateTime& receiveTime, UzelIdent node)
{
    try {
        steps(frame, receiveTime, node);
    } catch (const DbError& e) {
        if (onDatabaseError)
            onDatabaseError(e.text());
    }
}

void FrameDispatcher::steps(const TCanFrame& frame, const QDateTime& receiveTime, UzelIdent node)
{
    frameLog_.tableFor(receiveTime);
    if (relayToConsoles)
        relayToConsoles(frame, node);
    register_.update(frame, node);
    if (alarmText) {
        const AlarmTextResult alarm = alarmText(frame, node);
        if (alarm.flag == 1) {
            if (view_)
                view_->restoreFromTray();
            state_.alarmIndicatorOn = true;
            log_.RecordAlarm(alarm.text, receiveTime, node);
            if (forwardAlarm)
                forwardAlarm(frame, receiveTime, node);
        }
    }
    frameLog_.append(frame, receiveTime, node);
    if (showInOpenWindow && !state_.remoteMode)
        showInOpenWindow(frame, node);
}

} // namespace kelcon
