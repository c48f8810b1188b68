#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {
class Event;
class PlainDispatcher;
}  // namespace platform

namespace testsupport {

// How long a test waits for an event it means before it fails, in real time:
// far beyond what any of these waits takes under a sanitizer on a loaded
// machine, so reaching it means the event is not coming. Below CTest's limit
// for a test, so that the failure names the event.
inline constexpr std::chrono::seconds kEventDeadline{120};

// kEventDeadline in program milliseconds at the time facility's present scale.
std::uint32_t DeadlineMs();

// Waits for `event` (taking an auto-reset event's signal); false, with a test
// failure naming `what`, when the deadline came first. Any thread.
bool Await(platform::Event& event, const std::string& what);

// Looks at done() every real millisecond until it holds, for a change that
// comes with no event to wait on; false, with a test failure naming `what`,
// when the deadline came first. Any thread.
bool AwaitCondition(const std::function<bool()>& done, const std::string& what);

// Delivers this thread's window messages until done() holds; false, with a
// test failure naming `what`, when the deadline came first. Whoever makes
// done() true without a message wakes the dispatcher. The dispatcher's thread.
bool DispatchUntil(platform::PlainDispatcher& dispatcher, const std::function<bool()>& done,
                   const std::string& what);

}  // namespace testsupport
