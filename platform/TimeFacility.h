#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageTypes.h"

namespace platform {

// The one time facility of the program. Every sleep and every timed wait goes
// through it, so that
//  - tests can run the program's real constants (5000 ms detection waits,
//    100000 ms read time-outs, the 1200000 ms flash wait) in a fraction of the
//    real time, by installing a ScopedScale, and
//  - tests can see which time-out each wait was given, by installing a
//    ScopedLog.
// Production code never installs either; there is deliberately no environment
// variable or command-line switch that changes the program's timing.
// All functions may be called from any thread.
class TimeFacility {
  public:
    enum class Kind { Sleep, EventWait, MessageWait, Other };

    struct Record {
        Kind kind;
        std::uint32_t timeoutMs;  // as the program asked for it; kInfinite for no limit
        ThreadId thread;
        std::string what;  // free text given by the waiting code, may be empty
    };

    // Sleeps for ms program milliseconds (scaled when a ScopedScale is active).
    // Blocks the calling thread. Records the sleep.
    static void Sleep(std::uint32_t ms, const char* what = "");

    // Converts a program time-out into the real duration the wait takes;
    // kInfinite yields std::chrono::nanoseconds::max(). Does not block.
    static std::chrono::nanoseconds RealDuration(std::uint32_t ms);

    // Records a timed wait that the caller is about to perform. Used by the
    // platform's own waiting primitives (Event::Wait and others); other code
    // normally does not call it.
    static void Note(Kind kind, std::uint32_t timeoutMs, const char* what = "");

    // Milliseconds of program time since an arbitrary start: real elapsed time
    // divided by the active scale. Monotonic. Does not block.
    static std::uint64_t NowMs();

    // Test control: while alive, one program millisecond lasts
    // microsPerMs real microseconds (1000 is real time; 1 runs 5000 ms in
    // 5 ms). Instances may not overlap in time; the destructor restores real
    // time.
    class ScopedScale {
      public:
        explicit ScopedScale(std::uint32_t microsPerMs);
        ~ScopedScale();
        ScopedScale(const ScopedScale&) = delete;
        ScopedScale& operator=(const ScopedScale&) = delete;
    };

    // Test observation: while alive, every sleep and wait is recorded here.
    class ScopedLog {
      public:
        ScopedLog();
        ~ScopedLog();
        ScopedLog(const ScopedLog&) = delete;
        ScopedLog& operator=(const ScopedLog&) = delete;

        // A copy of what was recorded so far. Any thread.
        std::vector<Record> Records() const;
        // Blocks until until(records) holds, looked at again with every new
        // record, or until timeoutMs (through the time facility) has passed;
        // returns whether it holds. Lets a test wait for a thread to reach a
        // wait. Any thread.
        bool WaitFor(const std::function<bool(const std::vector<Record>&)>& until,
                     std::uint32_t timeoutMs) const;
        // The time-outs recorded for one thread, in order.
        std::vector<std::uint32_t> TimeoutsOf(ThreadId thread) const;
        void Clear();
    };
};

}  // namespace platform
