#pragma once

#include <cstdint>

#include "platform/Event.h"
#include "platform/usbio/UsbioDriver.h"

// Short-hands for tests that talk to the driver stand-in directly.
namespace usbio_calls {

using namespace platform::usbio;

inline Handle Open(const char* name = "\\\\.\\USBIO_Device0") {
    return UsbioDriver::CreateFile(name, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED);
}

// Sends a request and waits for it; returns the status (0 or the error).
inline std::uint32_t Request(Handle h, std::uint32_t code, const void* in, std::uint32_t inSize,
                             void* out = nullptr, std::uint32_t outSize = 0,
                             std::uint32_t* count = nullptr) {
    Overlapped ov;
    platform::Event event(false, false);
    ov.event = &event;
    std::uint32_t bytes = 0;
    if (UsbioDriver::DeviceIoControl(h, code, in, inSize, out, outSize, &bytes, &ov)) {
        if (count != nullptr) {
            *count = bytes;
        }
        return 0;
    }
    if (UsbioDriver::GetLastError() != ERROR_IO_PENDING) {
        return UsbioDriver::GetLastError();
    }
    const bool ok = UsbioDriver::GetOverlappedResult(h, &ov, &bytes, true);
    if (count != nullptr) {
        *count = bytes;
    }
    return ok ? 0 : UsbioDriver::GetLastError();
}

// Opens interface 0 and binds the handle to endpoint; kInvalidHandle if
// either fails.
inline Handle OpenBound(std::uint8_t endpoint) {
    const Handle h = Open();
    if (h == kInvalidHandle) {
        return h;
    }
    if (Request(h, IOCTL_USBIO_BIND_PIPE, &endpoint, 1) != 0) {
        UsbioDriver::CloseHandle(h);
        return kInvalidHandle;
    }
    return h;
}

// Issues a transfer and waits for it without limit; returns the status.
inline std::uint32_t Transfer(Handle h, bool read, void* data, std::uint32_t length,
                              std::uint32_t* count) {
    Overlapped ov;
    platform::Event event(false, false);
    ov.event = &event;
    const bool done = read ? UsbioDriver::ReadFile(h, data, length, count, &ov)
                           : UsbioDriver::WriteFile(h, data, length, count, &ov);
    if (done) {
        return 0;
    }
    if (UsbioDriver::GetLastError() != ERROR_IO_PENDING) {
        return UsbioDriver::GetLastError();
    }
    return UsbioDriver::GetOverlappedResult(h, &ov, count, true) ? 0 : UsbioDriver::GetLastError();
}

}  // namespace usbio_calls
