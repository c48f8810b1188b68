#pragma once

#include <memory>

#include "platform/usbio/SimulatedBackend.h"
#include "tests/support/UsbScriptedFunction.h"

// Installs a simulated back end with one device running a
// UsbScriptedFunction for the life of the object, and removes it again.
// The device is interface 0 ("\\.\USBIO_Device0").
class UsbSimEnvironment {
  public:
    UsbSimEnvironment();
    ~UsbSimEnvironment();
    UsbSimEnvironment(const UsbSimEnvironment&) = delete;
    UsbSimEnvironment& operator=(const UsbSimEnvironment&) = delete;

    platform::usbio::SimulatedBackend& Backend() { return *backend_; }
    platform::usbio::SimulatedDevice& Device() { return *device_; }
    UsbScriptedFunction& Function() { return *function_; }

  private:
    std::shared_ptr<platform::usbio::SimulatedBackend> backend_;
    std::shared_ptr<UsbScriptedFunction> function_;
    std::shared_ptr<platform::usbio::SimulatedDevice> device_;
};
