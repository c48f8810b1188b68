#include "usb/UsbTransferChannel.h"

#include <algorithm>
#include <cstring>

UsbTransferChannel::UsbTransferChannel()
    : m_InterfaceTable{{
          {1, 0, 0, 0x10000},
          {0, 1, 0, 0x10000},
          {0, 2, 0, 0x10000},
          {0, 3, 0, 0x10000},
          {0, 4, 0, 0x10000},
          {0, 5, 0, 0x10000},
      }} {}

UsbTransferChannel::~UsbTransferChannel() {
    m_pInPipe.reset();
    m_pOutPipe.reset();
    // The device (and the placeholder pipe) go with the members.
}

void UsbTransferChannel::CreatePipes() {
    if (m_Device.IsOpen()) {
        m_pInPipe.reset();
        m_pOutPipe.reset();
        m_Device.Close();
    }
    if (!m_pInPipe) {
        m_pInPipe = std::make_unique<CUsbPipe>();
    }
    if (!m_pOutPipe) {
        m_pOutPipe = std::make_unique<CUsbPipe>();
    }
    m_pOutPipe->SetOwner(this);
    m_pInPipe->SetOwner(this);
}

std::uint32_t UsbTransferChannel::Configure() {
    UsbConfigurationRequest request;
    usbrecord::Put16(&request.bytes[0], static_cast<std::uint16_t>(m_nConfigurationIndex));
    std::uint16_t count = 0;
    for (const InterfaceEntry& entry : m_InterfaceTable) {
        if (entry.enabled == 0) {
            continue;
        }
        std::uint8_t* setting = &request.bytes[4 + 8 * count];
        usbrecord::Put16(setting, static_cast<std::uint16_t>(entry.interfaceNumber));
        usbrecord::Put16(setting + 2, entry.alternateSetting);
        usbrecord::Put32(setting + 4, entry.maxTransferSize);
        ++count;
    }
    usbrecord::Put16(&request.bytes[2], count);
    return m_Device.SetConfiguration(&request);
}

void UsbTransferChannel::BindPipes() {
    if (!m_pInPipe || !m_pOutPipe) {
        return;
    }
    UsbConfigurationInfo info;
    if (m_Device.GetConfigurationInfo(&info) != USB_STATUS_SUCCESS) {
        return;
    }
    // Only the entries that fit in the record are read, whatever the count.
    const std::uint32_t count = std::min(info.PipeCount(), UsbConfigurationInfo::kMaxPipes);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = info.PipeEntry(i);
        const std::uint8_t endpoint = entry[10];
        CUsbPipe& pipe = (endpoint & 0x80) != 0 ? *m_pInPipe : *m_pOutPipe;
        std::memcpy(pipe.PipeInfo().bytes.data(), entry, pipe.PipeInfo().bytes.size());
        pipe.BindEndpoint(m_nInstance, endpoint);  // a failed binding shows on first use
    }
}

std::uint32_t UsbTransferChannel::Send(const void* data, std::uint32_t& length,
                                       std::uint32_t timeoutMs) {
    if (!m_pOutPipe) {
        length = 0;
        return USB_STATUS_PIPE_NOT_FOUND;
    }
    return m_pOutPipe->WriteSync(data, length, timeoutMs);
}

CUsbPipe* UsbTransferChannel::InPipe() {
    return m_pInPipe ? m_pInPipe.get() : &m_NoPipe;
}

CUsbPipe* UsbTransferChannel::OutPipe() {
    return m_pOutPipe ? m_pOutPipe.get() : &m_NoPipe;
}

void UsbTransferChannel::CancelTransfers() {
    // Closing a pipe's handle ends what is pending on it; the pipe objects
    // stay, so a thread inside a transfer never meets freed memory.
    if (m_pInPipe) {
        m_pInPipe->Close();
    }
    if (m_pOutPipe) {
        m_pOutPipe->Close();
    }
}

void UsbTransferChannel::Close() {
    m_Device.Close();
    m_nInstance = -1;
}
