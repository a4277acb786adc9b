#include "Requests.h"

#include <algorithm>

namespace kelcon {

TCanFrame MakeRequestFrame(std::uint32_t word)
{
    TCanFrame f;
    f.ident = word | kExtendedFlag;
    f.len = 0x40;
    return f;
}

TCanFrame MakeRequestFrame(std::uint32_t deviceKey, int slot, int parameter, RequestOp op)
{
    return MakeRequestFrame(RequestWord(deviceKey, slot, parameter, op));
}

TCanFrame MakeDataFrame(std::uint32_t word, const std::uint8_t* data, int count)
{
    TCanFrame f;
    f.ident = word | kExtendedFlag;
    count = data ? std::clamp(count, 0, 8) : 0;
    f.len = std::uint8_t(count);
    std::copy(data, data + count, f.data.begin());
    return f;
}

TCanFrame MakeCommandFrame(std::uint32_t deviceKey, std::uint32_t subject, int parameter, int value, int zdan,
                           int etaz, int zon)
{
    const std::uint8_t data[5] = {std::uint8_t(parameter), std::uint8_t(value), std::uint8_t(zdan),
                                  std::uint8_t(etaz), std::uint8_t(zon)};
    return MakeDataFrame((deviceKey & kDeviceKeyMask) + (subject & 0xFF00u), data, 5);
}

std::array<std::uint8_t, 6> TimeBroadcastData(const QDateTime& t)
{
    const auto packedBcd = [](int v) { return std::uint8_t((v / 10) << 4 | v % 10); };
    const QDate d = t.date();
    return {packedBcd(t.time().minute()), packedBcd(t.time().hour()), std::uint8_t(d.dayOfWeek() - 1),
            std::uint8_t(d.day()),        std::uint8_t(d.month()),    std::uint8_t(d.year() % 100)};
}

} // namespace kelcon
