#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/MessageTypes.h"

namespace platform {

class MessageDispatcher;
class MessageWindow;
class Thread;

// Delivery of window messages between threads.
//
// A send from the owning thread calls the procedure directly. A send from any
// other thread queues the message for the owner, wakes the owner's
// dispatcher and blocks until the procedure has run there and returned. A
// post queues the message and returns at once. Messages are delivered in the
// order they were queued. A procedure may pump (DispatchPending) while it
// runs, so a second send from yet another thread can be handled inside the
// first one without deadlock.
class WindowMessages {
  public:
    // Any thread. Returns the procedure's result; 0 when the window does not
    // exist (any more).
    static LRESULT Send(MessageWindow* window, std::uint32_t message, WPARAM wParam, LPARAM lParam);

    // Any thread. Returns false when the window does not exist.
    static bool Post(MessageWindow* window, std::uint32_t message, WPARAM wParam, LPARAM lParam);

    // Plugs the calling thread's dispatcher in (null unplugs it). The
    // dispatcher must outlive its registration.
    static void SetDispatcher(MessageDispatcher* dispatcher);

    // Owning thread: true when a message is queued for the calling thread.
    static bool HasPending();

    // Owning thread: delivers one queued message; false when none was queued.
    static bool DispatchOne();

    // Owning thread: delivers queued messages until none is left (including
    // those queued meanwhile). Returns how many were delivered.
    static std::size_t DispatchPending();

    // Blocks until `thread` has ended, delivering the calling thread's
    // messages meanwhile, so that a thread that sends to a window of this one
    // can finish. Not from `thread` itself.
    static void JoinDispatching(Thread& thread);

    // True while the window exists. Any thread.
    static bool IsWindow(const MessageWindow* window);
};

}  // namespace platform
