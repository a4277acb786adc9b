#include "DeviceRecord.h"

#include "core/Cp1251.h"

#include <cstring>

namespace kelcon {

QString TName10::text() const
{
    return fromCp1251(c.data(), qsizetype(strnlen(c.data(), c.size())));
}

std::unique_ptr<TUstr> CreateDeviceRecord(int type, int number, UzelIdent uzel, std::uint8_t nomZdan)
{
    std::unique_ptr<TUstr> u = type == 6 ? std::make_unique<TUstrKel06>() : std::make_unique<TUstr>();
    u->TypeUstr = std::uint16_t(type);
    u->KeyUstr = makeDeviceKey(number, type);
    u->Uzel = uzel;
    u->NomZdan = nomZdan;
    return u;
}

} // namespace kelcon
