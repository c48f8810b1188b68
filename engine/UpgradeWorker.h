#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Thread.h"

namespace platform {
class MessageWindow;
}

namespace kestrup {

// 1 once the detection thread has opened the instrument and bound its pipes;
// never set back. Written by the detection thread, read by the worker and by
// the main frame's close handling.
extern std::atomic<int> g_bConnected;

// The upgrade worker, started by the application at the end of start-up; the
// start message goes to its thread id. Null until then, and null when it could
// not be started.
extern std::atomic<platform::Thread*> g_pUpgradeThread;

// True from the hand-off's start message until the worker has finished the
// run it asked for: files are being sent or the instrument is writing its
// flash. Read by the UI to refuse overlapping upgrades and to ask before
// closing.
extern std::atomic<bool> g_bUpgradeRunPending;

// Asks for no more talk with the instrument: a run under way ends at its next
// step (a transfer cancelled under it counts as such a step) without a
// message box, a pause or the closing request, and a start message that comes
// later runs nothing. Set by the close of the main window; StartUpgradeWorker
// clears it. Any thread.
void RequestRunStop();
bool RunStopRequested();

// True from the moment a run sends its opening request until it has ended:
// from then on the instrument is being upgraded and closing must ask. Any
// thread.
bool RunBegun();
// The close's decision, in one step against the worker's start of a run:
// when no run has begun, asks for no more talk with the instrument (as
// RequestRunStop) so that none begins, and returns true; when one has, does
// nothing and returns false. Any thread.
bool StopRunUnlessBegun();

// The worker's steps with the instrument since it started: the frames it
// began to write and the answers it read (a read that ended without one
// included). They are counted under the lock the stop request takes, so each
// step falls before or after the stop for certain: no frame is begun after
// it, and an answer read after it is never reported.
struct RunSteps {
    std::uint64_t framesBegun = 0;
    std::uint64_t answersRead = 0;
    bool operator==(const RunSteps&) const = default;
};
// Worker thread, before each frame it writes: counts the frame and returns
// true, or returns false without counting once the stop was requested.
bool BeginFrame();
// Worker thread, before writing the rest of a frame whose first write
// stalled: false once the stop was requested.
bool ContinueFrame();
// Worker thread, after each read of an answer: counts it.
void AnswerRead();
// The steps so far, and those taken when the stop came (nullopt while no stop
// was requested since the worker started). Any thread.
RunSteps StepsSoFar();
std::optional<RunSteps> StepsAtStop();

// The worker thread procedure. Blocks on its thread message queue while idle.
// A start message (message 0, wParam 1030) runs one upgrade run when
// g_bConnected is 1; every other message, and a start message before the
// instrument is connected, is discarded. Notifications go to `frame`. Returns
// only when its queue receives WM_QUIT, which the program itself never posts.
void UpgradeThreadProc(platform::MessageWindow* frame);

// Called on the worker thread each time it has dealt with a start message
// (after the run, or after discarding it); null removes it. Any thread.
void SetRunEndedCallback(std::function<void()> callback);

// Tells the run-ended callback (if any) that an upgrade ended before a run
// reached the worker: the hand-off refused the package. Any thread.
void ReportRunEnded();

// One upgrade run: the opening request and its answer, every file of the
// staging directory in listing order with a checksum ("package.inf" skipped;
// the ".boot" and ".bin" files deferred), then the boot image, then the
// application image, both without checksum, then the closing request.
// Worker thread.
void UpgradeRun(platform::MessageWindow* frame);

// The staged files a run defers to the end, as UpgradeRun decides: regular
// files not beginning with "." whose extension is exactly "bin" (application
// images) or "boot" (boot images), in listing order. Any thread.
void StagedImages(const char* stagingDir, std::vector<std::string>& applications,
                  std::vector<std::string>& boots);

// Starts the worker thread with `frame` (clearing a stop request) and returns
// once its message queue exists, so that a start message posted right afterwards is not lost.
// Returns null when the thread cannot be started. Any thread.
std::unique_ptr<platform::Thread> StartUpgradeWorker(platform::MessageWindow* frame);

}  // namespace kestrup
