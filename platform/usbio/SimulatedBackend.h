#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/usbio/SimulatedDevice.h"
#include "platform/usbio/UsbioBackend.h"

namespace platform::usbio {

// The simulated back end: a set of SimulatedDevices. Install it with
// UsbioDriver::InstallBackend; devices added later appear at once, and a
// device that is unplugged drops out of the interface list until plugged
// again. Any thread.
//
//   auto backend = std::make_shared<SimulatedBackend>();
//   auto device = backend->AddDevice(std::make_shared<MyFunction>());
//   UsbioDriver::InstallBackend(backend);
class SimulatedBackend : public UsbioBackend {
  public:
    // Adds a plugged-in device with path "/dev/usbio/sim<n>", bus address
    // n + 1 and, unless the identity names one, port "1-<n>" (n counts from 1
    // within this back end).
    std::shared_ptr<SimulatedDevice> AddDevice(std::shared_ptr<SimulatedFunction> function,
                                               SimulatedDevice::Identity identity);
    std::shared_ptr<SimulatedDevice> AddDevice(std::shared_ptr<SimulatedFunction> function);
    void RemoveDevice(const std::shared_ptr<SimulatedDevice>& device);

    std::vector<std::shared_ptr<UsbioDevice>> AttachedDevices() override;

  private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<SimulatedDevice>> devices_;
    int added_ = 0;
};

}  // namespace platform::usbio
