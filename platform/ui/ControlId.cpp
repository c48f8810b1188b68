#include "platform/ui/ControlId.h"

#include <QtCore/QVariant>
#include <QtWidgets/QWidget>

namespace platform::ui {
namespace {
constexpr const char* kProperty = "kestrupControlId";
}

void SetControlId(QWidget* widget, std::uint32_t id) {
    widget->setProperty(kProperty, QVariant::fromValue(id));
}

std::uint32_t GetControlId(const QWidget* widget) {
    const QVariant value = widget->property(kProperty);
    return value.isValid() ? value.value<std::uint32_t>() : 0;
}

QWidget* FindDescendantById(const QWidget* parent, std::uint32_t id) {
    if (parent == nullptr) {
        return nullptr;
    }
    for (QObject* child : parent->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget == nullptr) {
            continue;
        }
        if (GetControlId(widget) == id) {
            return widget;
        }
        if (QWidget* found = FindDescendantById(widget, id)) {
            return found;
        }
    }
    return nullptr;
}

}  // namespace platform::ui
