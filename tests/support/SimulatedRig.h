#pragma once

#include <functional>
#include <memory>

#include "platform/usbio/SimulatedBackend.h"
#include "sim/SimulatedInstrument.h"
#include "usb/UsbTransferChannel.h"

namespace testsupport {

// A simulated instrument on the driver stand-in and a transfer channel to it,
// for suites that go through the real transport. Connect() does what device
// detection does once it has found the instrument. Registers the channel as
// the application's while alive.
class SimulatedRig {
  public:
    explicit SimulatedRig(sim::Scenario scenario = {});
    ~SimulatedRig();
    SimulatedRig(const SimulatedRig&) = delete;
    SimulatedRig& operator=(const SimulatedRig&) = delete;

    // Opens instance 0, configures it and binds the pipes. False when no
    // device could be opened.
    bool Connect();

    sim::SimulatedInstrument& Instrument() { return *instrument_; }
    const sim::InstrumentProtocol& Protocol() const { return instrument_->Protocol(); }
    UsbTransferChannel& Channel() { return *channel_; }
    platform::usbio::SimulatedBackend& Backend() { return *backend_; }
    // The device once attached (the scenario may delay it).
    std::shared_ptr<platform::usbio::SimulatedDevice> Device() const { return attacher_->Device(); }

    // Runs at every look the driver takes at the attached devices, numbered
    // from 1, on the looking thread: a detection pass takes one look to list
    // them and one more for each device it opens. False hides the rig's
    // devices from that look. Null (the default) shows them always.
    void SetLookupHook(std::function<bool(int look)> hook);

  private:
    class LookedAtBackend;

    std::shared_ptr<platform::usbio::SimulatedBackend> backend_;
    std::shared_ptr<LookedAtBackend> driverView_;
    std::shared_ptr<sim::SimulatedInstrument> instrument_;
    std::unique_ptr<UsbTransferChannel> channel_;
    std::unique_ptr<sim::InstrumentAttacher> attacher_;
};

}  // namespace testsupport
