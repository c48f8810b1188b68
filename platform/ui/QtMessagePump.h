#pragma once

#include <QtCore/QObject>
#include <atomic>

#include "platform/MessageDispatcher.h"

namespace platform::ui {

// The UI thread's message pump on Qt's event loop. Constructed on the UI
// thread, it plugs itself in as that thread's window-message dispatcher: a
// message queued for a window of the UI thread wakes Qt's event loop, which
// then delivers everything pending (WindowMessages::DispatchPending).
//
// It also carries the application's quit request. A quit request is met
// after the window messages queued before it, like the system's quit
// message: in the event loop it ends the loop; met by PumpMessage (a handler
// pumping while it runs), it is handed back to the caller, which must post
// it again so that it is not lost.
class QtMessagePump : public QObject, public MessageDispatcher {
  public:
    QtMessagePump();
    ~QtMessagePump() override;
    QtMessagePump(const QtMessagePump&) = delete;
    QtMessagePump& operator=(const QtMessagePump&) = delete;

    // Any thread; never blocks.
    void Wake() override;

    // Any thread: asks the UI thread's event loop to end with exitCode.
    void PostQuit(int exitCode);

    // UI thread: true when a window message or a quit request is waiting.
    bool HasPending() const;

    // UI thread: retrieves and delivers one waiting message. Returns false
    // when it was the quit request (which is then consumed), true otherwise
    // (also when nothing was waiting).
    bool PumpMessage();

    // Any thread: number of quit requests not yet met, and the exit code of
    // the last one posted.
    int QuitRequests() const { return quitRequests_.load(); }
    int ExitCode() const { return exitCode_.load(); }

  protected:
    bool event(QEvent* event) override;

  private:
    std::atomic<bool> wakePosted_{false};
    std::atomic<int> quitRequests_{0};
    std::atomic<int> exitCode_{0};
};

}  // namespace platform::ui
