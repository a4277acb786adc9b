#include "nodelink/ClientSensors.h"

#include "can/DeviceRecord.h"
#include "core/Cp1251.h"

namespace kelcon {

bool ApplySensorRecords(TUstr& device, UzelIdent node, std::span<const SdpRecord> sensors) {
    if (node != device.Uzel)
        return false;
    bool changed = false;
    for (const SdpRecord& s : sensors) {
        if (s.channel() != 0 && s.channel() != device.NomZdan)
            continue;
        int slot = -1;
        int lastUsed = -1;
        for (int i = 0; i < int(device.AnalogDatc.size()); ++i) {
            if (device.AnalogDatc[std::size_t(i)].Kod == s.code()) {
                slot = i;
                break;
            }
            if (device.AnalogDatc[std::size_t(i)].Kod != 0)
                lastUsed = i;
        }
        if (slot < 0)
            slot = lastUsed + 1;
        if (slot >= int(device.AnalogDatc.size()))
            continue;
        TAnalogDatc& entry = device.AnalogDatc[std::size_t(slot)];
        entry.Kod = s.code();
        entry.Znac = s.value();
        entry.Name = fromCp1251(s.name());
        changed = true;
    }
    return changed;
}

} // namespace kelcon
