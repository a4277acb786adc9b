#pragma once

#include "can/CanFrame.h"

#include <QDateTime>

#include <array>
#include <cstdint>

namespace kelcon {

// Operation, the low four bits of a request word.
enum class RequestOp : std::uint8_t {
    Presence = 0,    // presence poll, slot and parameter 0
    Increase = 1,    // one step up
    Decrease = 2,    // one step down
    DeviceData = 3,  // send all data of the device (slot 7, parameter 0)
    SlotData = 4,    // send the data of one slot (parameter 0)
    ResetAlarms = 6, // slot 7, parameter 0
};

// Slots 0-3 are circuits 1-4 (KEL-06: zone circuits 1-6 as slots 0-5).
constexpr int kSlotGVS = 4;
constexpr int kSlotKotly = 5;
constexpr int kSlotDevice = 7;

// device key + 0x80000000 + (slot << 13) + (parameter << 8) + operation. Slot, parameter and
// operation are kept to their 3, 5 and 4 bits so that no value can carry into the device key.
constexpr std::uint32_t RequestWord(std::uint32_t deviceKey, int slot, int parameter, RequestOp op)
{
    return (deviceKey & kDeviceKeyMask) + kServiceBit + (std::uint32_t(slot & 7) << 13) +
           (std::uint32_t(parameter & 0x1F) << 8) + std::uint32_t(std::uint8_t(op) & 0xF);
}

constexpr std::uint32_t PresencePollWord(int number, int type)
{
    return RequestWord(makeDeviceKey(number, type), 0, 0, RequestOp::Presence);
}
constexpr std::uint32_t DeviceDataWord(std::uint32_t deviceKey)
{
    return RequestWord(deviceKey, kSlotDevice, 0, RequestOp::DeviceData);
}
constexpr std::uint32_t SlotDataWord(std::uint32_t deviceKey, int slot)
{
    return RequestWord(deviceKey, slot, 0, RequestOp::SlotData);
}
constexpr std::uint32_t ResetAlarmsWord(std::uint32_t deviceKey)
{
    return RequestWord(deviceKey, kSlotDevice, 0, RequestOp::ResetAlarms);
}

// Requests from other nodes that change a controller: a step up or down, an alarm reset.
constexpr bool IsStepChange(std::uint32_t word)
{
    const std::uint32_t op = word & 0x8000000Fu;
    return op == 0x80000001u || op == 0x80000002u || (word & 0x8000FF0Fu) == 0x8000E006u;
}
// Data frames from other nodes that write settings (the 0xA0 and 0xA6 commands).
constexpr bool IsSettingsWrite(std::uint32_t word) { return (word & 0x8000E00Fu) == 0x0000A000u; }

// The driver overwrites this with 0 once the frame is on the bus; a send that never reached the
// driver keeps it, so it doubles as the "not handed over" result.
constexpr std::uint8_t kSendStatusNotSent = 1;

// Remote-request frame of a word: extended-frame flag added, length byte 0x40, no data.
TCanFrame MakeRequestFrame(std::uint32_t word);
TCanFrame MakeRequestFrame(std::uint32_t deviceKey, int slot, int parameter, RequestOp op);

// Data frame: extended-frame flag added, count (kept to 0-8) data bytes, zero beyond.
TCanFrame MakeDataFrame(std::uint32_t word, const std::uint8_t* data, int count);

// Mode and settings commands: device key + subject, five bytes (parameter, value, building,
// floor, zone; 0 = all), each sent as its low 8 bits. The subject is not a service request.
constexpr std::uint32_t kCommandDop = 0xA000;   // one controller's mode
constexpr std::uint32_t kCommandGroup = 0xA600; // zone settings of a group
TCanFrame MakeCommandFrame(std::uint32_t deviceKey, std::uint32_t subject, int parameter, int value, int zdan,
                           int etaz, int zon);

// The daily clock broadcast: word 0x0000FF04 with minute and hour in packed BCD, the day of the
// week (Monday 0), day, month and year modulo 100.
constexpr std::uint32_t kTimeBroadcastWord = 0x0000FF04u;
std::array<std::uint8_t, 6> TimeBroadcastData(const QDateTime& t);

} // namespace kelcon
