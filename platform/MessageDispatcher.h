#pragma once

namespace platform {

// The owning thread's side of window-message delivery. A thread that owns
// windows plugs one in (WindowMessages::SetDispatcher); the shell plugs in
// Qt's event loop, tests and plain threads use PlainDispatcher.
class MessageDispatcher {
  public:
    virtual ~MessageDispatcher() = default;

    // Called from any thread right after a message has been queued for the
    // owning thread, under WindowMessages' lock (so that a dispatcher that has
    // been unplugged is never woken afterwards). Must make the owning thread
    // call WindowMessages::DispatchPending soon. Must not block and must not
    // call back into WindowMessages.
    virtual void Wake() = 0;
};

}  // namespace platform
