#pragma once

#include "can/CanFrame.h"

#include <QString>

#include <functional>

namespace kelcon {

// What an alarm line needs from the device register and the node registry; the caller looks them up.
// An unset function counts as "nothing known".
struct AlarmNames {
    // NAMEZDAN of the register row of (node, device number, type) as stored; empty without a row.
    std::function<QString(UzelIdent uzel, int nomer, int type)> buildingName;
    // The node registry's name of a node; empty for an unknown node.
    std::function<QString(UzelIdent uzel)> nodeName;
};

struct AlarmTextResult {
    int flag = 0; // 1: record and signal it; a make-up warning has a text but flag 0
    QString text;
};

// Texts of the set bits of one alarm word of a controller type, joined by ", ", with one blank after
// the last; a word or type without texts gives the single blank.
QString TypeAlarmText(int type, int code, int bits);

// The operator's line for an alarm report, an address conflict, a make-up warning or the
// inactivity record (word 0). Frames of no alarm kind give an empty text and no signal.
// The names are looked up only for a line that carries them.
AlarmTextResult AlarmText(const TCanFrame& frame, UzelIdent uzel, const AlarmNames& names);

QString InactivityAlarmText();

} // namespace kelcon
