#pragma once

#include <cstdint>
#include <memory>

#include "platform/Thread.h"

class UsbTransferChannel;

namespace platform {
class Event;
}

namespace kestrup {

// The longest the close of the main window takes, in program time: the
// 1000 ms pause, at most one pause after a file that the worker had begun
// (1000 ms), and a margin for a detection pass and the last notifications.
// Unpacking a package that a hand-off had already begun is not bounded by it.
inline constexpr std::uint32_t kCloseBoundMs = 4000;
inline constexpr std::uint32_t kPauseBeforeClosingMs = 1000;

// The engine's threads as the application holds them: the upgrade worker and
// the detection thread of the last upgrade command (either may be null).
struct EngineThreads {
    std::unique_ptr<platform::Thread> worker;
    std::unique_ptr<platform::Thread> detection;
};

// What the application's close handling works with.
struct EngineResources {
    UsbTransferChannel* channel = nullptr;
    platform::Event* stopEvent = nullptr;
    platform::Event* doneEvent = nullptr;
};

// True from the connection on: a hand-off is active or a run is pending, so
// closing must ask first. Any thread.
bool UpgradeUnderWay();

// The close of the main window once it may close, on the thread that owns the
// windows the engine reports to:
//  1. no more talk with the instrument (RequestRunStop); when an upgrade is
//     under way, the transfer the worker waits for is cancelled;
//  2. a detection thread still alive gets the stop event and is joined;
//  3. when connected the channel's device is closed, otherwise the stop event
//     is set and the done event waited for; then the 1000 ms pause;
//  4. the worker is ended (StopEngine).
// Every join delivers the calling thread's window messages meanwhile, since
// the thread may be sending one. Returns within kCloseBoundMs.
void CloseEngine(EngineThreads& threads, const EngineResources& resources);

// Ends the detection thread and the worker and joins them, without the
// device handling and the pause of a close: the last step of a close, and
// what runs when the application goes without one. Any number of times.
void StopEngine(EngineThreads& threads, const EngineResources& resources);

}  // namespace kestrup
