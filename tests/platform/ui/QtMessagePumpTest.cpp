#include "platform/ui/QtMessagePump.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>
#include <atomic>
#include <vector>

#include "platform/MessageWindow.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "tests/platform/ui/QtTestEnvironment.h"

namespace {

using platform::LPARAM;
using platform::LRESULT;
using platform::WPARAM;

class RecordingWindow : public platform::MessageWindow {
  public:
    LRESULT WindowProc(std::uint32_t message, WPARAM wParam, LPARAM) override {
        seen.push_back(message);
        return static_cast<LRESULT>(wParam) + 1;
    }
    std::vector<std::uint32_t> seen;
};

TEST(QtMessagePumpTest, SendFromAnotherThreadRunsOnTheUiThreadInQtsEventLoop) {
    platform::ui::QtMessagePump pump;
    RecordingWindow window;
    std::atomic<LRESULT> result{0};
    std::atomic<platform::ThreadId> procThread{0};
    auto worker = platform::Thread::Start([&] {
        result = platform::WindowMessages::Send(&window, 1031, 41, 0);
        // Ends the loop from the worker, the way the application's quit
        // request would arrive.
        pump.PostQuit(7);
    });
    ASSERT_TRUE(worker);
    const auto deadline = LoopDeadline("the worker's quit request");
    const int code = QCoreApplication::exec();
    worker->Join();
    (void)procThread;
    EXPECT_EQ(code, 7);
    EXPECT_EQ(result.load(), 42);
    EXPECT_EQ(window.seen, std::vector<std::uint32_t>{1031});
    EXPECT_EQ(pump.QuitRequests(), 0);
}

TEST(QtMessagePumpTest, QuitRequestIsMetAfterTheWindowMessagesQueuedBeforeIt) {
    platform::ui::QtMessagePump pump;
    RecordingWindow window;
    platform::WindowMessages::Post(&window, 1, 0, 0);
    platform::WindowMessages::Post(&window, 2, 0, 0);
    pump.PostQuit(0);
    EXPECT_TRUE(pump.HasPending());

    EXPECT_TRUE(pump.PumpMessage());
    EXPECT_TRUE(pump.PumpMessage());
    EXPECT_EQ(window.seen, (std::vector<std::uint32_t>{1, 2}));
    // The quit request comes last and is handed back, consumed.
    EXPECT_FALSE(pump.PumpMessage());
    EXPECT_EQ(pump.QuitRequests(), 0);
    EXPECT_FALSE(pump.HasPending());
    EXPECT_TRUE(pump.PumpMessage());  // nothing waiting
}

TEST(QtMessagePumpTest, QuitRequestPostedAgainStillEndsTheEventLoop) {
    platform::ui::QtMessagePump pump;
    QTimer::singleShot(0, [&] {
        pump.PostQuit(3);
        // A handler pumping meets the request and posts it again.
        while (pump.HasPending()) {
            if (!pump.PumpMessage()) {
                pump.PostQuit(0);
                break;
            }
        }
    });
    const auto deadline = LoopDeadline("the quit request posted again");
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST(QtMessagePumpTest, ManyWakesFromManyThreadsAreAllDelivered) {
    platform::ui::QtMessagePump pump;
    RecordingWindow window;
    constexpr int kThreads = 4;
    constexpr int kSends = 50;
    std::atomic<int> finished{0};
    std::vector<std::unique_ptr<platform::Thread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(platform::Thread::Start([&] {
            for (int i = 0; i < kSends; ++i) {
                platform::WindowMessages::Send(&window, 5, 0, 0);
            }
            if (++finished == kThreads) {
                pump.PostQuit(0);
            }
        }));
    }
    const auto deadline = LoopDeadline("the last thread's quit request");
    EXPECT_EQ(QCoreApplication::exec(), 0);
    for (auto& thread : threads) {
        thread->Join();
    }
    EXPECT_EQ(window.seen.size(), static_cast<std::size_t>(kThreads * kSends));
}

}  // namespace
