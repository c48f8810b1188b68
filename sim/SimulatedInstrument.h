#pragma once

#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/usbio/SimulatedBackend.h"
#include "platform/usbio/SimulatedFunction.h"
#include "sim/FrameAssembler.h"
#include "sim/InstrumentProtocol.h"

namespace sim {

// The simulated Talvenmark Pro as the function logic of a simulated USB
// device: frames written to its OUT endpoint go to the instrument's protocol,
// and its answers come back on the IN endpoint 0x81 after the delays the
// scenario asks for, each one byte in a packet of its own. A "vanish" unplugs
// the device instead of answering; a "partial" stalls the write after the
// whole packets that fit in the bytes it names.
class SimulatedInstrument : public platform::usbio::SimulatedFunction {
  public:
    static constexpr std::uint8_t kInEndpoint = 0x81;

    explicit SimulatedInstrument(Scenario scenario = {});
    ~SimulatedInstrument() override;

    OutResult OnBulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
    void Attach(platform::usbio::SimulatedDevice* device) override;

    InstrumentProtocol& Protocol() { return protocol_; }
    const InstrumentProtocol& Protocol() const { return protocol_; }

  private:
    // Hands one whole frame to the protocol and queues its answers; false
    // when the instrument vanished instead.
    bool React(const std::vector<std::uint8_t>& frame);

    InstrumentProtocol protocol_;
    std::mutex mutex_;
    FrameAssembler frames_;
    // A vanish that comes later (after a flash time, say) unplugs from a
    // thread of its own; destruction stops it.
    platform::Event stopTimers_{true, false};
    std::vector<std::unique_ptr<platform::Thread>> timers_;
    std::atomic<platform::usbio::SimulatedDevice*> device_{nullptr};
};

// Puts a simulated instrument on a simulated back end, at once or after the
// scenario's attach delay (timed through the time facility on a thread of its
// own, which a destructor before the delay has passed stops without
// attaching).
class InstrumentAttacher {
  public:
    // The device gets the scenario's serial number and the identity's port
    // (the back end gives one when it names none).
    InstrumentAttacher(std::shared_ptr<platform::usbio::SimulatedBackend> backend,
                       std::shared_ptr<SimulatedInstrument> instrument,
                       platform::usbio::SimulatedDevice::Identity identity = {});
    ~InstrumentAttacher();
    InstrumentAttacher(const InstrumentAttacher&) = delete;
    InstrumentAttacher& operator=(const InstrumentAttacher&) = delete;

    // The device once attached; null before. Any thread.
    std::shared_ptr<platform::usbio::SimulatedDevice> Device() const;

  private:
    void AttachNow();

    std::shared_ptr<platform::usbio::SimulatedBackend> backend_;
    std::shared_ptr<SimulatedInstrument> instrument_;
    const platform::usbio::SimulatedDevice::Identity identity_;
    mutable std::mutex mutex_;
    std::shared_ptr<platform::usbio::SimulatedDevice> device_;
    platform::Event cancel_{true, false};
    std::unique_ptr<platform::Thread> timer_;
};

}  // namespace sim
