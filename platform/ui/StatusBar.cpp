#include "platform/ui/StatusBar.h"

#include <qdrawutil.h>
#include <QtCore/QEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOption>

#include "platform/ui/KeyLockState.h"

namespace platform::ui {
namespace {

// Geometry in pixels: the bar's border above the panes and below them, the
// gap between panes and the space between a pane's edge and its text.
constexpr int kTopBorder = 2;
constexpr int kBottomBorder = 1;
constexpr int kGap = 2;
constexpr int kTextMargin = 3;

bool DefaultKeyState(std::uint32_t id) {
    switch (id) {
        case StatusBar::kIndicatorCaps:
            return KeyLockState::IsOn(KeyLockState::Key::CapsLock);
        case StatusBar::kIndicatorNum:
            return KeyLockState::IsOn(KeyLockState::Key::NumLock);
        case StatusBar::kIndicatorScroll:
            return KeyLockState::IsOn(KeyLockState::Key::ScrollLock);
        default:
            return true;
    }
}

}  // namespace

StatusBar::StatusBar(QWidget* parent) : QStatusBar(parent), keyState_(&DefaultKeyState) {
    setSizeGripEnabled(false);
    qApp->installEventFilter(this);
}

StatusBar::~StatusBar() {
    qApp->removeEventFilter(this);
}

bool StatusBar::IsKeyIndicator(std::uint32_t id) {
    return id == kIndicatorCaps || id == kIndicatorNum || id == kIndicatorScroll;
}

bool StatusBar::SetIndicators(const std::vector<Indicator>& indicators) {
    if (indicators.empty()) {
        return false;
    }
    panes_.clear();
    for (const Indicator& indicator : indicators) {
        panes_.push_back(Pane{indicator.id, indicator.text, indicator.text, true});
    }
    UpdateKeyIndicators();
    updateGeometry();
    update();
    return true;
}

int StatusBar::CommandToIndex(std::uint32_t indicatorId) const {
    for (std::size_t i = 0; i < panes_.size(); ++i) {
        if (panes_[i].id == indicatorId) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::uint32_t StatusBar::GetItemId(int index) const {
    return index >= 0 && index < GetCount() ? panes_[static_cast<std::size_t>(index)].id : 0;
}

bool StatusBar::SetPaneText(int index, const QString& text, bool updateNow) {
    if (index < 0 || index >= GetCount()) {
        return false;
    }
    Pane& pane = panes_[static_cast<std::size_t>(index)];
    if (pane.text == text) {
        return true;
    }
    pane.text = text;
    if (updateNow && isVisible()) {
        repaint(GetItemRect(index));
    } else {
        update(GetItemRect(index));
    }
    return true;
}

QString StatusBar::GetPaneText(int index) const {
    return index >= 0 && index < GetCount() ? panes_[static_cast<std::size_t>(index)].text
                                            : QString();
}

bool StatusBar::IsPaneEnabled(int index) const {
    return index >= 0 && index < GetCount() && panes_[static_cast<std::size_t>(index)].enabled;
}

bool StatusBar::IsPaneTextShown(int index) const {
    if (index < 0 || index >= GetCount()) {
        return false;
    }
    const Pane& pane = panes_[static_cast<std::size_t>(index)];
    return pane.enabled || pane.text != pane.indicatorText;
}

int StatusBar::PaneWidth(const Pane& pane) const {
    return fontMetrics().horizontalAdvance(pane.indicatorText) + 2 * kTextMargin;
}

QRect StatusBar::GetItemRect(int index) const {
    if (index < 0 || index >= GetCount()) {
        return {};
    }
    // Fixed panes take their text's width from the right; the message pane
    // (and any other stretching pane) takes what is left, at least nothing.
    int fixed = 0;
    int stretching = 0;
    for (const Pane& pane : panes_) {
        if (pane.id == kMessagePane) {
            ++stretching;
        } else {
            fixed += PaneWidth(pane);
        }
    }
    const int gaps = kGap * (GetCount() + 1);
    const int stretch = stretching > 0 ? std::max(0, (width() - fixed - gaps) / stretching) : 0;
    int x = kGap;
    for (int i = 0; i < GetCount(); ++i) {
        const Pane& pane = panes_[static_cast<std::size_t>(i)];
        const int w = pane.id == kMessagePane ? stretch : PaneWidth(pane);
        if (i == index) {
            return QRect(x, kTopBorder, w, std::max(0, height() - kTopBorder - kBottomBorder));
        }
        x += w + kGap;
    }
    return {};
}

void StatusBar::SetKeyStateSource(KeyStateSource source) {
    keyState_ = source ? std::move(source) : KeyStateSource(&DefaultKeyState);
    UpdateKeyIndicators();
}

void StatusBar::UpdateKeyIndicators() {
    bool changed = false;
    for (Pane& pane : panes_) {
        if (!IsKeyIndicator(pane.id)) {
            continue;
        }
        const bool on = keyState_(pane.id);
        changed = changed || on != pane.enabled;
        pane.enabled = on;
    }
    if (changed) {
        update();
    }
}

QSize StatusBar::sizeHint() const {
    int w = kGap;
    for (const Pane& pane : panes_) {
        w += (pane.id == kMessagePane ? 0 : PaneWidth(pane)) + kGap;
    }
    return {w, fontMetrics().height() + 2 * kTextMargin + kTopBorder + kBottomBorder};
}

QSize StatusBar::minimumSizeHint() const {
    return sizeHint();
}

void StatusBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    for (int i = 0; i < GetCount(); ++i) {
        const Pane& pane = panes_[static_cast<std::size_t>(i)];
        const QRect r = GetItemRect(i);
        qDrawShadePanel(&painter, r, palette(), true, 1);
        if (!IsPaneTextShown(i)) {
            continue;
        }
        painter.setPen(palette().color(QPalette::WindowText));
        painter.setClipRect(r.adjusted(1, 1, -1, -1));
        painter.drawText(r.adjusted(kTextMargin, 0, -1, 0),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, pane.text);
        painter.setClipping(false);
    }
}

bool StatusBar::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease: {
            // Only the lock keys change what the indicators show; a key event
            // reaches the filter once for each widget it travels through,
            // which only the first reading notices.
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_CapsLock || key == Qt::Key_NumLock || key == Qt::Key_ScrollLock) {
                UpdateKeyIndicators();
            }
            break;
        }
        case QEvent::ApplicationActivate:
        case QEvent::WindowActivate:
            // A lock key may have been toggled while another program had the
            // keyboard.
            UpdateKeyIndicators();
            break;
        default:
            break;
    }
    return QStatusBar::eventFilter(watched, event);
}

}  // namespace platform::ui
