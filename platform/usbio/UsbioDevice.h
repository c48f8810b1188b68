#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/usbio/UsbioRequest.h"

namespace platform::usbio {

// Operations table of one device that a back end attaches to the driver
// stand-in. The driver keeps every per-handle rule itself (open handles,
// which handle is bound to which endpoint, direction checks, device removal
// for handles opened before an unplug); a device only answers requests.
//
// | Operation  | Returns / effect                                         | Blocks | Caller thread
// |
// |------------|----------------------------------------------------------|--------|---------------|
// | Path       | the interface path, fixed for the object's life         | no     | any           |
// | Session    | number of the current attachment, 0 while unplugged;    | no     | any           |
// |            | a new number on every plug                              |        |               |
// | Address    | bus address shown in captures (1..127)                  | no     | any           |
// | Bus        | number of the bus the device is on, shown in captures   | no     | any           |
// | Control    | answers one of the six driver requests: completes the   | no     | the requesting|
// |            | request before returning, or later from any thread      |        | thread        |
// | Transfer   | a bulk transfer on a bound endpoint; completes it now or| no     | the requesting|
// |            | later; a read with nothing to return stays pending      |        | thread        |
// | Cancel     | ends a pending request at once with                     | no     | the cancelling|
// |            | ERROR_OPERATION_ABORTED and the bytes moved so far (OUT)| (short | thread        |
// |            | and forgets it; the request may have ended already      | locks) |               |
//
// The driver calls these without holding any of its own locks; a device may
// complete requests from inside these calls. When a device is unplugged it
// completes everything pending with USBIO_ERR_DEVICE_GONE.
class UsbioDevice {
  public:
    virtual ~UsbioDevice() = default;

    virtual std::string Path() const = 0;
    virtual std::uint64_t Session() const = 0;
    virtual std::uint8_t Address() const = 0;
    // The number of the bus the device is on, shown in captures.
    virtual std::uint16_t Bus() const = 0;
    // How an operator tells instruments apart: the serial number as the
    // system read it, and the physical port path "BUS-PORT[.PORT...]" (as
    // sysfs names the device, stable for a hub socket). Empty when unknown.
    virtual std::string Serial() const { return {}; }
    virtual std::string PortPath() const { return {}; }
    virtual void Control(const std::shared_ptr<UsbioRequest>& request) = 0;
    virtual void Transfer(const std::shared_ptr<UsbioRequest>& request) = 0;
    virtual void Cancel(const std::shared_ptr<UsbioRequest>& request) = 0;
    // The last handle open on this device has been closed, after whatever
    // was pending on it ended. A back end that holds the device for its
    // handles (claimed interfaces, a detached kernel driver) lets it go here.
    // Called without driver locks, from the closing thread.
    virtual void LastHandleClosed() {}
};

}  // namespace platform::usbio
