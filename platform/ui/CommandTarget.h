#pragma once

#include <cstdint>

namespace platform::ui {

// What a command's menu item or toolbar button shows.
struct CommandState {
    bool enabled = false;
    bool checked = false;
};

// An object that may handle commands by their numeric identifier: the view,
// the document, the frame and the application, asked in that order.
class CommandTarget {
  public:
    virtual ~CommandTarget() = default;

    // Runs the command when this target handles it; true when handled.
    virtual bool OnCommand(std::uint32_t id) = 0;

    // When this target handles the command, fills in its state and returns
    // true. A target that handles a command normally enables it.
    virtual bool OnUpdateCommand(std::uint32_t id, CommandState& state) = 0;
};

}  // namespace platform::ui
