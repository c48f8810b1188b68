#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "tests/support/TestDeadline.h"

namespace platform {
namespace {

TEST(EventTest, AutoResetReleasesOneWaiterPerSetAndStaysSignaledWhileNobodyWaits) {
    Event event(false, false);
    EXPECT_EQ(event.Wait(0), WaitResult::TimedOut);

    event.Set();
    event.Set();  // a second set while nobody waits does not count twice
    EXPECT_TRUE(event.IsSignaled());
    EXPECT_EQ(event.Wait(0), WaitResult::Signaled);
    EXPECT_EQ(event.Wait(0), WaitResult::TimedOut);

    // Two waiters, each in its wait before the sets: one set releases one
    // of them and is taken by it, the next set the other.
    TimeFacility::ScopedLog log;
    std::atomic<int> released{0};
    std::vector<std::unique_ptr<Thread>> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.push_back(Thread::Start([&] {
            if (event.Wait(testsupport::DeadlineMs(), "waiter") == WaitResult::Signaled) {
                ++released;
            }
        }));
    }
    ASSERT_TRUE(log.WaitFor([](const auto& records) { return records.size() == 2; },
                            testsupport::DeadlineMs()));
    event.Set();
    ASSERT_TRUE(testsupport::AwaitCondition([&] { return released.load() >= 1; },
                                            "the first waiter's release"));
    EXPECT_EQ(event.Wait(0), WaitResult::TimedOut);  // the waiter took the set
    event.Set();
    for (auto& w : waiters) {
        w->Join();
    }
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(event.IsSignaled());
}

TEST(EventTest, ManualResetReleasesEveryWaiterUntilReset) {
    auto event = Event::Create(true, true);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->Wait(0), WaitResult::Signaled);
    EXPECT_EQ(event->Wait(0), WaitResult::Signaled);
    event->Reset();
    EXPECT_EQ(event->Wait(0), WaitResult::TimedOut);

    std::atomic<int> released{0};
    std::vector<std::unique_ptr<Thread>> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(Thread::Start([&] {
            if (event->Wait(kInfinite) == WaitResult::Signaled) {
                ++released;
            }
        }));
    }
    event->Set();
    for (auto& w : waiters) {
        w->Join();
    }
    EXPECT_EQ(released.load(), 3);
}

TEST(EventTest, SetFromAnotherThreadWakesAnInfiniteWait) {
    Event event(false, false);
    auto setter = Thread::Start([&] { event.Set(); });
    EXPECT_EQ(event.Wait(kInfinite), WaitResult::Signaled);
    setter->Join();
}

TEST(EventTest, WaitGivesUpAfterItsTimeOutMeasuredInProgramTime) {
    TimeFacility::ScopedScale fast(1);  // 1 program ms = 1 real microsecond
    TimeFacility::ScopedLog log;
    Event event(false, false);
    const auto before = TimeFacility::NowMs();
    EXPECT_EQ(event.Wait(5000, "stop"), WaitResult::TimedOut);
    EXPECT_GE(TimeFacility::NowMs() - before, 5000u);
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_EQ(log.Records()[0].timeoutMs, 5000u);
    EXPECT_EQ(log.Records()[0].kind, TimeFacility::Kind::EventWait);
    EXPECT_EQ(log.Records()[0].what, "stop");
}

}  // namespace
}  // namespace platform
