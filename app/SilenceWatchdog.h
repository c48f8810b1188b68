#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Event.h"
#include "platform/Thread.h"

// The unattended mode's last guard: a thread of its own that calls onSilence
// once when nothing was heard (Heard) for longer than limitMs of program
// time. It ends, and is joined, with the object.
class SilenceWatchdog {
  public:
    // onSilence runs on the watchdog's thread. When the thread cannot be
    // started there is no guard (Active() is false).
    SilenceWatchdog(std::uint32_t limitMs, std::function<void()> onSilence);
    ~SilenceWatchdog();
    SilenceWatchdog(const SilenceWatchdog&) = delete;
    SilenceWatchdog& operator=(const SilenceWatchdog&) = delete;

    // Any thread: something was heard; the silence starts again.
    void Heard();
    bool Active() const { return m_pThread != nullptr; }

  private:
    void Watch(std::uint32_t limitMs);

    std::function<void()> m_onSilence;
    platform::Event m_heard{false, false};
    std::atomic<bool> m_bEnding{false};
    std::unique_ptr<platform::Thread> m_pThread;
};
