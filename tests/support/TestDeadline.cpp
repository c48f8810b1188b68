#include "tests/support/TestDeadline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/Event.h"
#include "platform/MessageTypes.h"
#include "platform/PlainDispatcher.h"
#include "platform/TimeFacility.h"

namespace testsupport {

std::uint32_t DeadlineMs() {
    const auto perMs = platform::TimeFacility::RealDuration(1);
    const auto ms = std::chrono::duration_cast<std::chrono::nanoseconds>(kEventDeadline) / perMs;
    return static_cast<std::uint32_t>(
        std::min<std::int64_t>(ms, static_cast<std::int64_t>(platform::kInfinite) - 1));
}

bool Await(platform::Event& event, const std::string& what) {
    if (event.Wait(DeadlineMs(), "test deadline") == platform::WaitResult::Signaled) {
        return true;
    }
    ADD_FAILURE() << "waited " << kEventDeadline.count() << " s for " << what << " in vain";
    return false;
}

bool AwaitCondition(const std::function<bool()>& done, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + kEventDeadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "waited " << kEventDeadline.count() << " s for " << what << " in vain";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool DispatchUntil(platform::PlainDispatcher& dispatcher, const std::function<bool()>& done,
                   const std::string& what) {
    if (dispatcher.RunUntil(done, DeadlineMs())) {
        return true;
    }
    ADD_FAILURE() << "waited " << kEventDeadline.count() << " s for " << what << " in vain";
    return false;
}

}  // namespace testsupport
