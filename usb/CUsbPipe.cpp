#include "usb/CUsbPipe.h"

#include <algorithm>
#include <cstring>

#include "platform/usbio/UsbioDriver.h"
#include "usb/UsbTransferChannel.h"

using platform::usbio::UsbioDriver;
namespace usbio = platform::usbio;

CUsbPipe::CUsbPipe() = default;

CUsbPipe::~CUsbPipe() = default;  // CUsbDevice's destructor closes the handle

std::uint32_t CUsbPipe::Bind(int instance, std::uint8_t endpointAddress, DeviceList list,
                             const usbio::Guid* interfaceGuid) {
    if (!IsOpen()) {
        const std::uint32_t status = Open(instance, list, interfaceGuid);
        if (status != USB_STATUS_SUCCESS) {
            return status;
        }
    }
    return IoControl(usbio::IOCTL_USBIO_BIND_PIPE, &endpointAddress, 1, nullptr, 0, nullptr);
}

std::uint32_t CUsbPipe::Unbind() {
    return IoControl(usbio::IOCTL_USBIO_UNBIND_PIPE, nullptr, 0, nullptr, 0, nullptr);
}

std::uint32_t CUsbPipe::BindEndpoint(int instance, std::uint8_t endpointAddress) {
    if (m_pOwner == nullptr) {
        return USB_STATUS_PIPE_NOT_FOUND;
    }
    std::uint32_t status =
        Bind(instance, endpointAddress, m_pOwner->DeviceList(), &kUsbioInterfaceGuid);
    if (status != USB_STATUS_SUCCESS) {
        return status;
    }
    UsbConfigurationInfo info;
    status = m_pOwner->Device().GetConfigurationInfo(&info);
    if (status != USB_STATUS_SUCCESS) {
        Unbind();
        return status;
    }
    // The count comes from the driver unchecked; only entries inside the
    // record are looked at.
    const std::uint32_t count = std::min(info.PipeCount(), UsbConfigurationInfo::kMaxPipes);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = info.PipeEntry(i);
        if (entry[10] == endpointAddress) {
            std::memcpy(m_PipeInfo.bytes.data(), entry, m_PipeInfo.bytes.size());
            break;
        }
    }
    if (m_PipeInfo.PipeType() <= 3) {
        return USB_STATUS_SUCCESS;
    }
    Unbind();
    return USB_STATUS_FAILED;
}

bool CUsbPipe::Submit(CUsbBuffer* buffer, Direction direction) {
    const bool done = direction == Direction::Read
                          ? UsbioDriver::ReadFile(Handle(), buffer->m_pData, buffer->m_nRequested,
                                                  &buffer->m_nTransferred, &buffer->m_Overlapped)
                          : UsbioDriver::WriteFile(Handle(), buffer->m_pData, buffer->m_nRequested,
                                                   &buffer->m_nTransferred, &buffer->m_Overlapped);
    if (done) {
        buffer->m_nStatus = USB_STATUS_SUCCESS;
        return true;
    }
    buffer->m_nStatus = UsbioDriver::GetLastError();
    return buffer->m_nStatus == usbio::ERROR_IO_PENDING;
}

bool CUsbPipe::SubmitRead(CUsbBuffer* buffer) {
    return Submit(buffer, Direction::Read);
}

bool CUsbPipe::SubmitWrite(CUsbBuffer* buffer) {
    return Submit(buffer, Direction::Write);
}

std::uint32_t CUsbPipe::WaitForCompletion(CUsbBuffer* buffer, std::uint32_t timeoutMs) {
    if (buffer->m_nStatus == USB_STATUS_SUCCESS) {
        return USB_STATUS_SUCCESS;
    }
    if (buffer->m_nStatus != usbio::ERROR_IO_PENDING) {
        return buffer->m_nStatus;
    }
    platform::Event* event = buffer->m_Overlapped.event;
    const platform::WaitResult wait =
        event != nullptr ? event->Wait(timeoutMs, "usb transfer") : platform::WaitResult::Failed;
    if (wait == platform::WaitResult::TimedOut) {
        return USB_STATUS_TIMEOUT;
    }
    // A wait that cannot be made at all ends the transfer here: the caller
    // releases the descriptor and the memory on return, so nothing may stay
    // pending.
    const bool drain = wait == platform::WaitResult::Failed;
    if (drain) {
        CancelPending();
    }
    if (UsbioDriver::GetOverlappedResult(Handle(), &buffer->m_Overlapped, &buffer->m_nTransferred,
                                         drain)) {
        buffer->m_nStatus = USB_STATUS_SUCCESS;
        return USB_STATUS_SUCCESS;
    }
    buffer->m_nStatus = UsbioDriver::GetLastError();
    return buffer->m_nStatus;
}

bool CUsbPipe::CancelPending() {
    return UsbioDriver::CancelIo(Handle());
}

std::uint32_t CUsbPipe::TransferSync(Direction direction, void* data, std::uint32_t& length,
                                     std::uint32_t timeoutMs) {
    CUsbBuffer buffer;
    buffer.Wrap(data, length);
    buffer.m_nRequested = length;
    buffer.m_bOwnsData = false;

    Submit(&buffer, direction);  // the status field carries the outcome on
    const std::uint32_t result = WaitForCompletion(&buffer, timeoutMs);
    if (result == USB_STATUS_TIMEOUT) {
        // Cancel from this thread (the one that issued the transfer), then
        // wait until the transfer has really ended.
        CancelPending();
        WaitForCompletion(&buffer, platform::kInfinite);
    }
    length = buffer.m_nTransferred;
    return result;
}

std::uint32_t CUsbPipe::ReadSync(void* data, std::uint32_t& length, std::uint32_t timeoutMs) {
    return TransferSync(Direction::Read, data, length, timeoutMs);
}

std::uint32_t CUsbPipe::WriteSync(const void* data, std::uint32_t& length,
                                  std::uint32_t timeoutMs) {
    // The write only reads the memory.
    return TransferSync(Direction::Write, const_cast<void*>(data), length, timeoutMs);
}
