#include "platform/ui/CommandRouter.h"

#include <QtGui/QAction>
#include <QtGui/QKeySequence>
#include <QtGui/QShortcut>
#include <QtWidgets/QWidget>

namespace platform::ui {
namespace {
constexpr const char* kCommandProperty = "kestrupCommand";
}

void CommandRouter::SetActiveView(CommandTarget* view, CommandTarget* document) {
    view_ = view;
    document_ = document;
    UpdateActions();
}

std::vector<CommandTarget*> CommandRouter::Chain() const {
    std::vector<CommandTarget*> chain;
    for (CommandTarget* target : {view_, document_, frame_, app_}) {
        if (target != nullptr) {
            chain.push_back(target);
        }
    }
    return chain;
}

bool CommandRouter::Route(std::uint32_t id) {
    for (CommandTarget* target : Chain()) {
        if (target->OnCommand(id)) {
            UpdateActions();
            return true;
        }
    }
    return false;
}

CommandState CommandRouter::Query(std::uint32_t id) const {
    for (CommandTarget* target : Chain()) {
        CommandState state;
        state.enabled = true;
        if (target->OnUpdateCommand(id, state)) {
            return state;
        }
    }
    return CommandState{};
}

void CommandRouter::BindAction(QAction* action, std::uint32_t id) {
    action->setProperty(kCommandProperty, QVariant::fromValue(id));
    QObject::connect(action, &QAction::triggered, action, [this, id] { Route(id); });
    actions_.emplace_back(action);
}

void CommandRouter::AddAccelerator(QWidget* window, const QKeySequence& keys, std::uint32_t id) {
    auto* shortcut = new QShortcut(keys, window);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, shortcut, [this, id] { Route(id); });
}

void CommandRouter::UpdateActions() {
    for (const QPointer<QAction>& action : actions_) {
        if (action.isNull()) {
            continue;
        }
        const CommandState state = Query(CommandOf(action));
        action->setEnabled(state.enabled);
        action->setChecked(state.checked);
    }
}

std::uint32_t CommandRouter::CommandOf(const QAction* action) {
    const QVariant value = action->property(kCommandProperty);
    return value.isValid() ? value.value<std::uint32_t>() : 0;
}

}  // namespace platform::ui
