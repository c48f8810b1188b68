#include "sim/SimulatedInstrument.h"

#include "engine/Protocol.h"
#include "platform/usbio/SimulatedDevice.h"

namespace sim {

SimulatedInstrument::SimulatedInstrument(Scenario scenario) : protocol_(std::move(scenario)) {}

SimulatedInstrument::~SimulatedInstrument() {
    stopTimers_.Set();
    std::lock_guard lock(mutex_);
    for (auto& t : timers_) {
        t->Join();
    }
}

void SimulatedInstrument::Attach(platform::usbio::SimulatedDevice* device) {
    if (device != nullptr) {
        const std::uint16_t size = protocol_.GetScenario().packetSize;
        device->SetPipes({{kInEndpoint, 2, size}, {0x01, 2, size}});
    }
    device_.store(device);
}

SimulatedInstrument::OutResult SimulatedInstrument::OnBulkOut(std::uint8_t endpoint,
                                                              std::span<const std::uint8_t> data) {
    platform::usbio::SimulatedDevice* device = device_.load();
    const std::size_t packet = device != nullptr ? device->MaxPacketSize(endpoint) : 512;
    FrameAssembler::Taken taken;
    {
        std::lock_guard lock(mutex_);
        taken = frames_.Take(protocol_, data, packet);
    }
    if (taken.stalledAfter) {
        // The whole packets within the bytes named went, then the endpoint
        // stalled; the program writes the rest of the frame.
        OutResult result;
        result.accepted = *taken.stalledAfter;
        result.status = platform::usbio::SimulatedDevice::kStallStatus;
        return result;
    }
    const auto& frames = taken.frames;
    for (const auto& frame : frames) {
        if (!React(frame)) {
            break;
        }
    }
    return OutResult{};
}

bool SimulatedInstrument::React(const std::vector<std::uint8_t>& frame) {
    const auto reactions = protocol_.OnFrame(frame.data(), frame.size());
    platform::usbio::SimulatedDevice* device = device_.load();
    if (device == nullptr) {
        return true;
    }
    for (const auto& r : reactions) {
        if (r.kind == InstrumentProtocol::Reaction::Kind::Vanish) {
            if (r.delayMs == 0) {
                device->Unplug();
            } else {
                // Answers queued before stay readable until the device goes.
                auto timer = platform::Thread::Start([this, delay = r.delayMs] {
                    if (stopTimers_.Wait(delay, "instrument vanishes") ==
                        platform::WaitResult::TimedOut) {
                        if (auto* d = device_.load()) {
                            d->Unplug();
                        }
                    }
                });
                std::lock_guard lock(mutex_);
                timers_.push_back(std::move(timer));
            }
            return false;
        }
        device->QueueIn(kInEndpoint, {r.byte}, r.delayMs);
    }
    return true;
}

InstrumentAttacher::InstrumentAttacher(std::shared_ptr<platform::usbio::SimulatedBackend> backend,
                                       std::shared_ptr<SimulatedInstrument> instrument,
                                       platform::usbio::SimulatedDevice::Identity identity)
    : backend_(std::move(backend)), instrument_(std::move(instrument)), identity_([&] {
          identity.serial = instrument_->Protocol().GetScenario().serial;
          return identity;
      }()) {
    const std::uint32_t delay = instrument_->Protocol().GetScenario().attachDelayMs;
    if (delay == 0) {
        AttachNow();
        return;
    }
    timer_ = platform::Thread::Start([this, delay] {
        if (cancel_.Wait(delay, "instrument attach delay") == platform::WaitResult::TimedOut) {
            AttachNow();
        }
    });
}

InstrumentAttacher::~InstrumentAttacher() {
    cancel_.Set();
    if (timer_) {
        timer_->Join();
    }
}

void InstrumentAttacher::AttachNow() {
    auto device = backend_->AddDevice(instrument_, identity_);
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
}

std::shared_ptr<platform::usbio::SimulatedDevice> InstrumentAttacher::Device() const {
    std::lock_guard lock(mutex_);
    return device_;
}

}  // namespace sim
