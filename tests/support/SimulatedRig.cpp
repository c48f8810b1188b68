#include "tests/support/SimulatedRig.h"

#include "engine/AppChannel.h"
#include "platform/usbio/UsbioDriver.h"

namespace testsupport {

SimulatedRig::SimulatedRig(sim::Scenario scenario)
    : backend_(std::make_shared<platform::usbio::SimulatedBackend>()),
      instrument_(std::make_shared<sim::SimulatedInstrument>(std::move(scenario))),
      channel_(std::make_unique<UsbTransferChannel>()) {
    platform::usbio::UsbioDriver::InstallBackend(backend_);
    attacher_ = std::make_unique<sim::InstrumentAttacher>(backend_, instrument_);
    kestrup::AppChannel::Set(channel_.get());
}

SimulatedRig::~SimulatedRig() {
    kestrup::AppChannel::Set(nullptr);
    attacher_.reset();
    const auto list = channel_->DeviceList();
    channel_.reset();
    CUsbDevice::DestroyDeviceList(list);
    platform::usbio::UsbioDriver::RemoveBackend(backend_);
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
