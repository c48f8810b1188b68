#include "platform/ThreadMessageQueue.h"

#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "tests/support/TestDeadline.h"

namespace platform {
namespace {

TEST(ThreadMessageQueueTest, PostingToAThreadWithoutAQueueFails) {
    Event ready(true, false);
    Event finish(true, false);
    auto thread = Thread::Start([&] {
        ready.Set();
        testsupport::Await(finish, "the end of the test");
    });
    ASSERT_TRUE(testsupport::Await(ready, "the thread's start"));
    EXPECT_FALSE(ThreadMessageQueue::HasQueue(thread->Id()));
    EXPECT_FALSE(ThreadMessageQueue::Post(thread->Id(), 0, 1030, 0));
    EXPECT_FALSE(ThreadMessageQueue::Post(0, 0, 1030, 0));
    finish.Set();
}

TEST(ThreadMessageQueueTest, OwnerBlocksUntilMessagesArriveAndGetsThemInOrder) {
    Event hasQueue(true, false);
    std::vector<ThreadMessage> received;
    auto owner = Thread::Start([&] {
        ThreadMessageQueue::CreateForCurrentThread();
        hasQueue.Set();
        ThreadMessage m;
        while (ThreadMessageQueue::Get(m)) {
            received.push_back(m);
        }
        ThreadMessageQueue::DestroyForCurrentThread();
    });
    ASSERT_TRUE(testsupport::Await(hasQueue, "the owner's queue"));
    EXPECT_TRUE(ThreadMessageQueue::Post(owner->Id(), 0, 1030, 0));
    EXPECT_TRUE(ThreadMessageQueue::Post(owner->Id(), 7, static_cast<WPARAM>(-16), -2));
    EXPECT_TRUE(ThreadMessageQueue::Post(owner->Id(), WM_QUIT, 0, 0));
    owner->Join();

    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].message, 0u);
    EXPECT_EQ(received[0].wParam, 1030u);
    EXPECT_EQ(received[1].message, 7u);
    EXPECT_EQ(static_cast<int>(received[1].wParam), -16);
    EXPECT_EQ(received[1].lParam, -2);
    EXPECT_FALSE(ThreadMessageQueue::HasQueue(owner->Id()));
    EXPECT_FALSE(ThreadMessageQueue::Post(owner->Id(), 0, 1030, 0));
}

TEST(ThreadMessageQueueTest, PeekCanLookWithoutRemoving) {
    ThreadMessage m;
    ThreadMessageQueue::CreateForCurrentThread();
    EXPECT_FALSE(ThreadMessageQueue::Peek(m, true));
    ASSERT_TRUE(ThreadMessageQueue::Post(Thread::CurrentId(), 5, 0xE000100C, -1));
    ASSERT_TRUE(ThreadMessageQueue::Peek(m, false));
    ASSERT_TRUE(ThreadMessageQueue::Peek(m, true));
    EXPECT_EQ(m.message, 5u);
    EXPECT_EQ(m.wParam, 0xE000100Cu);
    EXPECT_EQ(m.lParam, -1);
    EXPECT_FALSE(ThreadMessageQueue::Peek(m, true));
    ThreadMessageQueue::DestroyForCurrentThread();
}

// The program's own count of its threads: a thread counts from its start
// until it is joined, a detached one until its procedure has returned.
TEST(ThreadTest, RunningCountsEachThreadUntilJoinedOrItsDetachedProcedureEnds) {
    const std::size_t before = Thread::Running();
    Event go(true, false);
    Event ended(true, false);
    auto joined = Thread::Start([&] { testsupport::Await(go, "the go"); });
    auto detached = Thread::Start([&] {
        testsupport::Await(go, "the go");
        ended.Set();
    });
    ASSERT_TRUE(joined && detached);
    EXPECT_EQ(Thread::Running(), before + 2);
    detached->Detach();
    go.Set();
    joined->Join();
    ASSERT_TRUE(testsupport::AwaitCondition([&] { return Thread::Running() == before; },
                                            "the detached procedure's end"));
    EXPECT_TRUE(ended.IsSignaled());
    {
        Thread::ScopedStartFailure failure;
        EXPECT_EQ(Thread::Start([] {}), nullptr);
    }
    EXPECT_EQ(Thread::Running(), before);
}

}  // namespace
}  // namespace platform
