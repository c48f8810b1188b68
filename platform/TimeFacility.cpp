#include "platform/TimeFacility.h"

#include <atomic>
#include <cassert>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Thread.h"

namespace platform {
namespace {

constexpr std::uint32_t kRealMicrosPerMs = 1000;

std::atomic<std::uint32_t> g_microsPerMs{kRealMicrosPerMs};

struct LogState {
    std::mutex mutex;
    std::condition_variable recorded;
    bool active = false;
    std::vector<TimeFacility::Record> records;
};

LogState& Log() {
    static LogState state;
    return state;
}

std::chrono::steady_clock::time_point Origin() {
    static const auto origin = std::chrono::steady_clock::now();
    return origin;
}

}  // namespace

std::chrono::nanoseconds TimeFacility::RealDuration(std::uint32_t ms) {
    if (ms == kInfinite) {
        return std::chrono::nanoseconds::max();
    }
    const std::uint64_t micros = static_cast<std::uint64_t>(ms) * g_microsPerMs.load();
    return std::chrono::microseconds(micros);
}

void TimeFacility::Note(Kind kind, std::uint32_t timeoutMs, const char* what) {
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    if (log.active) {
        log.records.push_back(Record{kind, timeoutMs, Thread::CurrentId(), what ? what : ""});
        log.recorded.notify_all();
    }
}

void TimeFacility::Sleep(std::uint32_t ms, const char* what) {
    Note(Kind::Sleep, ms, what);
    if (ms == kInfinite) {
        // Sleeping forever: block on a condition that never comes.
        std::mutex m;
        std::condition_variable cv;
        std::unique_lock lock(m);
        cv.wait(lock, [] { return false; });
    }
    std::this_thread::sleep_for(RealDuration(ms));
}

std::uint64_t TimeFacility::NowMs() {
    const auto elapsed = std::chrono::steady_clock::now() - Origin();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
    return static_cast<std::uint64_t>(micros) / g_microsPerMs.load();
}

TimeFacility::ScopedScale::ScopedScale(std::uint32_t microsPerMs) {
    assert(microsPerMs > 0);
    Origin();
    g_microsPerMs.store(microsPerMs == 0 ? 1 : microsPerMs);
}

TimeFacility::ScopedScale::~ScopedScale() {
    g_microsPerMs.store(kRealMicrosPerMs);
}

TimeFacility::ScopedLog::ScopedLog() {
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    log.active = true;
    log.records.clear();
}

TimeFacility::ScopedLog::~ScopedLog() {
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    log.active = false;
    log.records.clear();
}

std::vector<TimeFacility::Record> TimeFacility::ScopedLog::Records() const {
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    return log.records;
}

bool TimeFacility::ScopedLog::WaitFor(const std::function<bool(const std::vector<Record>&)>& until,
                                      std::uint32_t timeoutMs) const {
    LogState& log = Log();
    std::unique_lock lock(log.mutex);
    const auto holds = [&] { return until(log.records); };
    if (timeoutMs == kInfinite) {
        log.recorded.wait(lock, holds);
        return true;
    }
    return log.recorded.wait_for(lock, RealDuration(timeoutMs), holds);
}

std::vector<std::uint32_t> TimeFacility::ScopedLog::TimeoutsOf(ThreadId thread) const {
    std::vector<std::uint32_t> out;
    for (const Record& r : Records()) {
        if (r.thread == thread) {
            out.push_back(r.timeoutMs);
        }
    }
    return out;
}

void TimeFacility::ScopedLog::Clear() {
    LogState& log = Log();
    std::lock_guard lock(log.mutex);
    log.records.clear();
}

}  // namespace platform
