#include "platform/PlainDispatcher.h"

#include <chrono>

#include "platform/MessageTypes.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"

namespace platform {

PlainDispatcher::PlainDispatcher() {
    WindowMessages::SetDispatcher(this);
}

PlainDispatcher::~PlainDispatcher() {
    WindowMessages::SetDispatcher(nullptr);
}

void PlainDispatcher::Wake() {
    {
        std::lock_guard lock(mutex_);
        ++wakes_;
    }
    cv_.notify_all();
}

std::size_t PlainDispatcher::WaitAndDispatch(std::uint32_t timeoutMs) {
    if (!WindowMessages::HasPending()) {
        TimeFacility::Note(TimeFacility::Kind::MessageWait, timeoutMs, "window message");
        std::unique_lock lock(mutex_);
        auto woken = [this] { return wakes_ != seen_; };
        if (timeoutMs == kInfinite) {
            cv_.wait(lock, woken);
        } else {
            cv_.wait_for(lock, TimeFacility::RealDuration(timeoutMs), woken);
        }
        seen_ = wakes_;
    }
    return WindowMessages::DispatchPending();
}

bool PlainDispatcher::RunUntil(const std::function<bool()>& done, std::uint32_t timeoutMs) {
    TimeFacility::Note(TimeFacility::Kind::MessageWait, timeoutMs, "run until");
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              TimeFacility::RealDuration(timeoutMs == kInfinite ? 0 : timeoutMs));
    const auto woken = [this] { return wakes_ != seen_; };
    while (true) {
        WindowMessages::DispatchPending();
        if (done()) {
            return true;
        }
        std::unique_lock lock(mutex_);
        if (timeoutMs == kInfinite) {
            cv_.wait(lock, woken);
        } else if (!cv_.wait_until(lock, deadline, woken)) {
            lock.unlock();
            WindowMessages::DispatchPending();
            return done();
        }
        seen_ = wakes_;
    }
}

}  // namespace platform
