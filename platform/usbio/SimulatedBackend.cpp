#include "platform/usbio/SimulatedBackend.h"

#include <string>

namespace platform::usbio {

std::shared_ptr<SimulatedDevice> SimulatedBackend::AddDevice(
    std::shared_ptr<SimulatedFunction> function, SimulatedDevice::Identity identity) {
    std::lock_guard lock(mutex_);
    const int n = ++added_;
    if (identity.port.empty()) {
        identity.port = std::to_string(SimulatedDevice::kBus) + "-" + std::to_string(n);
    }
    auto device = std::make_shared<SimulatedDevice>(
        std::move(function), "/dev/usbio/sim" + std::to_string(n),
        static_cast<std::uint8_t>(1 + n % 126), std::move(identity));
    devices_.push_back(device);
    return device;
}

std::shared_ptr<SimulatedDevice> SimulatedBackend::AddDevice(
    std::shared_ptr<SimulatedFunction> function) {
    return AddDevice(std::move(function), SimulatedDevice::Identity{});
}

void SimulatedBackend::RemoveDevice(const std::shared_ptr<SimulatedDevice>& device) {
    device->Unplug();
    std::lock_guard lock(mutex_);
    std::erase(devices_, device);
}

std::vector<std::shared_ptr<UsbioDevice>> SimulatedBackend::AttachedDevices() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<UsbioDevice>> attached;
    for (const auto& device : devices_) {
        if (device->IsPlugged()) {
            attached.push_back(device);
        }
    }
    return attached;
}

}  // namespace platform::usbio
