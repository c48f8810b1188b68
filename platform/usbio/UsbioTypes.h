#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "platform/Event.h"

// Types and constants shared by the USB driver stand-in (UsbioDriver), the
// setupapi stand-in (SetupApi) and their back ends. They mirror what the
// program exchanges with the Windows USB driver it was designed around:
// handles, overlapped records, control codes, statuses and error numbers.
namespace platform::usbio {

// An open device instance. 0 is "no handle"; kInvalidHandle is what a failed
// open returns. Handles are never reused within a process run, so a stale
// handle yields ERROR_INVALID_HANDLE instead of reaching another device.
using Handle = std::uint32_t;
inline constexpr Handle kNullHandle = 0;
inline constexpr Handle kInvalidHandle = 0xFFFFFFFFu;

// A device-information set (setupapi's HDEVINFO); same conventions as Handle.
using DevInfoHandle = std::uint32_t;

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::array<std::uint8_t, 8> data4;
    friend bool operator==(const Guid&, const Guid&) = default;
};

// The device interface class of the USB driver's interfaces.
inline constexpr Guid kUsbioInterfaceClass = {
    0x325DDF96, 0x938C, 0x11D3, {0x9E, 0x34, 0x00, 0x80, 0xC8, 0x27, 0x27, 0xF4}};

// Win32 error numbers the stand-in reports through its per-thread last error.
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_MOD_NOT_FOUND = 126;
inline constexpr std::uint32_t ERROR_PROC_NOT_FOUND = 127;
inline constexpr std::uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr std::uint32_t ERROR_IO_INCOMPLETE = 996;
inline constexpr std::uint32_t ERROR_IO_PENDING = 997;
inline constexpr std::uint32_t ERROR_INVALID_USER_BUFFER = 1784;

// Driver statuses the stand-in itself produces (the complete table with
// texts lives with the transport, usb/UsbStatusText.h).
inline constexpr std::uint32_t USBIO_ERR_STALL_PID = 0xE0000004;     // the device answered STALL
inline constexpr std::uint32_t USBIO_ERR_DATA_OVERRUN = 0xE0000008;  // more data than asked for
inline constexpr std::uint32_t USBIO_ERR_FAILED = 0xE0001000;
inline constexpr std::uint32_t USBIO_ERR_ALREADY_BOUND = 0xE0001008;
inline constexpr std::uint32_t USBIO_ERR_NOT_BOUND = 0xE0001009;
inline constexpr std::uint32_t USBIO_ERR_DEVICE_GONE = 0xE000100A;
inline constexpr std::uint32_t USBIO_ERR_TIMEOUT = 0xE000100C;
inline constexpr std::uint32_t USBIO_ERR_INVALID_IOCTL = 0xE000100F;
inline constexpr std::uint32_t USBIO_ERR_INVALID_DIRECTION = 0xE0001010;
inline constexpr std::uint32_t USBIO_ERR_PIPE_NOT_FOUND = 0xE0001013;
inline constexpr std::uint32_t USBIO_ERR_INVALID_PARAMETER = 0xE0001018;
inline constexpr std::uint32_t USBIO_ERR_SET_CONFIG_FAILED = 0xE000101D;

// The driver's control codes.
inline constexpr std::uint32_t IOCTL_USBIO_GET_DESCRIPTOR = 0x80942006;
inline constexpr std::uint32_t IOCTL_USBIO_SET_CONFIGURATION = 0x80942024;
inline constexpr std::uint32_t IOCTL_USBIO_GET_CONFIGURATION_INFO = 0x80942050;
inline constexpr std::uint32_t IOCTL_USBIO_GET_DRIVER_INFO = 0x8094206C;
inline constexpr std::uint32_t IOCTL_USBIO_BIND_PIPE = 0x80942078;
inline constexpr std::uint32_t IOCTL_USBIO_UNBIND_PIPE = 0x8094207C;

// The driver interface version the program accepts.
inline constexpr std::uint16_t kUsbioApiVersion = 0x0200;

// Record sizes (little-endian, packed; offsets are documented with the
// transport's records).
inline constexpr std::uint32_t kDriverInfoSize = 12;
inline constexpr std::uint32_t kDescriptorRequestSize = 8;
inline constexpr std::uint32_t kConfigurationRequestSize = 260;
inline constexpr std::uint32_t kInterfaceSettingSize = 8;
inline constexpr std::uint32_t kMaxInterfaceSettings = 32;
inline constexpr std::uint32_t kConfigurationInfoSize = 776;
inline constexpr std::uint32_t kPipeInfoOffset = 264;
inline constexpr std::uint32_t kPipeInfoSize = 16;
inline constexpr std::uint32_t kMaxPipeInfos = 32;

// CreateFile-style flags; the stand-in accepts the combination the transport
// passes and ignores the rest.
inline constexpr std::uint32_t GENERIC_READ = 0x80000000u;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr std::uint32_t FILE_SHARE_READ = 0x1;
inline constexpr std::uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// The overlapped record of one request or transfer. The caller owns it and
// its event; the driver resets the event when the I/O is issued, writes the
// byte count and then the status when the I/O completes, and then sets the
// event. While the I/O is in flight status reads ERROR_IO_PENDING. The record
// must stay in place until the I/O has completed (GetOverlappedResult with
// wait, or the event, tells).
struct Overlapped {
    std::atomic<std::uint32_t> status{0};
    std::atomic<std::uint32_t> bytes{0};
    platform::Event* event = nullptr;
};

}  // namespace platform::usbio
