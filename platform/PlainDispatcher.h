#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/MessageDispatcher.h"
#include "platform/MessageTypes.h"

namespace platform {

// A dispatcher for threads without a GUI event loop (tests, tools): the
// owning thread blocks in WaitAndDispatch or RunUntil, without using CPU,
// until messages arrive. Plugs itself in for the constructing thread and
// unplugs itself on destruction (which must happen on that thread).
class PlainDispatcher : public MessageDispatcher {
  public:
    PlainDispatcher();
    ~PlainDispatcher() override;

    void Wake() override;

    // Owning thread: waits up to timeoutMs (through the time facility) for a
    // message, then delivers everything pending. Returns the number delivered.
    std::size_t WaitAndDispatch(std::uint32_t timeoutMs);

    // Owning thread: delivers messages until done() returns true; done is
    // checked after every delivery and on every wake. Any thread may make
    // done() true and then call Wake() to end the loop. False when timeoutMs
    // (through the time facility; kInfinite for none) passed first.
    bool RunUntil(const std::function<bool()>& done, std::uint32_t timeoutMs = kInfinite);

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::uint64_t wakes_ = 0;
    std::uint64_t seen_ = 0;
};

}  // namespace platform
