#include "platform/WindowMessages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/MessageWindow.h"
#include "platform/PlainDispatcher.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "tests/support/TestDeadline.h"

namespace platform {
namespace {

struct Received {
    std::uint32_t message;
    WPARAM wParam;
    LPARAM lParam;
    ThreadId thread;
};

class RecordingWindow : public MessageWindow {
  public:
    std::function<void(std::uint32_t)> onMessage;

    LRESULT WindowProc(std::uint32_t message, WPARAM wParam, LPARAM lParam) override {
        {
            std::lock_guard lock(mutex_);
            received_.push_back(Received{message, wParam, lParam, Thread::CurrentId()});
        }
        if (onMessage) {
            onMessage(message);
        }
        return static_cast<LRESULT>(message) + 1000;
    }

    std::vector<Received> Received_() {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    std::mutex mutex_;
    std::vector<Received> received_;
};

TEST(WindowMessagesTest, SendFromTheOwningThreadCallsTheProcedureDirectly) {
    RecordingWindow window;
    EXPECT_EQ(WindowMessages::Send(&window, 1031, static_cast<WPARAM>(-16), 0xE000100C), 2031);
    auto got = window.Received_();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(static_cast<std::int32_t>(got[0].wParam), -16);
    EXPECT_EQ(static_cast<std::uint32_t>(got[0].lParam), 0xE000100Cu);
}

TEST(WindowMessagesTest, SendFromAWorkerBlocksUntilTheProcedureRanOnTheOwner) {
    PlainDispatcher dispatcher;
    RecordingWindow window;
    std::atomic<bool> returned{false};
    LRESULT result = 0;
    auto worker = Thread::Start([&] {
        result = WindowMessages::Send(&window, 1030, 0, 0);
        returned = true;
    });
    // Nothing is delivered until the owner dispatches, so the sender waits.
    ASSERT_TRUE(testsupport::AwaitCondition([] { return WindowMessages::HasPending(); },
                                            "the worker's send"));
    EXPECT_FALSE(returned.load());
    ASSERT_TRUE(testsupport::DispatchUntil(
        dispatcher, [&] { return !window.Received_().empty(); }, "the delivery"));
    worker->Join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(result, 2030);
    ASSERT_EQ(window.Received_().size(), 1u);
    EXPECT_EQ(window.Received_()[0].thread, Thread::CurrentId());
}

TEST(WindowMessagesTest, NestedSendWhileTheOwnerPumpsInsideAProcedureCompletes) {
    PlainDispatcher dispatcher;
    RecordingWindow window;
    Event secondQueued(true, false);
    std::unique_ptr<Thread> second;
    std::vector<std::uint32_t> order;
    window.onMessage = [&](std::uint32_t message) {
        order.push_back(message);
        if (message == 1) {
            // Inside the first handler another thread sends; the handler pumps.
            second = Thread::Start([&] { WindowMessages::Send(&window, 2, 0, 0); });
            testsupport::DispatchUntil(
                dispatcher, [&] { return order.size() >= 2; }, "the second send");
            order.push_back(100);
        }
    };
    auto first = Thread::Start([&] { WindowMessages::Send(&window, 1, 0, 0); });
    ASSERT_TRUE(testsupport::DispatchUntil(
        dispatcher, [&] { return order.size() == 3; }, "both sends"));
    first->Join();
    second->Join();
    EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 2, 100}));
}

TEST(WindowMessagesTest, RunUntilGivesUpAtItsTimeOutAfterDeliveringWhatCame) {
    TimeFacility::ScopedScale fast(1);
    PlainDispatcher dispatcher;
    RecordingWindow window;
    ASSERT_TRUE(WindowMessages::Post(&window, 1, 0, 0));
    EXPECT_FALSE(dispatcher.RunUntil([] { return false; }, 5000));
    EXPECT_EQ(window.Received_().size(), 1u);
    EXPECT_TRUE(dispatcher.RunUntil([&] { return window.Received_().size() == 1; }, 0));
}

TEST(WindowMessagesTest, PostReturnsAtOnceAndKeepsOrderAndSignedValues) {
    PlainDispatcher dispatcher;
    RecordingWindow window;
    auto poster = Thread::Start([&] {
        EXPECT_TRUE(WindowMessages::Post(&window, 1031, static_cast<WPARAM>(-2), 5));
        EXPECT_TRUE(WindowMessages::Post(&window, 1031, static_cast<WPARAM>(-1), 0));
    });
    poster->Join();
    EXPECT_TRUE(window.Received_().empty());
    EXPECT_EQ(dispatcher.WaitAndDispatch(0), 2u);
    auto got = window.Received_();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(static_cast<std::int32_t>(got[0].wParam), -2);
    EXPECT_EQ(static_cast<std::int32_t>(got[1].wParam), -1);
}

// A dispatcher that only tells that something was queued.
class SignalingDispatcher : public MessageDispatcher {
  public:
    SignalingDispatcher() { WindowMessages::SetDispatcher(this); }
    ~SignalingDispatcher() override { WindowMessages::SetDispatcher(nullptr); }
    void Wake() override { queued.Set(); }
    Event queued{false, false};
};

TEST(WindowMessagesTest, ADestroyedWindowDropsItsPostsAndReleasesWaitingSenders) {
    SignalingDispatcher dispatcher;
    auto window = std::make_unique<RecordingWindow>();
    MessageWindow* raw = window.get();
    LRESULT result = -1;
    auto sender = Thread::Start([&] { result = WindowMessages::Send(raw, 2, 0, 0); });
    ASSERT_TRUE(testsupport::Await(dispatcher.queued, "the queued send"));
    EXPECT_TRUE(WindowMessages::Post(raw, 1, 0, 0));

    window.reset();
    sender->Join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(WindowMessages::IsWindow(raw));
    EXPECT_FALSE(WindowMessages::Post(raw, 3, 0, 0));
    EXPECT_EQ(WindowMessages::Send(raw, 4, 0, 0), 0);
    EXPECT_EQ(WindowMessages::DispatchPending(), 0u);
}

TEST(WindowMessagesTest, JoinDispatchingDeliversWhatTheThreadSendsThenRestoresTheDispatcher) {
    SignalingDispatcher dispatcher;
    RecordingWindow window;
    // A plain join would never return: the thread waits in its sends.
    auto sender = Thread::Start([&] {
        for (std::uint32_t message = 1; message <= 3; ++message) {
            WindowMessages::Send(&window, message, 0, 0);
        }
    });
    WindowMessages::JoinDispatching(*sender);
    EXPECT_TRUE(sender->Finished());
    EXPECT_EQ(window.Received_().size(), 3u);
    dispatcher.queued.Reset();
    auto poster = Thread::Start([&] { WindowMessages::Post(&window, 4, 0, 0); });
    poster->Join();
    EXPECT_EQ(dispatcher.queued.Wait(0), WaitResult::Signaled);
    EXPECT_EQ(WindowMessages::DispatchPending(), 1u);
}

}  // namespace
}  // namespace platform
