#include "platform/usbio/libusb/CallbackGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "tests/support/TestDeadline.h"

namespace {

using platform::Event;
using platform::WaitResult;
using platform::usbio::CallbackGate;

TEST(CallbackGateTest, ClosingWaitsForACallbackInsideAndLetsNoneInAfterwards) {
    int target = 0;
    CallbackGate<int> gate(&target);
    Event inside(true, false);
    Event release(true, false);
    auto callback = platform::Thread::Start([&] {
        gate.Pass([&](int& n) {
            inside.Set();
            testsupport::Await(release, "the release of the callback");
            ++n;
        });
    });
    ASSERT_TRUE(testsupport::Await(inside, "the callback"));
    Event closed(true, false);
    auto closer = platform::Thread::Start([&] {
        gate.Close();
        closed.Set();
    });
    EXPECT_EQ(closed.Wait(50, "close must wait"), WaitResult::TimedOut);
    release.Set();
    callback->Join();
    closer->Join();
    EXPECT_EQ(target, 1);
    EXPECT_FALSE(gate.Pass([](int& n) { ++n; }));
    EXPECT_EQ(target, 1);
}

TEST(CallbackGateTest, OwnerGoneRightAfterClosingIsNeverReached) {
    // Callbacks race the owner's destruction, as a device leaving at
    // shutdown does: the owner lives on the heap, so a callback reaching it
    // after it has gone is a use after free for the sanitizers.
    for (int round = 0; round < 300; ++round) {
        auto owner = std::make_unique<std::atomic<int>>(0);
        CallbackGate<std::atomic<int>> gate(owner.get());
        Event started(true, false);
        auto callbacks = platform::Thread::Start([&] {
            started.Set();
            for (int i = 0; i < 50; ++i) {
                gate.Pass([](std::atomic<int>& n) { n.fetch_add(1); });
            }
        });
        testsupport::Await(started, "the callbacks' start");
        gate.Close();
        owner.reset();
        callbacks->Join();
    }
}

}  // namespace
