#include "usb/CUsbDevice.h"

#include <cstring>
#include <new>

#include "platform/PathFormat.h"
#include "platform/usbio/UsbioDriver.h"
#include "usb/SetupApiBinding.h"

using platform::usbio::SetupApi;
using platform::usbio::UsbioDriver;
namespace usbio = platform::usbio;

CUsbDevice::CUsbDevice() = default;

CUsbDevice::~CUsbDevice() {
    Close();
}

CUsbDevice::DeviceList CUsbDevice::CreateDeviceList(const usbio::Guid* interfaceGuid) {
    if (!SetupApiBinding::Load()) {
        return 0;
    }
    const DeviceList list = SetupApiBinding::Instance().m_pfnGetClassDevs(
        interfaceGuid, nullptr, nullptr, SetupApi::DIGCF_PRESENT | SetupApi::DIGCF_DEVICEINTERFACE);
    return list == SetupApi::INVALID_HANDLE_VALUE ? 0 : list;
}

void CUsbDevice::DestroyDeviceList(DeviceList list) {
    if (SetupApiBinding::Load() && list != 0) {
        SetupApiBinding::Instance().m_pfnDestroyDeviceInfoList(list);
    }
}

std::uint32_t CUsbDevice::FetchDevicePath(int instance, DeviceList list,
                                          const usbio::Guid* interfaceGuid) {
    if (list == 0 || interfaceGuid == nullptr) {
        return USB_STATUS_INVALID_PARAMETER;
    }
    if (!SetupApiBinding::Load()) {
        return USB_STATUS_SETUPAPI_MISSING;
    }
    const SetupApiBinding& api = SetupApiBinding::Instance();
    m_pDevicePathBuffer.reset();

    SetupApi::DeviceInterfaceData data{};
    data.cbSize = SetupApi::kInterfaceDataSize;
    if (!api.m_pfnEnumDeviceInterfaces(list, nullptr, interfaceGuid,
                                       static_cast<std::uint32_t>(instance), &data)) {
        const std::uint32_t error = UsbioDriver::GetLastError();
        return error == usbio::ERROR_NO_MORE_ITEMS ? USB_STATUS_NO_SUCH_INSTANCE : error;
    }

    std::uint32_t required = 0;
    api.m_pfnGetDeviceInterfaceDetail(list, &data, nullptr, 0, &required, nullptr);
    if (required == 0) {
        return USB_STATUS_FAILED;
    }
    // One byte more than asked for, always zero, so that the path is
    // terminated whatever the reply holds.
    m_pDevicePathBuffer.reset(new (std::nothrow) std::uint8_t[std::size_t{required} + 1]);
    if (!m_pDevicePathBuffer) {
        return USB_STATUS_NO_MEMORY;
    }
    std::memset(m_pDevicePathBuffer.get(), 0, std::size_t{required} + 1);
    usbrecord::Put32(m_pDevicePathBuffer.get(), SetupApi::kDetailDataSize);

    if (!api.m_pfnGetDeviceInterfaceDetail(list, &data, m_pDevicePathBuffer.get(), required,
                                           &required, nullptr)) {
        return UsbioDriver::GetLastError();
    }
    return USB_STATUS_SUCCESS;
}

const char* CUsbDevice::DevicePath() const {
    return m_pDevicePathBuffer ? reinterpret_cast<const char*>(m_pDevicePathBuffer.get() + 4)
                               : nullptr;
}

std::uint32_t CUsbDevice::Open(int instance, DeviceList list, const usbio::Guid* interfaceGuid) {
    if (IsOpen()) {
        return USB_STATUS_SUCCESS;
    }
    char deviceName[80];
    const char* name = deviceName;
    if (list != 0) {
        const std::uint32_t status = FetchDevicePath(instance, list, interfaceGuid);
        if (status != USB_STATUS_SUCCESS) {
            return status;
        }
        name = DevicePath();
    } else if (!platform::PathFormat::Into(deviceName, sizeof deviceName, "\\\\.\\USBIO_Device%d",
                                           instance)) {
        return USB_STATUS_DEVICE_NOT_FOUND;
    }

    const usbio::Handle handle =
        UsbioDriver::CreateFile(name, usbio::GENERIC_READ | usbio::GENERIC_WRITE,
                                usbio::FILE_SHARE_READ | usbio::FILE_SHARE_WRITE,
                                usbio::OPEN_EXISTING, usbio::FILE_FLAG_OVERLAPPED);
    if (handle == usbio::kInvalidHandle) {
        return USB_STATUS_DEVICE_NOT_FOUND;
    }
    m_hDevice.store(handle);

    {
        std::lock_guard lock(m_RequestLock);
        m_pRequestEvent = platform::Event::Create(false, false);
        m_RequestOverlapped.event = m_pRequestEvent.get();
    }
    if (m_RequestOverlapped.event == nullptr) {
        Close();
        return USB_STATUS_NO_MEMORY;
    }

    UsbDriverInfo info;
    const std::uint32_t status = GetDriverInfo(&info);
    if (status != USB_STATUS_SUCCESS) {
        Close();
        return status;
    }
    if (info.InterfaceVersion() != usbio::kUsbioApiVersion) {
        Close();
        return USB_STATUS_VERSION_MISMATCH;
    }
    return USB_STATUS_SUCCESS;
}

