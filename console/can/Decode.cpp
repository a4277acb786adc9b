#include "DeviceRecord.h"

namespace kelcon {

void TUstr::Decode(const TCanFrame& frame)
{
    KeyUstr = deviceKey(frame.ident);
    NomerUstr = deviceNumber(frame.ident);
}

void TUstrKel06::Decode(const TCanFrame& frame)
{
    TUstr::Decode(frame);
}

} // namespace kelcon
