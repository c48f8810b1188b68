#include "platform/ThreadMessageQueue.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"

namespace platform {
namespace {

struct Queue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<ThreadMessage> messages;
};

struct Registry {
    std::mutex mutex;
    std::map<ThreadId, std::shared_ptr<Queue>> queues;
};

Registry& Queues() {
    static Registry registry;
    return registry;
}

std::shared_ptr<Queue> Find(ThreadId thread) {
    Registry& r = Queues();
    std::lock_guard lock(r.mutex);
    auto it = r.queues.find(thread);
    return it == r.queues.end() ? nullptr : it->second;
}

std::shared_ptr<Queue> OwnQueue() {
    ThreadMessageQueue::CreateForCurrentThread();
    return Find(Thread::CurrentId());
}

}  // namespace

void ThreadMessageQueue::CreateForCurrentThread() {
    Registry& r = Queues();
    std::lock_guard lock(r.mutex);
    auto& slot = r.queues[Thread::CurrentId()];
    if (!slot) {
        slot = std::make_shared<Queue>();
    }
}

void ThreadMessageQueue::DestroyForCurrentThread() {
    Registry& r = Queues();
    std::lock_guard lock(r.mutex);
    r.queues.erase(Thread::CurrentId());
}

bool ThreadMessageQueue::HasQueue(ThreadId thread) {
    return Find(thread) != nullptr;
}

bool ThreadMessageQueue::Post(ThreadId thread, std::uint32_t message, WPARAM wParam,
                              LPARAM lParam) {
    std::shared_ptr<Queue> q = Find(thread);
    if (!q) {
        return false;
    }
    {
        std::lock_guard lock(q->mutex);
        q->messages.push_back(ThreadMessage{message, wParam, lParam});
    }
    q->cv.notify_one();
    return true;
}

bool ThreadMessageQueue::Get(ThreadMessage& out) {
    std::shared_ptr<Queue> q = OwnQueue();
    TimeFacility::Note(TimeFacility::Kind::MessageWait, kInfinite, "thread message");
    std::unique_lock lock(q->mutex);
    q->cv.wait(lock, [&] { return !q->messages.empty(); });
    out = q->messages.front();
    q->messages.pop_front();
    return out.message != WM_QUIT;
}

bool ThreadMessageQueue::Peek(ThreadMessage& out, bool remove) {
    std::shared_ptr<Queue> q = Find(Thread::CurrentId());
    if (!q) {
        return false;
    }
    std::lock_guard lock(q->mutex);
    if (q->messages.empty()) {
        return false;
    }
    out = q->messages.front();
    if (remove) {
        q->messages.pop_front();
    }
    return true;
}

}  // namespace platform
