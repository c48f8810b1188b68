#pragma once

#include <cstdint>

namespace platform::usbio {

// How libusb's results become the driver's statuses. A failure never maps to
// 0; codes with a driver status of the same meaning take it, the rest keep
// a status of their own (a Win32 error where one fits).
class LibusbStatus {
  public:
    // Win32 error for an open that the system refused (no permission).
    static constexpr std::uint32_t kAccessDenied = 5;  // ERROR_ACCESS_DENIED

    // A libusb_error value (0 or negative).
    static std::uint32_t FromError(int error);
    // A libusb_transfer_status value of a finished transfer.
    static std::uint32_t FromTransfer(int transferStatus);
};

}  // namespace platform::usbio
