#pragma once

#include "storage/Settings.h"

#include <QString>

namespace kelcon {

// The process-wide state of the running console (what the main window of the Windows version
// kept in its own fields). The program owns one; windows and subsystems read and change it.
struct ConsoleState {
    TSettings settings; // loaded at start, changed by the settings dialog

    bool adapterReady = false;
    bool adapterLibraryLoaded = false;
    bool remoteLinkUp = false;
    bool alarmForwardBusy = false;
    bool remoteMode = false;
    bool alarmIndicatorOn = false;
    bool inactiveDevicesSeen = false;
    bool listWindowOpen = false; // a list window is open (no update attempt then)
    // Mail failures, the pending mail text and the update attempts live with the mailer and the
    // update client.


    QString remoteNodeName;

    quint32 receivedFrames = 0; // status line counter: polled frames plus relayed records
    quint32 blinkCounter = 0;
    QString spinner;
};

} // namespace kelcon
