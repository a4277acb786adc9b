// The adapter's own kernel driver, reached through DeviceIoControl on \\.\ZkCan<number>.
#include "Platform.h"

#include <windows.h>

#include <string>

namespace ucanx {

namespace {

class WinDriver final : public Driver {
public:
    explicit WinDriver(HANDLE device) : device_(device) {}
    ~WinDriver() override { CloseHandle(device_); }

    // The device is opened for overlapped I/O, and on such a handle a call without an OVERLAPPED
    // may report completion too early; so every request, the synchronous ones included, goes with
    // one and is waited for. The status byte and the caller's buffers must not outlive the call.
    int control(std::uint32_t code, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                std::uint32_t* returned) override {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!overlapped.hEvent)
            return 0;
        DWORD bytes = 0;
        BOOL ok =
            DeviceIoControl(device_, code, const_cast<void*>(in), inSize, out, outSize, &bytes, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(device_, &overlapped, &bytes, TRUE);
        CloseHandle(overlapped.hEvent);
        if (returned)
            *returned = ok ? bytes : 0;
        return ok ? 1 : 0;
    }

private:
    HANDLE device_;
};

} // namespace

std::unique_ptr<Driver> openPlatformDriver(int number) {
    const std::wstring path = L"\\\\.\\ZkCan" + std::to_wstring(number);
    HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<WinDriver>(device);
}

void prepareUnload() {}

} // namespace ucanx
