#pragma once

#include <QString>

namespace kelcon {

class AlarmPopup;
class Console;
class MainView;

// The register's devices that have been silent for longer than their threshold (neact06 minutes
// for KEL-06, neact02 for the rest), KEL-06 zones of one building and node with the same last
// activity once under their lowest device number.
extern const QString kInactiveDevicesQuery;

// The minute check for controllers that stopped broadcasting: every inactive device is polled,
// and a device still silent a minute later raises "Авария - есть неактивные устройства" at each
// half hour while the condition lasts.
class InactivityCheck {
public:
    explicit InactivityCheck(Console& console, MainView* view = nullptr) : console_(console), view_(view) {}

    void CheckInactiveDevices();

private:
    void run();

    Console& console_;
    MainView* view_;
};

// The operator saw the alarms ("Закрыть" of the pop-up list, "Очистить списки", a request from
// another console): the pop-up goes away and the alarm signal stops.
void AcknowledgeAlarms(Console& console, AlarmPopup* popup);

// Gives the console's minute tick a check of its own; `view` is restored from the tray on the alarm.
void attachInactivityCheck(Console& console, MainView* view);

} // namespace kelcon
