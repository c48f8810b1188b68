#include "platform/ui/FrameWindow.h"

namespace platform::ui {

FrameWindow::FrameWindow(QWidget* parent) : QMainWindow(parent) {}

}  // namespace platform::ui
