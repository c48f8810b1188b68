#include "sim/SimulatedInstrument.h"

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
    device_.store(device);
}

SimulatedInstrument::OutResult SimulatedInstrument::OnBulkOut(std::uint8_t /*endpoint*/,
                                                              std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> frame;
    {
        std::lock_guard lock(mutex_);
        if (!stalled_.empty()) {
            frame = std::move(stalled_);
            stalled_.clear();
            frame.insert(frame.end(), data.begin(), data.end());
        } else if (auto part = protocol_.PartialWrite(data.data(), data.size())) {
            // Only the first bytes go; the write then never completes, so the
            // program's write times out and reports how many went.
            stalled_.assign(data.begin(), data.begin() + *part);
            OutResult result;
            result.accepted = *part;
            result.neverCompletes = true;
            return result;
        } else {
            frame.assign(data.begin(), data.end());
        }
    }
    const auto reactions = protocol_.OnFrame(frame.data(), frame.size());
    platform::usbio::SimulatedDevice* device = device_.load();
    if (device == nullptr) {
        return OutResult{};
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
            break;
        }
        device->QueueIn(kInEndpoint, {r.byte}, r.delayMs);
    }
    return OutResult{};
}

InstrumentAttacher::InstrumentAttacher(std::shared_ptr<platform::usbio::SimulatedBackend> backend,
                                       std::shared_ptr<SimulatedInstrument> instrument)
    : backend_(std::move(backend)), instrument_(std::move(instrument)) {
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
    auto device = backend_->AddDevice(instrument_);
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
}

std::shared_ptr<platform::usbio::SimulatedDevice> InstrumentAttacher::Device() const {
    std::lock_guard lock(mutex_);
    return device_;
}

}  // namespace sim
