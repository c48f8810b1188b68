#include "tests/support/SimulatedRig.h"

#include <mutex>
#include <vector>

#include "engine/AppChannel.h"
#include "platform/usbio/UsbioDriver.h"

namespace testsupport {

// The rig's back end as the driver sees it, through the lookup hook.
class SimulatedRig::LookedAtBackend : public platform::usbio::UsbioBackend {
  public:
    explicit LookedAtBackend(std::shared_ptr<platform::usbio::SimulatedBackend> backend)
        : backend_(std::move(backend)) {}

    std::vector<std::shared_ptr<platform::usbio::UsbioDevice>> AttachedDevices() override {
        std::function<bool(int)> hook;
        int look = 0;
        {
            std::lock_guard lock(mutex_);
            hook = hook_;
            look = ++looks_;
        }
        if (hook && !hook(look)) {
            return {};
        }
        return backend_->AttachedDevices();
    }
    void SetHook(std::function<bool(int)> hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
        looks_ = 0;
    }

  private:
    const std::shared_ptr<platform::usbio::SimulatedBackend> backend_;
    std::mutex mutex_;
    std::function<bool(int)> hook_;
    int looks_ = 0;
};

SimulatedRig::SimulatedRig(sim::Scenario scenario)
    : backend_(std::make_shared<platform::usbio::SimulatedBackend>()),
      driverView_(std::make_shared<LookedAtBackend>(backend_)),
      instrument_(std::make_shared<sim::SimulatedInstrument>(std::move(scenario))),
      channel_(std::make_unique<UsbTransferChannel>()) {
    platform::usbio::UsbioDriver::InstallBackend(driverView_);
    attacher_ = std::make_unique<sim::InstrumentAttacher>(backend_, instrument_);
    kestrup::AppChannel::Set(channel_.get());
}

SimulatedRig::~SimulatedRig() {
    kestrup::AppChannel::Set(nullptr);
    attacher_.reset();
    const auto list = channel_->DeviceList();
    channel_.reset();
    CUsbDevice::DestroyDeviceList(list);
    platform::usbio::UsbioDriver::RemoveBackend(driverView_);
}

void SimulatedRig::SetLookupHook(std::function<bool(int look)> hook) {
    driverView_->SetHook(std::move(hook));
}

bool SimulatedRig::Connect() {
    channel_->CreatePipes();
    CUsbDevice::DestroyDeviceList(channel_->DeviceList());
    channel_->SetDeviceList(CUsbDevice::CreateDeviceList(&kUsbioInterfaceGuid));
    if (channel_->Device().Open(0, channel_->DeviceList(), &kUsbioInterfaceGuid) != 0) {
        return false;
    }
    channel_->Configure();
    channel_->BindPipes();
    return true;
}

}  // namespace testsupport
