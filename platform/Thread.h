#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

#include "platform/MessageTypes.h"

namespace platform {

// A thread of the program. Every thread that uses thread messages or owns
// windows gets a ThreadId from CurrentId(); threads started here get theirs
// before their procedure runs, so Id() is valid as soon as Start returns.
class Thread {
  public:
    // Starts procedure on a new thread. Returns null when the thread cannot be
    // created (or while a ScopedStartFailure is active). Any thread may call.
    static std::unique_ptr<Thread> Start(std::function<void()> procedure);

    // The calling thread's identifier, assigned on first use; never 0.
    static ThreadId CurrentId();

    // How many threads started here have not ended yet: a thread counts from
    // Start until Join (or the destructor) has joined it, a detached one until
    // its procedure has returned. Unlike the process's list of tasks, which
    // keeps a joined thread for a moment and also shows the threads of
    // libraries, this is the program's own count. Any thread.
    static std::size_t Running();

    // Joins the thread if it is still joinable; a thread that was detached
    // is left alone (it ends with the process).
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    ThreadId Id() const { return id_; }
    // Blocks until the procedure has returned. Not from the thread itself.
    void Join();
    // Lets the thread run on for the life of the process.
    void Detach();
    bool Finished() const { return finished_->load(); }

    // Test control: while alive, Start fails and returns null.
    class ScopedStartFailure {
      public:
        ScopedStartFailure();
        ~ScopedStartFailure();
        ScopedStartFailure(const ScopedStartFailure&) = delete;
        ScopedStartFailure& operator=(const ScopedStartFailure&) = delete;
    };

  private:
    Thread() = default;

    std::thread thread_;
    ThreadId id_ = 0;
    std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
    // kEnded once the procedure has returned, kDetached once detached; the
    // side that completes both takes the thread off the running count.
    std::shared_ptr<std::atomic<int>> state_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace platform
