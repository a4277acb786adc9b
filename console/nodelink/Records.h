#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace kelcon {

// The records below travel whole between consoles and are read back by the Windows consoles in
// the field, so their byte images are fixed: little-endian, packed, offsets as asserted. They are
// copied to and from the wire with memcpy, which is only right on a little-endian host.
static_assert(std::endian::native == std::endian::little, "node-link records are little-endian images");

#pragma pack(push, 1)

// Heating-point list entry ("QTP").
struct TablIPTP {
    std::int32_t uzelIdent = 0;
    char nameUzel[22] = {};
    std::uint16_t priborNo = 0;
    std::uint8_t nomZdan = 0;
    std::uint8_t typeNo = 0;
    char nameZdan[11] = {};
    std::uint8_t avar = 0; // 1 when the device has any alarm word set
    std::uint8_t padding[2] = {};
};

// Temperature-zone list entry ("QTZ").
struct TablIPTZ {
    std::int32_t uzelIdent = 0;
    char nameUzel[22] = {};
    std::uint16_t priborNo = 0; // lowest device number of the zone
    std::uint8_t nomZdan = 0;
    std::uint8_t nomEtaz = 0;
    std::uint8_t nomZon = 0;
    char nameEtaz[11] = {};
    char nameZdan[11] = {};
    char nameZon[11] = {};
    std::uint8_t nomKont = 0; // lowest circuit number of the zone
    std::uint8_t minTemp = 0;
    std::uint8_t avgTemp = 0;
    std::uint8_t maxTemp = 0;
    std::uint8_t avar = 0;
    std::uint8_t padding[3] = {};
};

// Inactive-device entry ("QNW").
struct TablNoActUstr {
    std::int32_t uzelIdent = 0;
    std::uint16_t priborNo = 0;
    std::uint8_t nomZdan = 0;
    std::uint8_t typeNo = 0;
    char nameZdan[16] = {};
    double lastDate = 0; // day count
};

// Temperature trend point ("QRT").
struct SpTrend {
    std::uint8_t value = 0;
    std::uint8_t padding[7] = {};
    double dateInf = 0;
};

// Sensor trend point ("QDT"): the value is the sensor's float as the frame carried it.
struct DatcTrend {
    std::uint8_t value[4] = {};
    std::uint8_t padding[4] = {};
    double dateInf = 0;
};

// Forwarded alarm ("PAS" payload and the forwarding queue's element).
struct SpAvar {
    std::uint32_t ident = 0;
    std::uint8_t len = 0; // data length, low four bits of the frame's length byte
    std::uint8_t data[8] = {};
    std::uint8_t padding[3] = {};
    double time = 0; // day count of the moment the alarm was queued
};

#pragma pack(pop)

static_assert(sizeof(TablIPTP) == 44);
static_assert(offsetof(TablIPTP, nameUzel) == 4 && offsetof(TablIPTP, priborNo) == 26);
static_assert(offsetof(TablIPTP, nomZdan) == 28 && offsetof(TablIPTP, typeNo) == 29);
static_assert(offsetof(TablIPTP, nameZdan) == 30 && offsetof(TablIPTP, avar) == 41);

static_assert(sizeof(TablIPTZ) == 72);
static_assert(offsetof(TablIPTZ, priborNo) == 26 && offsetof(TablIPTZ, nomZon) == 30);
static_assert(offsetof(TablIPTZ, nameEtaz) == 31 && offsetof(TablIPTZ, nameZdan) == 42);
static_assert(offsetof(TablIPTZ, nameZon) == 53 && offsetof(TablIPTZ, nomKont) == 64);
static_assert(offsetof(TablIPTZ, minTemp) == 65 && offsetof(TablIPTZ, avar) == 68);

static_assert(sizeof(TablNoActUstr) == 32);
static_assert(offsetof(TablNoActUstr, priborNo) == 4 && offsetof(TablNoActUstr, typeNo) == 7);
static_assert(offsetof(TablNoActUstr, nameZdan) == 8 && offsetof(TablNoActUstr, lastDate) == 24);

static_assert(sizeof(SpTrend) == 16 && offsetof(SpTrend, dateInf) == 8);
static_assert(sizeof(DatcTrend) == 16 && offsetof(DatcTrend, dateInf) == 8);

static_assert(sizeof(SpAvar) == 24);
static_assert(offsetof(SpAvar, len) == 4 && offsetof(SpAvar, data) == 5 && offsetof(SpAvar, time) == 16);

template <typename T>
concept WireRecord = std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>;

template <WireRecord T>
void appendRecord(QByteArray& out, const T& record)
{
    out.append(reinterpret_cast<const char*>(&record), qsizetype(sizeof(T)));
}

// The whole records in bytes; a trailing partial record is ignored.
template <WireRecord T>
std::vector<T> readRecords(QByteArrayView bytes)
{
    std::vector<T> out(std::size_t(bytes.size()) / sizeof(T));
    if (!out.empty())
        std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
    return out;
}

// Text fields: the value without trailing blanks, a zero byte, zeros after it. At most N-1 bytes
// of the value are kept so the zero byte always fits.
template <std::size_t N>
void setTextField(char (&field)[N], QByteArrayView value)
{
    qsizetype n = value.size();
    while (n > 0 && std::uint8_t(value[n - 1]) <= 0x20)
        --n;
    n = std::min<qsizetype>(n, qsizetype(N - 1));
    std::memset(field, 0, N);
    std::memcpy(field, value.data(), std::size_t(n));
}

// The bytes of a text field up to its first zero byte (or all of them when there is none).
template <std::size_t N>
QByteArray textField(const char (&field)[N])
{
    return QByteArray(field, qsizetype(::strnlen(field, N)));
}

} // namespace kelcon
