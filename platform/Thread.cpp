#include "platform/Thread.h"

#include <system_error>

namespace platform {
namespace {

std::atomic<ThreadId> g_nextId{1};
std::atomic<int> g_startFailures{0};
std::atomic<std::size_t> g_running{0};
thread_local ThreadId t_id = 0;

constexpr int kEnded = 1;
constexpr int kDetached = 2;

}  // namespace

ThreadId Thread::CurrentId() {
    if (t_id == 0) {
        t_id = g_nextId.fetch_add(1);
    }
    return t_id;
}

std::size_t Thread::Running() {
    return g_running.load();
}

std::unique_ptr<Thread> Thread::Start(std::function<void()> procedure) {
    if (g_startFailures.load() > 0) {
        return nullptr;
    }
    std::unique_ptr<Thread> thread(new Thread());
    const ThreadId id = g_nextId.fetch_add(1);
    thread->id_ = id;
    auto finished = thread->finished_;
    auto state = thread->state_;
    g_running.fetch_add(1);
    try {
        thread->thread_ = std::thread([id, finished, state, proc = std::move(procedure)] {
            t_id = id;
            proc();
            finished->store(true);
            if (state->fetch_or(kEnded) == kDetached) {
                g_running.fetch_sub(1);
            }
        });
    } catch (const std::system_error&) {
        g_running.fetch_sub(1);
        return nullptr;
    }
    return thread;
}

Thread::~Thread() {
    Join();
}

void Thread::Join() {
    if (thread_.joinable()) {
        thread_.join();
        g_running.fetch_sub(1);
    }
}

void Thread::Detach() {
    if (thread_.joinable()) {
        thread_.detach();
        if (state_->fetch_or(kDetached) == kEnded) {
            g_running.fetch_sub(1);
        }
    }
}

Thread::ScopedStartFailure::ScopedStartFailure() {
    g_startFailures.fetch_add(1);
}
Thread::ScopedStartFailure::~ScopedStartFailure() {
    g_startFailures.fetch_sub(1);
}

}  // namespace platform
