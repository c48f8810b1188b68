#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace platform {

enum class WaitResult { Signaled, TimedOut, Failed };

// A kernel-style event. An auto-reset event releases exactly one waiter per
// Set and stays signalled while nobody waits; a manual-reset event stays
// signalled until Reset and releases every waiter. All operations may be
// called from any thread.
class Event {
  public:
    // Returns null only when the event cannot be allocated.
    static std::unique_ptr<Event> Create(bool manualReset, bool initiallySignaled);

    Event(bool manualReset, bool initiallySignaled);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();

    // Blocks until the event is signalled or timeoutMs program milliseconds
    // have passed (kInfinite waits without limit; 0 only tests the state).
    // The time-out goes through the time facility. A successful wait on an
    // auto-reset event consumes the signal.
    WaitResult Wait(std::uint32_t timeoutMs, const char* what = "event");

    // True while signalled; does not consume the signal. For tests and
    // assertions.
    bool IsSignaled() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool manualReset_;
    bool signaled_;
};

}  // namespace platform