void CUsbDevice::Close() {
    const usbio::Handle handle = m_hDevice.exchange(usbio::kNullHandle);
    if (handle != usbio::kNullHandle) {
        // Ends a request that another thread is waiting for, so that the
        // request lock comes free.
        UsbioDriver::CloseHandle(handle);
    }
    {
        // Another thread may be inside IoControl with the request event.
        std::lock_guard lock(m_RequestLock);
        m_RequestOverlapped.event = nullptr;
        m_pRequestEvent.reset();
    }
    m_pDevicePathBuffer.reset();
}

bool CUsbDevice::IsOpen() const {
    return m_hDevice.load() != usbio::kNullHandle;
}

std::uint32_t CUsbDevice::IoControl(std::uint32_t controlCode, const void* input,
                                    std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                                    std::uint32_t* bytesReturned) {
    if (!IsOpen()) {
        return USB_STATUS_DEVICE_NOT_OPEN;
    }
    std::uint32_t status = USB_STATUS_SUCCESS;
    std::uint32_t count = 0;
    {
        std::lock_guard lock(m_RequestLock);
        const usbio::Handle handle = m_hDevice.load();
        if (!UsbioDriver::DeviceIoControl(handle, controlCode, input, inputSize, output, outputSize,
                                          &count, &m_RequestOverlapped)) {
            status = UsbioDriver::GetLastError();
            if (status == usbio::ERROR_IO_PENDING) {
                status =
                    UsbioDriver::GetOverlappedResult(handle, &m_RequestOverlapped, &count, true)
                        ? USB_STATUS_SUCCESS
                        : UsbioDriver::GetLastError();
            }
        }
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = count;
    }
    return status;
}

std::uint32_t CUsbDevice::GetDriverInfo(UsbDriverInfo* reply) {
    return IoControl(usbio::IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, reply->bytes.data(),
                     static_cast<std::uint32_t>(reply->bytes.size()), nullptr);
}

std::uint32_t CUsbDevice::GetDescriptor(void* buffer, std::uint32_t* size, std::uint32_t recipient,
                                        std::uint8_t type, std::uint8_t index,
                                        std::uint16_t languageId) {
    UsbDescriptorRequest request;
    usbrecord::Put32(&request.bytes[0], recipient);
    request.bytes[4] = type;
    request.bytes[5] = index;
    usbrecord::Put16(&request.bytes[6], languageId);
    return IoControl(usbio::IOCTL_USBIO_GET_DESCRIPTOR, request.bytes.data(),
                     static_cast<std::uint32_t>(request.bytes.size()), buffer, *size, size);
}

std::uint32_t CUsbDevice::GetDeviceDescriptor(void* buffer) {
    std::uint32_t size = 18;
    return GetDescriptor(buffer, &size, 0, 1, 0, 0);
}

std::uint32_t CUsbDevice::SetConfiguration(const UsbConfigurationRequest* request) {
    return IoControl(usbio::IOCTL_USBIO_SET_CONFIGURATION, request->bytes.data(),
                     static_cast<std::uint32_t>(request->bytes.size()), nullptr, 0, nullptr);
}

std::uint32_t CUsbDevice::GetConfigurationInfo(UsbConfigurationInfo* reply) {
    reply->bytes.fill(0);
    return IoControl(usbio::IOCTL_USBIO_GET_CONFIGURATION_INFO, nullptr, 0, reply->bytes.data(),
                     static_cast<std::uint32_t>(reply->bytes.size()), nullptr);
}
