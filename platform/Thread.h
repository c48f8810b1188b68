#pragma once

#include <atomic>
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
};

}  // namespace platform
