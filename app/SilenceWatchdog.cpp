#include "app/SilenceWatchdog.h"

SilenceWatchdog::SilenceWatchdog(std::uint32_t limitMs, std::function<void()> onSilence)
    : m_onSilence(std::move(onSilence)) {
    m_pThread = platform::Thread::Start([this, limitMs] { Watch(limitMs); });
}

SilenceWatchdog::~SilenceWatchdog() {
    if (m_pThread) {
        m_bEnding.store(true);
        m_heard.Set();
        m_pThread->Join();
    }
}

void SilenceWatchdog::Heard() {
    m_heard.Set();
}

void SilenceWatchdog::Watch(std::uint32_t limitMs) {
    while (m_heard.Wait(limitMs, "silence") == platform::WaitResult::Signaled) {
        if (m_bEnding.load()) {
            return;
        }
    }
    if (!m_bEnding.load() && m_onSilence) {
        m_onSilence();
    }
}
