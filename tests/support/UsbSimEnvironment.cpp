#include "tests/support/UsbSimEnvironment.h"

#include "platform/usbio/UsbioDriver.h"

using platform::usbio::SimulatedBackend;
using platform::usbio::UsbioDriver;

UsbSimEnvironment::UsbSimEnvironment()
    : backend_(std::make_shared<SimulatedBackend>()),
      function_(std::make_shared<UsbScriptedFunction>()),
      device_(backend_->AddDevice(function_)) {
    UsbioDriver::InstallBackend(backend_);
}

UsbSimEnvironment::~UsbSimEnvironment() {
    UsbioDriver::RemoveBackend(backend_);
}
