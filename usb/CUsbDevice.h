#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/Event.h"
#include "platform/usbio/UsbioTypes.h"
#include "usb/UsbRecords.h"

// The USB driver's device interface class GUID, passed to every enumeration.
inline constexpr platform::usbio::Guid kUsbioInterfaceGuid = platform::usbio::kUsbioInterfaceClass;

// Statuses this layer produces itself.
inline constexpr std::uint32_t USB_STATUS_SUCCESS = 0;
inline constexpr std::uint32_t USB_STATUS_FAILED = 0xE0001000;
inline constexpr std::uint32_t USB_STATUS_NO_MEMORY = 0xE0000100;
inline constexpr std::uint32_t USB_STATUS_DEVICE_NOT_FOUND = 0xE0001100;
inline constexpr std::uint32_t USB_STATUS_DEVICE_NOT_OPEN = 0xE0001102;
inline constexpr std::uint32_t USB_STATUS_NO_SUCH_INSTANCE = 0xE0001104;
inline constexpr std::uint32_t USB_STATUS_INVALID_PARAMETER = 0xE0001105;
inline constexpr std::uint32_t USB_STATUS_SETUPAPI_MISSING = 0xE0001106;
inline constexpr std::uint32_t USB_STATUS_VERSION_MISMATCH = 0xE000101C;
inline constexpr std::uint32_t USB_STATUS_TIMEOUT = 0xE000100C;
inline constexpr std::uint32_t USB_STATUS_PIPE_NOT_FOUND = 0xE0001013;

// One open handle of a USB driver interface: finds the interface through
// setupapi, opens it, checks the driver's interface version and sends the
// driver's control requests synchronously. Every operation that can fail
// returns a status: 0, a code of the status table (UsbStatusText) or a Win32
// error passed through unchanged.
//
// IoControl and the request operations may be called from several threads
// (the request lock admits one request at a time, held until it completes,
// without a time-out); Open, Close and FetchDevicePath are used from one
// thread at a time.
class CUsbDevice {
  public:
    using DeviceList = platform::usbio::DevInfoHandle;  // 0 is "no list"

    CUsbDevice();
    virtual ~CUsbDevice();
    CUsbDevice(const CUsbDevice&) = delete;
    CUsbDevice& operator=(const CUsbDevice&) = delete;

    // A device-information set of the present interfaces of the class, or 0
    // when setupapi cannot be bound or the call fails.
    static DeviceList CreateDeviceList(const platform::usbio::Guid* interfaceGuid);
    // Releases such a set; 0 is ignored.
    static void DestroyDeviceList(DeviceList list);

    // Fetches the path of interface `instance` (from 0) of the list into the
    // device path buffer.
    std::uint32_t FetchDevicePath(int instance, DeviceList list,
                                  const platform::usbio::Guid* interfaceGuid);
    // The path in the device path buffer, or null.
    const char* DevicePath() const;

    // Opens the interface (by the list's path, or with a null list by the
    // name "\\.\USBIO_Device<instance>") and checks the driver's version. On
    // an open device returns 0 at once, whatever the arguments.
    std::uint32_t Open(int instance, DeviceList list, const platform::usbio::Guid* interfaceGuid);
    // Closes the handle and the request event and frees the path buffer; any
    // number of times. Closing the handle ends a request still pending on it;
    // the event goes under the request lock, so Close may meet IoControl on
    // another thread.
    void Close();
    bool IsOpen() const;

    // Sends one control request and waits for its completion. bytesReturned
    // (optional) receives the byte count, also after a failure, but is left
    // alone when the device is not open.
    std::uint32_t IoControl(std::uint32_t controlCode, const void* input, std::uint32_t inputSize,
                            void* output, std::uint32_t outputSize, std::uint32_t* bytesReturned);

    std::uint32_t GetDriverInfo(UsbDriverInfo* reply);
    // size: the buffer size in, the bytes received out.
    std::uint32_t GetDescriptor(void* buffer, std::uint32_t* size, std::uint32_t recipient,
                                std::uint8_t type, std::uint8_t index, std::uint16_t languageId);
    // buffer holds 18 bytes.
    std::uint32_t GetDeviceDescriptor(void* buffer);
    std::uint32_t SetConfiguration(const UsbConfigurationRequest* request);
    // Zeroes the reply before asking.
    std::uint32_t GetConfigurationInfo(UsbConfigurationInfo* reply);

  protected:
    platform::usbio::Handle Handle() const { return m_hDevice.load(); }

  private:
    std::atomic<platform::usbio::Handle> m_hDevice{platform::usbio::kNullHandle};
    platform::usbio::Overlapped m_RequestOverlapped;
    std::unique_ptr<platform::Event> m_pRequestEvent;
    std::mutex m_RequestLock;
    // The interface detail record: u32 size field (5), then the path.
    std::unique_ptr<std::uint8_t[]> m_pDevicePathBuffer;
};
