#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#if !defined(_WIN32)
#define UCANX_INTERNAL_API __attribute__((visibility("default")))
#elif defined(UCANX_BUILDING)
#define UCANX_INTERNAL_API __declspec(dllexport)
#else
#define UCANX_INTERNAL_API __declspec(dllimport)
#endif

namespace ucanx {

// The kernel driver's control codes: device type 0x22 << 16 | function << 2, buffered, any access.
constexpr std::uint32_t controlCode(std::uint32_t function) {
    return (0x22u << 16) | (function << 2);
}
constexpr std::uint32_t kGetDescriptor = controlCode(0x800); // 0x222000
constexpr std::uint32_t kVendorRequest = controlCode(0x818); // 0x222060
constexpr std::uint32_t kReadFrames = controlCode(0x819);    // 0x222064
constexpr std::uint32_t kWriteFrames = controlCode(0x81A);   // 0x222068
constexpr std::uint32_t kSendStatus = controlCode(0x81B);    // 0x22206C
static_assert(kGetDescriptor == 0x222000 && kSendStatus == 0x22206C);

// Request numbers carried in byte 0 of the 7-byte header of kVendorRequest.
enum Request : std::uint8_t {
    kWriteRegisters = 0x01,
    kReadRegisters = 0x02,
    kWriteRegister = 0x03,
    kWriteParameters = 0x05,
    kReadParameters = 0x06,
    kInitialise = 0x10,
    kEnableReception = 0x13,
    kDisableReception = 0x14,
    kSetBitRate = 0x15,
};

constexpr std::uint32_t kRequestHeaderSize = 7;
constexpr std::uint32_t kRecordSize = 16;

// Header fields of kVendorRequest as the driver reads them (little-endian words).
struct RequestHeader {
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

inline void putHeader(std::uint8_t* out, const RequestHeader& h) {
    out[0] = h.request;
    out[1] = std::uint8_t(h.value);
    out[2] = std::uint8_t(h.value >> 8);
    out[3] = std::uint8_t(h.index);
    out[4] = std::uint8_t(h.index >> 8);
    out[5] = std::uint8_t(h.length);
    out[6] = std::uint8_t(h.length >> 8);
}

inline RequestHeader takeHeader(const std::uint8_t* in) {
    return {in[0], std::uint16_t(in[1] | in[2] << 8), std::uint16_t(in[3] | in[4] << 8),
            std::uint16_t(in[5] | in[6] << 8)};
}

// One opened driver device. control() has the contract of the driver's control call: the result is
// non-zero on success and *returned receives the number of output bytes. Completion of overlapped
// transfers is the back end's business: control() returns only when the request has completed.
class UCANX_INTERNAL_API Driver {
public:
    virtual ~Driver() = default;
    virtual int control(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                        std::uint32_t outSize, std::uint32_t* returned) = 0;
};

// Opens the driver device of a channel number, or returns null when there is none.
using DriverFactory = std::function<std::unique_ptr<Driver>(int number)>;

} // namespace ucanx

// Replaces the way CnOpen reaches a driver; an empty factory restores the platform's own.
// For tests only: the console never calls it.
UCANX_INTERNAL_API void ucanxSetDriverFactory(ucanx::DriverFactory factory);
