#include "platform/TimeFacility.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/Thread.h"

namespace platform {
namespace {

TEST(TimeFacilityTest, RealTimeUnlessATestScalesIt) {
    EXPECT_EQ(TimeFacility::RealDuration(5000), std::chrono::milliseconds(5000));
    EXPECT_EQ(TimeFacility::RealDuration(kInfinite), std::chrono::nanoseconds::max());
    {
        TimeFacility::ScopedScale fast(1);
        EXPECT_EQ(TimeFacility::RealDuration(1200000), std::chrono::microseconds(1200000));
        EXPECT_EQ(TimeFacility::RealDuration(kInfinite), std::chrono::nanoseconds::max());
    }
    EXPECT_EQ(TimeFacility::RealDuration(100000), std::chrono::milliseconds(100000));
}

TEST(TimeFacilityTest, ScaledSleepTakesProgramTimeNotRealTime) {
    TimeFacility::ScopedScale fast(1);
    const auto realStart = std::chrono::steady_clock::now();
    const auto programStart = TimeFacility::NowMs();
    TimeFacility::Sleep(1000, "pause");
    const auto realElapsed = std::chrono::steady_clock::now() - realStart;
    EXPECT_GE(TimeFacility::NowMs() - programStart, 1000u);
    EXPECT_LT(realElapsed, std::chrono::milliseconds(1000));
}

TEST(TimeFacilityTest, LogTellsWhichTimeOutEachThreadAskedFor) {
    TimeFacility::ScopedScale fast(1);
    TimeFacility::ScopedLog log;
    TimeFacility::Sleep(3, "main");
    ThreadId other = 0;
    auto t = Thread::Start([&] {
        TimeFacility::Sleep(7);
        TimeFacility::Note(TimeFacility::Kind::Other, 100000, "read");
    });
    other = t->Id();
    t->Join();

    EXPECT_EQ(log.TimeoutsOf(Thread::CurrentId()), (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(log.TimeoutsOf(other), (std::vector<std::uint32_t>{7, 100000}));
    log.Clear();
    EXPECT_TRUE(log.Records().empty());
}

TEST(TimeFacilityTest, ALogCanBeWaitedOnUntilAThreadHasReachedItsWait) {
    TimeFacility::ScopedScale fast(1);
    TimeFacility::ScopedLog log;
    const auto reached = [](const std::vector<TimeFacility::Record>& records) {
        return !records.empty() && records.back().what == "reached";
    };
    EXPECT_FALSE(log.WaitFor(reached, 1000));
    auto t = Thread::Start([] { TimeFacility::Note(TimeFacility::Kind::Other, 7, "reached"); });
    EXPECT_TRUE(log.WaitFor(reached, kInfinite));
    t->Join();
}

TEST(TimeFacilityTest, NothingIsRecordedWithoutALog) {
    TimeFacility::Sleep(0);
    TimeFacility::ScopedLog log;
    EXPECT_TRUE(log.Records().empty());
}

}  // namespace
}  // namespace platform
