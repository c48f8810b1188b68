#pragma once

#include <QtCore/QPointer>
#include <cstdint>
#include <vector>

#include "platform/ui/CommandTarget.h"

class QAction;
class QKeySequence;
class QWidget;

namespace platform::ui {

// Routes commands from the menu, the toolbar and the accelerators to the
// first target that handles them, in the framework's order: the active view,
// its document, the frame, the application. A command nobody handles does
// nothing, and its menu items and buttons are disabled.
class CommandRouter {
  public:
    void SetApplication(CommandTarget* app) { app_ = app; }
    void SetFrame(CommandTarget* frame) { frame_ = frame; }
    // The active view and its document (either may be null).
    void SetActiveView(CommandTarget* view, CommandTarget* document);

    // The targets in routing order (those that are set).
    std::vector<CommandTarget*> Chain() const;

    // Runs the command; false when no target handled it.
    bool Route(std::uint32_t id);
    // The state the first target that handles the command gives it;
    // disabled when nobody handles it.
    CommandState Query(std::uint32_t id) const;

    // Command sources. The action (a menu item or toolbar button) issues the
    // command when triggered; its state follows Query on UpdateActions.
    void BindAction(QAction* action, std::uint32_t id);
    // An accelerator: the key sequence issues the command while window is
    // the active window.
    void AddAccelerator(QWidget* window, const QKeySequence& keys, std::uint32_t id);
    // Brings every bound action's enabled and checked state up to date.
    void UpdateActions();

    static std::uint32_t CommandOf(const QAction* action);

  private:
    CommandTarget* view_ = nullptr;
    CommandTarget* document_ = nullptr;
    CommandTarget* frame_ = nullptr;
    CommandTarget* app_ = nullptr;
    std::vector<QPointer<QAction>> actions_;
};

}  // namespace platform::ui
