#include "shell/CProgressBar.h"

#include <QtCore/QEvent>
#include <QtGui/QFontMetrics>
#include <QtWidgets/QProgressBar>

#include "platform/ui/Application.h"
#include "platform/ui/ControlId.h"
#include "platform/ui/FrameWindow.h"
#include "platform/ui/StatusBar.h"
#include "res/Resource.h"
#include "res/StringTable.h"

// The control window: a progress bar that runs the owner's layout every time
// its background is drawn (after the status bar was resized, shown again or
// repainted).
class CProgressBar::Control : public QProgressBar {
  public:
    Control(CProgressBar* owner, QWidget* parent) : QProgressBar(parent), owner_(owner) {
        parent->installEventFilter(this);
    }
    void Detach() { owner_ = nullptr; }

  protected:
    // The status bar shown again or resized: its background, and the
    // control's with it, is drawn anew.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (owner_ != nullptr && watched == parentWidget() &&
            (event->type() == QEvent::Show || event->type() == QEvent::Resize)) {
            owner_->Layout(false);
        }
        return QProgressBar::eventFilter(watched, event);
    }
    void paintEvent(QPaintEvent* event) override {
        if (owner_ != nullptr) {
            owner_->Layout(true);
        }
        QProgressBar::paintEvent(event);
    }

  private:
    CProgressBar* owner_;
};

CProgressBar::CProgressBar() = default;

CProgressBar::CProgressBar(const QString& label, int widthPercent, int maximum, bool smooth,
                           int pane) {
    Create(label, widthPercent, maximum, smooth, pane);
}

CProgressBar::~CProgressBar() {
    RestorePane();
    if (m_wnd) {
        m_wnd->Detach();
        delete m_wnd.data();
    }
}

platform::ui::StatusBar* CProgressBar::FindStatusBar() {
    platform::ui::Application* app = platform::ui::Application::ForCurrentThread();
    if (app == nullptr) {
        return nullptr;
    }
    QWidget* main = app->GetMainWnd();
    if (main == nullptr) {
        return nullptr;
    }
    QWidget* found = nullptr;
    if (auto* frame = dynamic_cast<platform::ui::FrameWindow*>(main)) {
        found = frame->GetMessageBar();
    } else {
        found = platform::ui::FindDescendantById(main, res::AFX_IDW_STATUS_BAR);
    }
    return dynamic_cast<platform::ui::StatusBar*>(found);
}

bool CProgressBar::Create(const QString& label, int widthPercent, int maximum, bool smooth,
                          int pane) {
    platform::ui::StatusBar* bar = FindStatusBar();
    if (bar == nullptr) {
        return false;
    }
    const QRect r = bar->GetItemRect(pane);
    auto* control = new Control(this, bar);
    control->setGeometry(r);
    control->setTextVisible(false);
    // The smooth style draws one continuous bar; otherwise the style's
    // segmented look, where it has one.
    control->setProperty("smooth", smooth);
    platform::ui::SetControlId(control, 1);
    m_wnd = control;
    control->show();
    SetBarRange(0, maximum, 1);
    SetBarStep(1);
    m_strLabel = label;
    m_nWidthPercent = widthPercent;
    m_nPane = pane;
    m_strSavedPaneText = bar->GetPaneText(pane);
    Reposition();
    return true;
}

QProgressBar* CProgressBar::Window() const {
    return m_wnd.data();
}

int CProgressBar::GetPos() const {
    return m_wnd ? m_wnd->value() : 0;
}

bool CProgressBar::SetBarRange(int lower, int upper, int step) {
    if (!m_wnd) {
        return false;
    }
    m_wnd->setRange(lower, upper);
    // The position stays inside the new range.
    m_wnd->setValue(std::clamp(m_wnd->value(), lower, std::max(lower, upper)));
    m_nStep = step;
    return true;
}

void CProgressBar::MakeVisible() {
    m_wnd->setVisible(true);
}

int CProgressBar::SetBarPos(int position) {
    if (!m_wnd) {
        return 0;
    }
    MakeVisible();
    const int previous = m_wnd->value();
    // The control keeps its position inside its range.
    m_wnd->setValue(std::clamp(position, m_wnd->minimum(), m_wnd->maximum()));
    return previous;
}

int CProgressBar::SetBarStep(int step) {
    if (!m_wnd) {
        return 0;
    }
    MakeVisible();
    const int previous = m_nStep;
    m_nStep = step;
    return previous;
}

bool CProgressBar::SetLabel(const QString& text) {
    m_strLabel = text;
    return Reposition();
}

bool CProgressBar::SetWidthPercent(int percent) {
    m_nWidthPercent = percent;
    return Reposition();
}

bool CProgressBar::Reposition() {
    return Layout(false);
}

bool CProgressBar::Layout(bool fromPaint) {
    if (!m_wnd) {
        return false;
    }
    platform::ui::StatusBar* bar = FindStatusBar();
    if (bar == nullptr) {
        return false;
    }
    if (m_wnd->isVisible()) {
        // While the control paints, the bar repaints later rather than at
        // once: an immediate repaint from inside a paint would recurse.
        bar->SetPaneText(m_nPane, m_strLabel, !fromPaint);
    }

    const QFontMetrics metrics(bar->font());
    const int labelWidth = metrics.horizontalAdvance(m_strLabel);
    const int spaceWidth = metrics.horizontalAdvance(QStringLiteral(" "));

    const QRect pane = bar->GetItemRect(m_nPane);
    Rect r{pane.x(), pane.y(), pane.x() + pane.width(), pane.y() + pane.height()};
    if (!m_strLabel.isEmpty()) {
        r.left += labelWidth + 4 * spaceWidth;
    }
    const int room = r.right - r.left;
    // Integer division truncates towards zero, also for a negative room.
    r.right -= ((100 - m_nWidthPercent) * room) / 100;
    if (r.right < r.left) {
        r.right = r.left;
    }
    const int inset = (r.bottom - r.top) / 10;
    r.top += inset;
    r.bottom -= inset;

    if (!(r == m_rcLast)) {
        m_wnd->setGeometry(r.left, r.top, r.right - r.left, r.bottom - r.top);
        m_rcLast = r;
    }
    return true;
}

void CProgressBar::RestorePane() {
    if (!m_wnd) {
        return;
    }
    m_wnd->setVisible(false);
    const QString text = m_nPane == 0
                             ? QString::fromLatin1(res::StringTable::Find(res::AFX_IDS_IDLEMESSAGE))
                             : m_strSavedPaneText;
    if (platform::ui::StatusBar* bar = FindStatusBar()) {
        bar->SetPaneText(m_nPane, text, true);
    }
}
