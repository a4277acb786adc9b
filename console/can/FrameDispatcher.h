#pragma once

#include "can/AlarmText.h"
#include "can/CanFrame.h"

#include <QDateTime>
#include <QString>

#include <functional>

namespace kelcon {

class DeviceRegister;
class EventLog;
class FrameLog;
class MainView;
struct ConsoleState;

// The road of every frame, from the own bus (node 0) or relayed by a node: frame-log table,
// relay to remote consoles, device register, alarm text and record, frame log, open window.
class FrameDispatcher {
public:
    FrameDispatcher(ConsoleState& state, FrameLog& frameLog, DeviceRegister& reg, EventLog& log)
        : state_(state), frameLog_(frameLog), register_(reg), log_(log)
    {
    }

    void setMainView(MainView* view) { view_ = view; }

    // Later subsystems hang in here; unset hooks are skipped.
    std::function<void(const TCanFrame&, UzelIdent)> relayToConsoles;
    std::function<AlarmTextResult(const TCanFrame&, UzelIdent)> alarmText;
    std::function<void(const TCanFrame&, const QDateTime&, UzelIdent)> forwardAlarm;
    // True when an open window shows this controller: it decodes the frame and refreshes.
    std::function<void(const TCanFrame&, UzelIdent)> showInOpenWindow;
    // A database failure: the frame's remaining steps are skipped, the next frame goes on.
    std::function<void(const QString&)> onDatabaseError;

    void dispatch(const TCanFrame& frame, const QDateTime& receiveTime, UzelIdent node);

private:
    void steps(const TCanFrame& frame, const QDateTime& receiveTime, UzelIdent node);

    ConsoleState& state_;
    FrameLog& frameLog_;
    DeviceRegister& register_;
    EventLog& log_;
    MainView* view_ = nullptr;
};

} // namespace kelcon
