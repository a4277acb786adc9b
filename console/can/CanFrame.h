#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelcon {

// Node identifier: 0 is this console's own bus, anything else a GSM node or another console.
using UzelIdent = std::int32_t;

// One frame as the adapter library hands it over and as the node link carries it.
// The identifier word is the CAN controller's SIDH:SIDL:EID8:EID0 read as one number.
struct TCanFrame {
    std::uint32_t ident = 0;
    std::uint8_t len = 0; // bits 0-3 data length, bit 6 remote request
    std::array<std::uint8_t, 8> data{};
    std::array<std::uint8_t, 3> reserved{};

    int dataLength() const { return len & 0x0F; }
    bool isRemoteRequest() const { return (len & 0x40) != 0; }
};
static_assert(sizeof(TCanFrame) == 16, "TCanFrame must match the adapter's 16-byte record");
static_assert(offsetof(TCanFrame, len) == 4 && offsetof(TCanFrame, data) == 5);

constexpr std::uint32_t kServiceBit = 0x80000000u;
constexpr std::uint32_t kExtendedFlag = 0x00080000u;
constexpr std::uint32_t kDeviceKeyMask = 0x7FE900F0u;
constexpr std::uint32_t kReportClassMask = 0x8000F00Fu;

// Report classes (word & kReportClassMask).
constexpr std::uint32_t kAlarmReport = 0x00000000u;
constexpr std::uint32_t kAlarmClearReport = 0x00000001u;
constexpr std::uint32_t kNameFirstHalf = 0x0000D004u;
constexpr std::uint32_t kNameSecondHalf = 0x0000D005u;
constexpr std::uint32_t kOutsideTempBroadcast = 0x0000F005u;
constexpr std::uint32_t kKel06Settings = 0x0000A000u;
constexpr std::uint32_t kStateReport = 0x8000F008u;
constexpr std::uint32_t kParameterReport = 0x8000F009u;
constexpr std::uint32_t kAddressConflict = 0x8000F00Au;
constexpr std::uint32_t kAlarmStatus = 0x8000F00Bu;

// The value a controller sends for "no sensor / no reading" (150 as an unsigned byte).
constexpr int kNoValue = 150;
constexpr std::int8_t kNoValueSigned = -106;

constexpr int deviceNumber(std::uint32_t word) { return int((word >> 21) & 0x3FF); }
constexpr int deviceType(std::uint32_t word) { return int(((word >> 4) & 0xF) | ((word >> 12) & 0x10)); }
constexpr int messageKind(std::uint32_t word) { return int(word & 0xF); }
constexpr std::uint32_t deviceKey(std::uint32_t word) { return word & kDeviceKeyMask; }
constexpr std::uint32_t reportClass(std::uint32_t word) { return word & kReportClassMask; }

// Device key of a controller from its number and type (extended flag set, as on the bus).
constexpr std::uint32_t makeDeviceKey(int number, int type)
{
    return (std::uint32_t(number & 0x3FF) << 21) | kExtendedFlag | (std::uint32_t(type & 0xF) << 4) |
           (std::uint32_t(type & 0x10) << 12);
}

// 29-bit CAN identifier <-> identifier word. Bit 20 and bit 18 of the word have no identifier bit.
constexpr std::uint32_t identifierFromWord(std::uint32_t word)
{
    return ((word >> 21) << 18) | (((word >> 16) & 3u) << 16) | (word & 0xFFFFu);
}
constexpr std::uint32_t wordFromIdentifier(std::uint32_t id)
{
    return ((id >> 18) << 21) | kExtendedFlag | (((id >> 16) & 3u) << 16) | (id & 0xFFFFu);
}

// Log column i (0..3) holds data bytes (2i, 2i+1) big-endian as a signed 16-bit value.
constexpr std::int16_t logColumn(const TCanFrame& f, int i)
{
    return std::int16_t(std::uint16_t((f.data[2 * i] << 8) | f.data[2 * i + 1]));
}

// "KEL-08", "адрес № 0005", "KEL-08 (адрес № 0005) " (the trailing blank belongs to the form).
QString typeName(int type);
QString addressText(int number);
QString deviceTitle(int type, int number);

} // namespace kelcon
