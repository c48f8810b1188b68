#include "platform/Event.h"

#include <new>

#include "platform/MessageTypes.h"
#include "platform/TimeFacility.h"

namespace platform {

std::unique_ptr<Event> Event::Create(bool manualReset, bool initiallySignaled) {
    return std::unique_ptr<Event>(new (std::nothrow) Event(manualReset, initiallySignaled));
}

Event::Event(bool manualReset, bool initiallySignaled)
    : manualReset_(manualReset), signaled_(initiallySignaled) {}

void Event::Set() {
    // Notified under the lock: a waiter that wakes may destroy the event at
    // once, so nothing of it may be touched after the lock is released.
    std::lock_guard lock(mutex_);
    signaled_ = true;
    if (manualReset_) {
        cv_.notify_all();
    } else {
        cv_.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard lock(mutex_);
    signaled_ = false;
}

bool Event::IsSignaled() const {
    std::lock_guard lock(mutex_);
    return signaled_;
}

WaitResult Event::Wait(std::uint32_t timeoutMs, const char* what) {
    TimeFacility::Note(TimeFacility::Kind::EventWait, timeoutMs, what);
    std::unique_lock lock(mutex_);
    auto ready = [this] { return signaled_; };
    if (timeoutMs == kInfinite) {
        cv_.wait(lock, ready);
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + TimeFacility::RealDuration(timeoutMs);
        if (!cv_.wait_until(lock, deadline, ready)) {
            return WaitResult::TimedOut;
        }
    }
    if (!manualReset_) {
        signaled_ = false;
    }
    return WaitResult::Signaled;
}

}  // namespace platform
