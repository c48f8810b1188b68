#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Thread.h"

namespace platform::usbio {

// The libusb back end's threads for work that must not run where it comes
// up: libusb's synchronous requests (set configuration, set interface, clear
// halt, which the kernel may hold for up to 5 s each), closing a handle
// (which waits for the event thread), and what a hotplug callback must not do
// on the event thread. Post runs jobs one after another in order on the
// worker thread; After runs a job once its time has passed, on a timer
// thread of its own, whatever the worker is doing (the deadlines of the
// requests the worker serves). Both threads block while idle.
class LibusbWorker {
  public:
    // Null when a thread cannot be started.
    static std::unique_ptr<LibusbWorker> Start();
    // Runs the jobs already posted, drops the timers not yet due and joins
    // both threads. On the worker thread itself (a job let go of the last
    // owner) the worker ends by itself after that job.
    ~LibusbWorker();
    LibusbWorker(const LibusbWorker&) = delete;
    LibusbWorker& operator=(const LibusbWorker&) = delete;

    // Any thread, also the event thread: a lock and a wake-up.
    void Post(std::function<void()> job);
    // job runs delayMs program milliseconds from now (time facility).
    void After(std::uint32_t delayMs, std::function<void()> job);
    bool OnWorker() const;
    // Returns true once every job posted before has run, false when that
    // takes longer than timeoutMs (time facility). Not on the worker.
    bool Flush(std::uint32_t timeoutMs);

  private:
    struct Shared;
    LibusbWorker() = default;

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Thread> worker_;
    std::unique_ptr<Thread> timer_;
};

}  // namespace platform::usbio
