#include "platform/Thread.h"

#include <system_error>

namespace platform {
namespace {

std::atomic<ThreadId> g_nextId{1};
std::atomic<int> g_startFailures{0};
thread_local ThreadId t_id = 0;

}  // namespace

ThreadId Thread::CurrentId() {
    if (t_id == 0) {
        t_id = g_nextId.fetch_add(1);
    }
    return t_id;
}

std::unique_ptr<Thread> Thread::Start(std::function<void()> procedure) {
    if (g_startFailures.load() > 0) {
        return nullptr;
    }
    std::unique_ptr<Thread> thread(new Thread());
    const ThreadId id = g_nextId.fetch_add(1);
    thread->id_ = id;
    auto finished = thread->finished_;
    try {
        thread->thread_ = std::thread([id, finished, proc = std::move(procedure)] {
            t_id = id;
            proc();
            finished->store(true);
        });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return thread;
}

Thread::~Thread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Thread::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Thread::Detach() {
    if (thread_.joinable()) {
        thread_.detach();
    }
}

Thread::ScopedStartFailure::ScopedStartFailure() {
    g_startFailures.fetch_add(1);
}
Thread::ScopedStartFailure::~ScopedStartFailure() {
    g_startFailures.fetch_sub(1);
}

}  // namespace platform
