#pragma once

#include "can/CanFrame.h"
#include "nodelink/Messages.h"

#include <span>

namespace kelcon {

class TUstr;

// Sensor readings of a GSM node into the open device's three analog entries: a record for another
// node or another building is skipped, a code already shown overwrites its entry, a new code takes
// the entry after the last one in use. A new code with all three entries taken has nowhere to go
// and is left out. True when an entry changed.
bool ApplySensorRecords(TUstr& device, UzelIdent node, std::span<const SdpRecord> sensors);

} // namespace kelcon
