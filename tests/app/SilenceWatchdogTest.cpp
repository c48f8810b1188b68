#include "app/SilenceWatchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "tests/support/TestDeadline.h"

namespace {

// The watchdog's waits for a silence, with their limits.
std::vector<std::uint32_t> SilenceWaits(
    const std::vector<platform::TimeFacility::Record>& records) {
    std::vector<std::uint32_t> limits;
    for (const auto& r : records) {
        if (r.what == "silence") {
            limits.push_back(r.timeoutMs);
        }
    }
    return limits;
}

TEST(SilenceWatchdogTest, FiresOnceAfterTheLimitWithoutHearingAndNeverWhileHearing) {
    platform::TimeFacility::ScopedScale fast(1);
    const std::size_t running = platform::Thread::Running();
    // While hearing: each time it hears, the silence starts again with the
    // whole limit (a limit that the test's own steps never come near).
    {
        platform::TimeFacility::ScopedLog log;
        std::atomic<int> fired{0};
        constexpr std::uint32_t kLongLimitMs = 3600000;
        SilenceWatchdog watchdog(kLongLimitMs, [&] { ++fired; });
        ASSERT_TRUE(watchdog.Active());
        for (std::size_t heard = 0; heard < 30; ++heard) {
            ASSERT_TRUE(log.WaitFor([&](const auto& r) { return SilenceWaits(r).size() > heard; },
                                    testsupport::DeadlineMs()))
                << "the watchdog's wait number " << heard + 1;
            watchdog.Heard();
        }
        ASSERT_TRUE(log.WaitFor([](const auto& r) { return SilenceWaits(r).size() == 31; },
                                testsupport::DeadlineMs()));
        const auto limits = SilenceWaits(log.Records());
        EXPECT_EQ(std::count(limits.begin(), limits.end(), kLongLimitMs), 31);
        EXPECT_EQ(fired.load(), 0);
    }
    // Without hearing: it fires after the limit, once, and its thread ends.
    std::atomic<int> fired{0};
    platform::Event firedEvent(true, false);
    std::optional<SilenceWatchdog> watchdog;
    watchdog.emplace(1000, [&] {
        ++fired;
        firedEvent.Set();
    });
    ASSERT_TRUE(testsupport::Await(firedEvent, "the watchdog's firing"));
    watchdog.reset();
    EXPECT_EQ(fired.load(), 1);
    EXPECT_EQ(platform::Thread::Running(), running);
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
