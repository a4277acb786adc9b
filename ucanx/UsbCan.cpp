#include "ucanx/ucanx.h"

#include "Driver.h"
#include "Platform.h"
#include "can/CanFrame.h"
#include "core/Cp1251.h"

#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

static_assert(sizeof(UcanxFrame) == sizeof(kelcon::TCanFrame));
static_assert(offsetof(UcanxFrame, ident) == offsetof(kelcon::TCanFrame, ident));
static_assert(offsetof(UcanxFrame, len) == offsetof(kelcon::TCanFrame, len));
static_assert(offsetof(UcanxFrame, data) == offsetof(kelcon::TCanFrame, data));
static_assert(offsetof(UcanxFrame, reserved) == offsetof(kelcon::TCanFrame, reserved));

struct CUsbCan {
    std::unique_ptr<ucanx::Driver> driver;
};

namespace {

using namespace ucanx;

// The open-adapter list is the library's only state. It lives as long as the library is loaded;
// unloading closes whatever the caller left open.
struct OpenAdapters {
    std::vector<std::unique_ptr<CUsbCan>> list;
    DriverFactory factory;

    ~OpenAdapters() {
        prepareUnload();
        list.clear();
    }
};

OpenAdapters g_adapters;

Driver* driverOf(const CUsbCan* handle) {
    if (!handle)
        return nullptr;
    for (const auto& a : g_adapters.list) {
        if (a.get() == handle)
            return a->driver.get();
    }
    return nullptr;
}

// The driver keeps the identifier as the controller's SIDH, SIDL, EID8, EID0 registers in that
// order, the console as one little-endian word: the four bytes are reversed at the boundary.
void reverseIdentifier(std::uint8_t* record) {
    std::reverse(record, record + 4);
}

int writeRequest(Driver& d, RequestHeader h, const std::uint8_t* data) {
    std::vector<std::uint8_t> in(kRequestHeaderSize + h.length);
    putHeader(in.data(), h);
    if (h.length)
        std::memcpy(in.data() + kRequestHeaderSize, data, h.length);
    std::uint32_t returned = 0;
    return d.control(kVendorRequest, in.data(), std::uint32_t(in.size()), nullptr, 0, &returned);
}

int readRequest(Driver& d, RequestHeader h, std::uint8_t* out) {
    std::uint8_t in[kRequestHeaderSize];
    putHeader(in, h);
    std::uint32_t returned = 0;
    return d.control(kVendorRequest, in, kRequestHeaderSize, out, h.length, &returned);
}

int writeRegister(Driver& d, std::uint8_t address, std::uint8_t value) {
    return writeRequest(d, {kWriteRegister, value, address, 0}, nullptr);
}

int writeIdentifierRegisters(Driver& d, std::uint8_t first, const std::uint8_t* word) {
    std::uint8_t image[4];
    std::reverse_copy(word, word + 4, image);
    return writeRequest(d, {kWriteRegisters, 0, first, 4}, image);
}

QString serialNumber(Driver& d) {
    std::uint8_t descriptor[18] = {};
    const std::uint8_t deviceDescriptor[2] = {4, 0};
    std::uint32_t returned = 0;
    if (!d.control(kGetDescriptor, deviceDescriptor, 2, descriptor, sizeof descriptor, &returned) ||
        returned <= 16)
        return {};
    // Byte 16 of a USB device descriptor is the index of its serial-number string.
    const std::uint8_t stringDescriptor[2] = {5, descriptor[16]};
    std::uint8_t text[256] = {};
    if (!d.control(kGetDescriptor, stringDescriptor, 2, text, sizeof text, &returned))
        return {};
    const std::uint32_t chars = std::min<std::uint32_t>(returned, sizeof text) / 2;
    QString s(qsizetype(chars), Qt::Uninitialized);
    for (std::uint32_t i = 0; i < chars; ++i)
        s[qsizetype(i)] = QChar(char16_t(text[2 * i] | text[2 * i + 1] << 8));
    return s;
}

// Nothing may be thrown across the C boundary: a failure inside becomes the export's failure result.
template <typename F> auto guarded(F f, decltype(f()) failure) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        return failure;
    }
}

} // namespace

