#include "platform/PlainDispatcher.h"

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

void PlainDispatcher::RunUntil(const std::function<bool()>& done) {
    while (true) {
        WindowMessages::DispatchPending();
        if (done()) {
            return;
        }
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return wakes_ != seen_; });
        seen_ = wakes_;
    }
}

}  // namespace platform
