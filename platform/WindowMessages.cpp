#include "platform/WindowMessages.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "platform/Event.h"
#include "platform/MessageDispatcher.h"
#include "platform/MessageWindow.h"
#include "platform/Thread.h"

namespace platform {
namespace {

// How often a join that dispatches looks whether the thread has ended.
constexpr std::uint32_t kJoinCheckMs = 10;

struct SendState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    LRESULT result = 0;

    void Complete(LRESULT value) {
        {
            std::lock_guard lock(mutex);
            result = value;
            done = true;
        }
        cv.notify_all();
    }
};

struct Item {
    MessageWindow* window;
    std::uint32_t message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<SendState> send;  // null for a post
};

struct ThreadQueue {
    std::deque<Item> items;
    MessageDispatcher* dispatcher = nullptr;
};

// One lock guards the set of live windows and every thread's queue: queueing
// and removal are short, and procedures never run under it.
struct State {
    std::mutex mutex;
    std::set<const MessageWindow*> windows;
    std::map<ThreadId, ThreadQueue> queues;
};

State& Global() {
    static State state;
    return state;
}

// Queues an item for the window's owner. Returns false when the window is gone.
bool Enqueue(Item item) {
    State& s = Global();
    std::lock_guard lock(s.mutex);
    if (s.windows.count(item.window) == 0) {
        return false;
    }
    ThreadQueue& q = s.queues[item.window->OwnerThread()];
    q.items.push_back(std::move(item));
    // Woken under the lock: once SetDispatcher has unplugged a dispatcher, no
    // other thread is still inside its Wake, so it may be destroyed.
    if (q.dispatcher != nullptr) {
        q.dispatcher->Wake();
    }
    return true;
}

}  // namespace

MessageWindow::MessageWindow() : owner_(Thread::CurrentId()) {
    State& s = Global();
    std::lock_guard lock(s.mutex);
    s.windows.insert(this);
}

MessageWindow::~MessageWindow() {
    std::deque<Item> dropped;
    State& s = Global();
    {
        std::lock_guard lock(s.mutex);
        s.windows.erase(this);
        auto it = s.queues.find(owner_);
        if (it != s.queues.end()) {
            auto& items = it->second.items;
            for (auto i = items.begin(); i != items.end();) {
                if (i->window == this) {
                    dropped.push_back(std::move(*i));
                    i = items.erase(i);
                } else {
                    ++i;
                }
            }
        }
    }
    for (Item& item : dropped) {
        if (item.send) {
            item.send->Complete(0);
        }
    }
}

bool WindowMessages::IsWindow(const MessageWindow* window) {
    State& s = Global();
    std::lock_guard lock(s.mutex);
    return s.windows.count(window) != 0;
}

LRESULT WindowMessages::Send(MessageWindow* window, std::uint32_t message, WPARAM wParam,
                             LPARAM lParam) {
    // The owner is read under the lock: outside it the window may be
    // destroyed on its own thread at any moment.
    ThreadId owner = 0;
    {
        State& s = Global();
        std::lock_guard lock(s.mutex);
        if (s.windows.count(window) == 0) {
            return 0;
        }
        owner = window->OwnerThread();
    }
    if (owner == Thread::CurrentId()) {
        // Only this thread can destroy it, so it is still alive.
        return window->WindowProc(message, wParam, lParam);
    }
    auto state = std::make_shared<SendState>();
    if (!Enqueue(Item{window, message, wParam, lParam, state})) {
        return 0;
    }
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, [&] { return state->done; });
    return state->result;
}

bool WindowMessages::Post(MessageWindow* window, std::uint32_t message, WPARAM wParam,
                          LPARAM lParam) {
    return Enqueue(Item{window, message, wParam, lParam, nullptr});
}

void WindowMessages::SetDispatcher(MessageDispatcher* dispatcher) {
    State& s = Global();
    bool wake = false;
    {
        std::lock_guard lock(s.mutex);
        ThreadQueue& q = s.queues[Thread::CurrentId()];
        q.dispatcher = dispatcher;
        wake = dispatcher != nullptr && !q.items.empty();
    }
    if (wake) {
        dispatcher->Wake();
    }
}

bool WindowMessages::HasPending() {
    State& s = Global();
    std::lock_guard lock(s.mutex);
    auto it = s.queues.find(Thread::CurrentId());
    return it != s.queues.end() && !it->second.items.empty();
}

bool WindowMessages::DispatchOne() {
    Item item{};
    {
        State& s = Global();
        std::lock_guard lock(s.mutex);
        auto it = s.queues.find(Thread::CurrentId());
        if (it == s.queues.end() || it->second.items.empty()) {
            return false;
        }
        item = std::move(it->second.items.front());
        it->second.items.pop_front();
    }
    // Windows are destroyed only on their owning thread, which is this one,
    // so the window is still alive here.
    const LRESULT result = item.window->WindowProc(item.message, item.wParam, item.lParam);
    if (item.send) {
        item.send->Complete(result);
    }
    return true;
}

void WindowMessages::JoinDispatching(Thread& thread) {
    // A dispatcher of its own stands in while waiting, so that a message
    // queued for this thread ends the wait at once.
    class Waker : public MessageDispatcher {
      public:
        void Wake() override { event.Set(); }
        Event event{false, false};
    };
    Waker waker;
    MessageDispatcher* previous = nullptr;
    {
        State& s = Global();
        std::lock_guard lock(s.mutex);
        ThreadQueue& q = s.queues[Thread::CurrentId()];
        previous = q.dispatcher;
        q.dispatcher = &waker;
    }
    while (true) {
        DispatchPending();
        if (thread.Finished()) {
            break;
        }
        waker.event.Wait(kJoinCheckMs, "join");
    }
    thread.Join();
    SetDispatcher(previous);
}

std::size_t WindowMessages::DispatchPending() {
    std::size_t count = 0;
    while (DispatchOne()) {
        ++count;
    }
    return count;
}

}  // namespace platform