void ucanxSetDriverFactory(ucanx::DriverFactory factory) {
    g_adapters.factory = std::move(factory);
}

extern "C" {

CUsbCan* CnOpen(uint8_t number) {
    return guarded(
        [&]() -> CUsbCan* {
            auto driver = g_adapters.factory ? g_adapters.factory(number) : openPlatformDriver(number);
            if (!driver)
                return nullptr;
            auto adapter = std::make_unique<CUsbCan>();
            adapter->driver = std::move(driver);
            g_adapters.list.push_back(std::move(adapter));
            return g_adapters.list.back().get();
        },
        nullptr);
}

int32_t CnClose(CUsbCan* handle) {
    return guarded(
        [&]() -> int32_t {
            auto& list = g_adapters.list;
            const auto it =
                std::find_if(list.begin(), list.end(), [&](auto& a) { return a.get() == handle; });
            if (it == list.end())
                return 0;
            // Taken off the list first, so a failing close cannot leave a dangling entry behind.
            std::unique_ptr<CUsbCan> adapter = std::move(*it);
            list.erase(it);
            adapter.reset();
            return -1;
        },
        0);
}

int32_t CnInit(CUsbCan* handle, uint8_t* answer, uint8_t mode) {
    Driver* d = driverOf(handle);
    if (!d)
        return 0;
    return guarded(
        [&]() -> int32_t {
            std::uint8_t byte = 0;
            const int result = readRequest(*d, {kInitialise, mode, 0, 1}, &byte);
            if (result && answer)
                *answer = byte;
            return result;
        },
        0);
}

int32_t CnSetMaskFilters(CUsbCan* handle, const UcanxFilterRecord* record) {
    Driver* d = driverOf(handle);
    if (!d || !record)
        return 0;
    // Worked on a copy: the caller may pass the same record again and must get the same filters.
    std::uint8_t r[16];
    std::memcpy(r, record, sizeof r);
    if (r[0] != 0)
        return 0;
    return guarded(
        [&]() -> int32_t {
            // In the controller, mode 11 receives every frame and 00 applies mask and filters; callers
            // think the other way round (a zeroed record means "everything"), so the two are swapped.
            const std::uint8_t mode = r[1] & 0x60;
            if (mode == 0x00)
                r[1] |= 0x60;
            else if (mode == 0x60)
                r[1] &= std::uint8_t(~0x60);
            writeRegister(*d, 0x60, r[1]);
            writeRegister(*d, 0x0F, 0x80); // masks and filters can be written in configuration mode only
            writeIdentifierRegisters(*d, 0x20, r + 4);
            writeIdentifierRegisters(*d, 0x00, r + 8);
            writeIdentifierRegisters(*d, 0x04, r + 12);
            return writeRegister(*d, 0x0F, 0x00);
        },
        0);
}

int32_t CnRecieveEnable(CUsbCan* handle) {
    Driver* d = driverOf(handle);
    return d ? guarded([&] { return writeRequest(*d, {kEnableReception, 0, 0, 0}, nullptr); }, 0) : 0;
}

int32_t CnRecieveDisable(CUsbCan* handle) {
    Driver* d = driverOf(handle);
    return d ? guarded([&] { return writeRequest(*d, {kDisableReception, 0, 0, 0}, nullptr); }, 0) : 0;
}

int32_t CnRecievePackets(CUsbCan* handle, UcanxFrame* frames, uint32_t* count) {
    Driver* d = driverOf(handle);
    if (!d || !count)
        return 0;
    // The driver's byte counts are 32-bit.
    const std::uint32_t capacity = std::min<std::uint32_t>(*count, 0xFFFFFFFFu / kRecordSize);
    *count = 0;
    if (!frames && capacity)
        return 0;
    return guarded(
        [&]() -> int32_t {
            const std::uint32_t size = capacity * kRecordSize;
            std::uint32_t returned = 0;
            if (!d->control(kReadFrames, nullptr, 0, frames, size, &returned))
                return 0;
            const std::uint32_t n = std::min(returned, size) / kRecordSize;
            auto* bytes = reinterpret_cast<std::uint8_t*>(frames);
            for (std::uint32_t i = 0; i < n; ++i)
                reverseIdentifier(bytes + i * kRecordSize);
            *count = n;
            return -1;
        },
        0);
}

int32_t CnSendPackets(CUsbCan* handle, const UcanxFrame* frames, uint32_t count, uint8_t* status) {
    Driver* d = driverOf(handle);
    if (!d)
        return 0;
    if (count == 0)
        return -1;
    if (!frames || count > 0xFFFFFFFFu / kRecordSize)
        return 0;
    return guarded(
        [&]() -> int32_t {
            // The caller's frames stay as they are: the reversal is done on a copy.
            std::vector<std::uint8_t> copy(std::size_t(count) * kRecordSize);
            std::memcpy(copy.data(), frames, copy.size());
            for (std::uint32_t i = 0; i < count; ++i)
                reverseIdentifier(copy.data() + i * kRecordSize);
            std::uint32_t returned = 0;
            const int sent =
                d->control(kWriteFrames, copy.data(), std::uint32_t(copy.size()), nullptr, 0, &returned);
            if (sent && status) {
                std::uint8_t byte = 0;
                returned = 0;
                const int result = d->control(kSendStatus, nullptr, 0, &byte, 1, &returned);
                if (result && returned >= 1)
                    *status = byte;
                return result;
            }
            return sent ? -1 : 0;
        },
        0);
}

int32_t CnSetBaudRate(CUsbCan* handle, uint8_t rateCode) {
    Driver* d = driverOf(handle);
    return d ? guarded([&] { return writeRequest(*d, {kSetBitRate, rateCode, 0, 0}, nullptr); }, 0) : 0;
}

int32_t CnGetSerialNumber(CUsbCan* handle, char* text, uint32_t size) {
    Driver* d = driverOf(handle);
    if (!d)
        return 0;
    const QByteArray serial = guarded([&] { return kelcon::toCp1251(serialNumber(*d)); }, QByteArray());
    // The whole text with its terminating zero, or an empty text: never a cut-off number.
    if (text && size > 0) {
        if (std::uint64_t(serial.size()) + 1 < size)
            std::memcpy(text, serial.constData(), std::size_t(serial.size()) + 1);
        else
            text[0] = 0;
    }
    return -1;
}

int32_t CnGetRegisters(CUsbCan* handle, uint8_t first, uint8_t count, uint8_t* buffer) {
    Driver* d = driverOf(handle);
    if (!d || (!buffer && count))
        return 0;
    return guarded([&] { return readRequest(*d, {kReadRegisters, 0, first, count}, buffer); }, 0);
}

int32_t CnSetRegisters(CUsbCan* handle, uint8_t first, uint8_t count, const uint8_t* data) {
    Driver* d = driverOf(handle);
    if (!d || (!data && count))
        return 0;
    return guarded([&] { return writeRequest(*d, {kWriteRegisters, 0, first, count}, data); }, 0);
}

int32_t CnGetDevParameters(CUsbCan* handle, uint8_t* block) {
    Driver* d = driverOf(handle);
    if (!d || !block)
        return 0;
    // Byte 0 says how long the caller's block is; the answer overwrites it.
    return guarded([&] { return readRequest(*d, {kReadParameters, 0, 0, block[0]}, block); }, 0);
}

int32_t CnSetDevParameters(CUsbCan* handle, const uint8_t* block) {
    Driver* d = driverOf(handle);
    if (!d || !block)
        return 0;
    return guarded([&] { return writeRequest(*d, {kWriteParameters, 0, 0, block[0]}, block); }, 0);
}

} // extern "C"
