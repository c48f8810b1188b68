#include "app/SilenceWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/TimeFacility.h"

namespace {

TEST(SilenceWatchdogTest, FiresOnceAfterTheLimitWithoutHearingAndNeverWhileHearing) {
    platform::TimeFacility::ScopedScale fast(10);
    std::atomic<int> fired{0};
    platform::Event firedEvent(true, false);
    SilenceWatchdog watchdog(1000, [&] {
        ++fired;
        firedEvent.Set();
    });
    ASSERT_TRUE(watchdog.Active());
    // Heard every 100 ms for 3000 ms: three limits pass, the silence never lasts one.
    for (int i = 0; i < 30; ++i) {
        platform::TimeFacility::Sleep(100);
        watchdog.Heard();
    }
    EXPECT_EQ(fired.load(), 0);
    EXPECT_EQ(firedEvent.Wait(60000), platform::WaitResult::Signaled);
    platform::TimeFacility::Sleep(2000);
    EXPECT_EQ(fired.load(), 1);
}

TEST(SilenceWatchdogTest, EndsWithTheObjectWithoutFiring) {
    platform::TimeFacility::ScopedScale fast(1);
    std::atomic<int> fired{0};
    {
        SilenceWatchdog watchdog(3600000, [&] { ++fired; });
    }
    EXPECT_EQ(fired.load(), 0);
}

}  // namespace
