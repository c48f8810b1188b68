#pragma once

#include <cstdint>

#include "usb/CUsbBuffer.h"
#include "usb/CUsbDevice.h"

class UsbTransferChannel;

// A handle of its own on the instrument's interface, bound to one endpoint,
// with timed synchronous transfers: each is issued as overlapped I/O, waited
// for with a time-out (0xFFFFFFFF waits without limit), and cancelled and
// drained when the time-out expires, so that no transfer is pending when a
// call returns.
//
// Timed transfers take no lock: a read on one pipe and a write on another may
// run at the same time; one pipe carries one timed transfer at a time. The
// wait, the cancel and the drain run on the thread that issued the transfer.
class CUsbPipe : public CUsbDevice {
  public:
    CUsbPipe();
    // Closes the handle (no unbind request).
    ~CUsbPipe() override;

    // Opens the handle if needed, then sends the bind request.
    std::uint32_t Bind(int instance, std::uint8_t endpointAddress, DeviceList list,
                       const platform::usbio::Guid* interfaceGuid);
    std::uint32_t Unbind();
    // Binds through the owner (its device list; its device's configuration
    // information refreshes the pipe information). Without an owner:
    // 0xE0001013.
    std::uint32_t BindEndpoint(int instance, std::uint8_t endpointAddress);

    // True when the transfer completed at once or is in flight; false when
    // it failed at once. The buffer's status tells which.
    bool SubmitRead(CUsbBuffer* buffer);
    bool SubmitWrite(CUsbBuffer* buffer);
    std::uint32_t WaitForCompletion(CUsbBuffer* buffer, std::uint32_t timeoutMs);
    // Cancels the I/O the calling thread issued on this pipe.
    bool CancelPending();

    // length: the bytes wanted (to send) in, the bytes received (sent) out.
    // Returns 0, 0xE000100C after a time-out (the transfer was cancelled;
    // length tells what the system reports for it), or the failure status.
    std::uint32_t ReadSync(void* data, std::uint32_t& length, std::uint32_t timeoutMs);
    std::uint32_t WriteSync(const void* data, std::uint32_t& length, std::uint32_t timeoutMs);

    UsbPipeInfo& PipeInfo() { return m_PipeInfo; }
    void SetOwner(UsbTransferChannel* owner) { m_pOwner = owner; }
    UsbTransferChannel* Owner() const { return m_pOwner; }

  private:
    enum class Direction { Read, Write };
    bool Submit(CUsbBuffer* buffer, Direction direction);
    std::uint32_t TransferSync(Direction direction, void* data, std::uint32_t& length,
                               std::uint32_t timeoutMs);

    UsbPipeInfo m_PipeInfo;
    UsbTransferChannel* m_pOwner = nullptr;
};
