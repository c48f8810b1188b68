#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "platform/MessageTypes.h"
#include "platform/usbio/UsbioTypes.h"

namespace platform::usbio {

// One control request or bulk transfer inside the driver stand-in: what the
// driver hands to a back end (UsbioDevice) and what the back end completes,
// at once or later, from any thread.
//
// The back end never touches the caller's memory: OUT data is offered during
// the submission call only, and reply or IN data goes through Complete, which
// copies it into the caller's buffer only if the request is still pending. A
// request that was cancelled or ended by device removal therefore delivers
// nothing afterwards, whatever the back end still does with it.
class UsbioRequest {
  public:
    enum class Type { Control, BulkIn, BulkOut };

    UsbioRequest(const UsbioRequest&) = delete;
    UsbioRequest& operator=(const UsbioRequest&) = delete;

    Type GetType() const { return type_; }
    // Control requests: the driver's control code; 0 for transfers.
    std::uint32_t ControlCode() const { return controlCode_; }
    // Transfers: the endpoint address the handle is bound to (bit 7 = IN).
    // Bind requests: the endpoint asked for. Otherwise 0.
    std::uint8_t Endpoint() const { return endpoint_; }
    // Control requests: the input record, copied at submission.
    const std::vector<std::uint8_t>& Input() const { return input_; }
    // Bulk OUT: the bytes to send. Valid only during the back end's
    // UsbioDevice::Transfer call; a back end that keeps data copies it.
    std::span<const std::uint8_t> OutData() const { return outData_; }
    // Control: output capacity. Bulk IN: bytes asked for. Bulk OUT: bytes to send.
    std::uint32_t Length() const { return length_; }

    // The device puts the request on the bus now: one URB of busLength
    // bytes (a bulk IN buffer rounded up to whole packets; a control
    // request's wLength) carrying outData (bulk OUT). Only what a device put
    // on the bus appears in a capture; a request it answers itself (the
    // driver's own four, a descriptor it knows) never does. Called before
    // anything completes the request; does nothing once it has ended. Any
    // thread.
    void OnBus(std::uint32_t busLength, std::span<const std::uint8_t> outData = {});

    // Ends the request once. data is the control reply or what the IN
    // transfer received; at most Length() bytes of it reach the caller, and a
    // bulk IN that received more ends with USBIO_ERR_DATA_OVERRUN instead of
    // success (the capture shows what the bus carried). outBytes is the
    // number of bytes a bulk OUT transfer moved (ignored otherwise). Returns
    // false, and does nothing, when the request has already ended. Any
    // thread; never blocks beyond short internal locks; the back end must not
    // hold a lock that the driver's own calls into the back end take.
    bool Complete(std::uint32_t status, std::span<const std::uint8_t> data = {},
                  std::uint32_t outBytes = 0);

    bool IsCompleted() const;

  private:
    friend class UsbioDriver;
    UsbioRequest() = default;

    Type type_ = Type::Control;
    std::uint32_t controlCode_ = 0;
    std::uint8_t endpoint_ = 0;
    std::vector<std::uint8_t> input_;
    std::span<const std::uint8_t> outData_;
    std::uint32_t length_ = 0;

    // Driver bookkeeping.
    Handle handle_ = kNullHandle;
    ThreadId issuer_ = 0;
    std::uint64_t urbId_ = 0;
    std::uint8_t deviceAddress_ = 0;
    std::uint16_t deviceBus_ = 0;
    std::array<std::uint8_t, 8> setup_{};
    std::uint8_t* destination_ = nullptr;
    Overlapped* overlapped_ = nullptr;

    // Held while the driver hands the request to its device and while a
    // close or cancel ends it there, so that a request is never handed over
    // after it has ended.
    std::mutex handoffMutex_;
    mutable std::mutex mutex_;
    bool completed_ = false;
    bool onBus_ = false;
    std::uint32_t finalStatus_ = 0;
    std::uint32_t finalBytes_ = 0;
};

}  // namespace platform::usbio
