#pragma once

#include <cstdint>

#include "platform/MessageTypes.h"

namespace platform {

struct ThreadMessage {
    std::uint32_t message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Thread messages: messages addressed to a thread rather than to a window.
// A thread owns a queue once it has called CreateForCurrentThread; posting to
// a thread without a queue fails. An idle owner blocks in Get without using
// CPU.
class ThreadMessageQueue {
  public:
    // Gives the calling thread a queue (idempotent).
    static void CreateForCurrentThread();
    // Removes the calling thread's queue; messages still in it are dropped
    // and later posts to this thread fail.
    static void DestroyForCurrentThread();

    // Appends a message to the queue of thread `thread`. Any thread.
    // Returns false when that thread has no queue.
    static bool Post(ThreadId thread, std::uint32_t message, WPARAM wParam, LPARAM lParam);

    // Owner only. Blocks until a message is in the queue and removes it.
    // Returns false when the message is WM_QUIT (it is removed too), true
    // otherwise. Creates the queue if the thread had none.
    static bool Get(ThreadMessage& out);

    // Owner only. Does not block: returns true and fills `out` when a message
    // is waiting (removing it when `remove` is set), false when the queue is
    // empty or missing.
    static bool Peek(ThreadMessage& out, bool remove);

    // True when `thread` currently owns a queue. Any thread.
    static bool HasQueue(ThreadId thread);
};

}  // namespace platform
