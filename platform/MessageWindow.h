#pragma once

#include <cstdint>

#include "platform/MessageTypes.h"

namespace platform {

// An object that receives window messages. It belongs to the thread that
// constructs it: its procedure always runs there. It must be destroyed on that
// thread too; destruction drops the messages still posted to it and releases
// senders still waiting on it with a result of 0.
class MessageWindow {
  public:
    MessageWindow();
    virtual ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    // The window procedure. Runs on the owning thread only.
    virtual LRESULT WindowProc(std::uint32_t message, WPARAM wParam, LPARAM lParam) = 0;

    ThreadId OwnerThread() const { return owner_; }

  private:
    ThreadId owner_;
};

}  // namespace platform
