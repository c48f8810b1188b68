#pragma once

#include <QtWidgets/QMainWindow>

#include "platform/ui/CommandRouter.h"

namespace platform::ui {

class StatusBar;

// The base of frame windows: a main window that knows its message bar (the
// status bar it shows prompts in) and routes commands.
class FrameWindow : public QMainWindow {
  public:
    explicit FrameWindow(QWidget* parent = nullptr);

    // The status bar the frame uses for its messages; null when it has none.
    StatusBar* GetMessageBar() const { return messageBar_; }
    CommandRouter& Router() { return router_; }

  protected:
    void SetMessageBar(StatusBar* bar) { messageBar_ = bar; }

  private:
    StatusBar* messageBar_ = nullptr;
    CommandRouter router_;
};

}  // namespace platform::ui
