#pragma once

#include <memory>
#include <vector>

#include "platform/usbio/UsbioDevice.h"

namespace platform::usbio {

// A source of devices for the driver stand-in (the simulated back end, the
// libusb back end). Installed with UsbioDriver::InstallBackend.
//
// | Operation       | Returns                                          | Blocks       | Caller
// thread |
// |-----------------|--------------------------------------------------|--------------|---------------|
// | AttachedDevices | the devices attached now, in a stable order; the | short locks  | any | | |
// driver numbers interfaces across back ends in    | only         |               | | |
// installation order, then in this order           |              |               |
class UsbioBackend {
  public:
    virtual ~UsbioBackend() = default;
    virtual std::vector<std::shared_ptr<UsbioDevice>> AttachedDevices() = 0;
};

}  // namespace platform::usbio
