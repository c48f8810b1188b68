#pragma once

#include <cstdint>

class QWidget;

namespace platform::ui {

// Child-window identifiers, as the framework gives them to its child windows
// (the toolbar is 59392, the status bar 59393, a status-bar control 1).
void SetControlId(QWidget* widget, std::uint32_t id);
// The widget's identifier; 0 when it has none.
std::uint32_t GetControlId(const QWidget* widget);
// The first descendant of parent (depth-first, in creation order) with the
// identifier; null when there is none.
QWidget* FindDescendantById(const QWidget* parent, std::uint32_t id);

}  // namespace platform::ui
