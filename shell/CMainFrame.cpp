#include "shell/CMainFrame.h"

#include <QtGui/QCloseEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QIcon>
#include <QtGui/QKeySequence>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtGui/QStatusTipEvent>
#include <QtWidgets/QLayout>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QProgressBar>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "engine/Notifications.h"
#include "platform/TextEscape.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "platform/ui/Application.h"
#include "platform/ui/ControlId.h"
#include "res/AcceleratorTable.h"
#include "res/Artwork.h"
#include "res/MenuTemplate.h"
#include "res/Resource.h"
#include "res/StringTable.h"
#include "res/ToolBarTemplate.h"
#include "shell/CProgressBar.h"
#include "shell/PumpPendingMessages.h"

namespace {

QString Latin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QString ResString(std::uint32_t id) {
    return Latin1(res::StringTable::Load(id));
}

// printf into a string of the size the text needs.
__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<std::size_t>(size) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(size));
    }
    va_end(args);
    return text;
}

// The Num Lock indicator's pane carries the mode text ("USB", "TFTP").
constexpr std::uint32_t kModeIndicator = res::ID_INDICATOR_NUM;

}  // namespace

CMainFrame::CMainFrame() {
    m_barFactory = [] {
        return new (std::nothrow) CProgressBar(QStringLiteral("Progress"), 40, 100, true, 0);
    };
}

CMainFrame::~CMainFrame() {
    delete m_pProgressBar;
    m_pProgressBar = nullptr;
}

QFont CMainFrame::DialogFont() {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

void CMainFrame::SetProgressBarFactory(ProgressBarFactory factory) {
    m_barFactory = std::move(factory);
}

bool CMainFrame::Create() {
    PreCreateWindow();
    return OnCreate();
}

void CMainFrame::PreCreateWindow() {
    // A caption with system menu, minimize box and close button; no maximize
    // box and, with the size fixed once the view is in, no sizing border.
    // The title is the application's, never followed by a document name.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(Latin1(res::StringTable::Field(res::IDR_MAINFRAME, 0)));
    res::Artwork::Init();
    setWindowIcon(QIcon(QString::fromLatin1(res::Artwork::kFrameIcon)));
    Router().SetFrame(this);
    if (auto* app = platform::ui::Application::ForCurrentThread()) {
        Router().SetApplication(app);
    }
    BuildMenu();
    LoadAccelerators();
}

bool CMainFrame::OnCreate() {
    // The toolbar: flat buttons, a gripper, tooltips and fly-by prompts,
    // docked at the top; it may dock on any side, float and hide.
    m_wndToolBar.setParent(this);
    m_wndToolBar.setObjectName(QStringLiteral("toolBar"));
    m_wndToolBar.setWindowTitle(QStringLiteral("Toolbar"));
    platform::ui::SetControlId(&m_wndToolBar, res::AFX_IDW_TOOLBAR);
    if (!LoadToolBar()) {
        return false;
    }

    m_wndStatusBar.setObjectName(QStringLiteral("statusBar"));
    platform::ui::SetControlId(&m_wndStatusBar, res::AFX_IDW_STATUS_BAR);
    setStatusBar(&m_wndStatusBar);
    SetMessageBar(&m_wndStatusBar);
    const std::vector<platform::ui::StatusBar::Indicator> indicators{
        {res::ID_SEPARATOR, QString()},
        {res::ID_INDICATOR_CAPS, ResString(res::ID_INDICATOR_CAPS)},
        {res::ID_INDICATOR_NUM, ResString(res::ID_INDICATOR_NUM)},
        {res::ID_INDICATOR_SCRL, ResString(res::ID_INDICATOR_SCRL)},
    };
    if (!m_wndStatusBar.SetIndicators(indicators)) {
        return false;
    }
    m_wndStatusBar.SetPaneText(0, ResString(res::AFX_IDS_IDLEMESSAGE), false);

    m_wndToolBar.setAllowedAreas(Qt::AllToolBarAreas);
    m_wndToolBar.setMovable(true);
    m_wndToolBar.setFloatable(true);
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks);
    addToolBar(Qt::TopToolBarArea, &m_wndToolBar);

    CentreOnScreen();
    return true;
}

bool CMainFrame::LoadToolBar() {
    const QPixmap strip(QString::fromLatin1(res::ToolBarTemplate::MainFrameImages()));
    const int size = res::ToolBarTemplate::kButtonSize;
    if (strip.isNull() || strip.height() != size) {
        return false;
    }
    m_wndToolBar.setIconSize(QSize(size, size));
    m_wndToolBar.setToolButtonStyle(Qt::ToolButtonIconOnly);
    int image = 0;
    for (std::uint32_t id : res::ToolBarTemplate::MainFrameButtons()) {
        if (id == res::ID_SEPARATOR) {
            m_wndToolBar.addSeparator();
            continue;
        }
        if ((image + 1) * size > strip.width()) {
            return false;
        }
        QAction* action = m_wndToolBar.addAction(QIcon(strip.copy(image * size, 0, size, size)),
                                                 Latin1(res::StringTable::Field(id, 1)));
        action->setToolTip(Latin1(res::StringTable::Field(id, 1)));
        action->setStatusTip(Latin1(res::StringTable::Field(id, 0)));
        Router().BindAction(action, id);
        ++image;
    }
    return true;
}

void CMainFrame::BuildMenu() {
    QMenuBar* bar = menuBar();
    for (const res::MenuTemplate::Popup& popup : res::MenuTemplate::MainFrame()) {
        QMenu* menu = bar->addMenu(QString::fromLatin1(popup.text));
        for (const res::MenuTemplate::Item& item : popup.items) {
            if (item.text == nullptr) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(QString::fromLatin1(item.text));
            action->setStatusTip(Latin1(res::StringTable::Field(item.command, 0)));
            if (item.command == res::ID_VIEW_TOOLBAR || item.command == res::ID_VIEW_STATUS_BAR) {
                action->setCheckable(true);
            }
            Router().BindAction(action, item.command);
        }
        QObject::connect(menu, &QMenu::aboutToShow, this, [this] { Router().UpdateActions(); });
    }
}

void CMainFrame::LoadAccelerators() {
    for (const res::AcceleratorTable::Entry& entry : res::AcceleratorTable::MainFrame()) {
        Router().AddAccelerator(this, QKeySequence(QString::fromLatin1(entry.keys)), entry.command);
    }
}

void CMainFrame::SetView(QWidget* view, platform::ui::CommandTarget* viewTarget,
                         platform::ui::CommandTarget* documentTarget) {
    setCentralWidget(view);
    Router().SetActiveView(viewTarget, documentTarget);
    ResizeParentToFit();
    CentreOnScreen();
}

void CMainFrame::ResizeParentToFit() {
    // The frame fits around the view at the view's size and keeps that size
    // until the next fit; the view takes whatever room the bars leave it.
    QWidget* view = centralWidget();
    if (view == nullptr) {
        return;
    }
    const QSize wanted = view->sizeHint().isValid()
                             ? view->sizeHint().expandedTo(view->minimumSize())
                             : view->size();
    const QSize viewMinimum = view->minimumSize();
    view->setMinimumSize(wanted);
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    if (QLayout* frameLayout = layout()) {
        frameLayout->invalidate();
        frameLayout->activate();
    }
    adjustSize();
    setFixedSize(sizeHint());
    view->setMinimumSize(viewMinimum);
}

bool CMainFrame::OnCommand(std::uint32_t id) {
    switch (id) {
        case res::ID_VIEW_TOOLBAR:
            m_wndToolBar.setVisible(m_wndToolBar.isHidden());
            return true;
        case res::ID_VIEW_STATUS_BAR:
            m_wndStatusBar.setVisible(m_wndStatusBar.isHidden());
            return true;
        default:
            return false;
    }
}

bool CMainFrame::OnUpdateCommand(std::uint32_t id, platform::ui::CommandState& state) {
    switch (id) {
        case res::ID_VIEW_TOOLBAR:
            state.checked = !m_wndToolBar.isHidden();
            return true;
        case res::ID_VIEW_STATUS_BAR:
            state.checked = !m_wndStatusBar.isHidden();
            return true;
        default:
            return false;
    }
}

bool CMainFrame::event(QEvent* e) {
    if (e->type() == QEvent::StatusTip) {
        // Fly-by prompts of menu items and toolbar buttons go to the message
        // pane; when the pointer leaves, the pane gets back the progress label
        // or the idle message.
        QString tip = static_cast<QStatusTipEvent*>(e)->tip();
        if (tip.isEmpty()) {
            tip = m_pProgressBar != nullptr && m_pProgressBar->HasWindow()
                      ? m_pProgressBar->m_strLabel
                      : ResString(res::AFX_IDS_IDLEMESSAGE);
        }
        m_wndStatusBar.SetPaneText(0, tip, true);
        return true;
    }
    return FrameWindow::event(e);
}

void CMainFrame::closeEvent(QCloseEvent* e) {
    // Closing goes through the window procedure, so the close handling runs
    // as the handler of WM_CLOSE.
    if (!m_bClosing) {
        platform::WindowMessages::Send(this, platform::WM_CLOSE, 0, 0);
    }
    e->setAccepted(m_bClosing);
}

void CMainFrame::showEvent(QShowEvent* e) {
    FrameWindow::showEvent(e);
    if (!m_bCentred) {
        // The window system's frame is known once the window is shown.
        m_bCentred = true;
        CentreOnScreen();
    }
    Router().UpdateActions();
}

void CMainFrame::CentreOnScreen() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

platform::LRESULT CMainFrame::WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                         platform::LPARAM lParam) {
    switch (message) {
        case kestrup::WM_SET_MODE_USB:
            return Notified(message, wParam, lParam, OnSetModeUsb(wParam, lParam));
        case kestrup::WM_UPGRADE_PROGRESS:
            return Notified(message, wParam, lParam, OnUpgradeProgress(wParam, lParam));
        case kestrup::WM_SET_MODE_TFTP:
            return Notified(message, wParam, lParam, OnSetModeTftp(wParam, lParam));
        case kestrup::WM_MODE_PROGRESS:
            return Notified(message, wParam, lParam, OnModeProgress(wParam, lParam));
        case platform::WM_CLOSE:
            if (m_closeHandler && !m_closeHandler()) {
                return 0;  // the window stays open
            }
            // The framework closes the main window and ends the application.
            m_bClosing = true;
            hide();
            if (auto* app = platform::ui::Application::ForCurrentThread();
                app != nullptr && app->Pump() != nullptr && app->GetMainWnd() == this) {
                app->Pump()->PostQuit(0);
            }
            return 0;
        default:
            return 0;
    }
}

platform::LRESULT CMainFrame::Notified(std::uint32_t message, platform::WPARAM wParam,
                                       platform::LPARAM lParam, platform::LRESULT result) {
    if (m_notificationObserver) {
        m_notificationObserver(message, wParam, lParam);
    }
    // The pump comes after the observer has been told: a notification that
    // was waiting, handled inside it, must not reach the observer before the
    // one that came first.
    if (m_bPumpAfterNotifying) {
        m_bPumpAfterNotifying = false;
        PumpPendingMessages();
    }
    return result;
}

const char* CMainFrame::CurrentFile() const {
    return m_pszCurrentFile != nullptr ? m_pszCurrentFile : "";
}

CProgressBar* CMainFrame::NewProgressBar() {
    return m_barFactory ? m_barFactory() : nullptr;
}

std::string CMainFrame::StatusText(std::int32_t code, const char* currentFile) {
    switch (code) {
        case 5:
            return Format("%s: Packet Error\n", currentFile);
        case 8:
            return Format("%s: File Transfer OK\n", currentFile);
        case 9:
            return Format("%s: File Size Failed\n", currentFile);
        case 10:
            return Format("%s: CRC Failed\n", currentFile);
        case 11:
            return Format("%s: Flash Erase Failed\n", currentFile);
        case 12:
            return Format("%s: Flash Write Failed\n", currentFile);
        case kestrup::STATUS_FLASHING:
            return Format("%s: Flashing File. Please wait...\n", currentFile);
        case kestrup::STATUS_DETECTING:
            return "Detecting USB device. Please wait...\n";
        case kestrup::STATUS_DETECT_FAILED:
            return "Failed to detect the device. Please try again.\n";
        case kestrup::STATUS_DEVICE_FOUND:
            return "USB Device Found\n";
        case kestrup::STATUS_RESET_FAILED:
            return "Cannot Reset Device. Please Try Again.\n";
        case kestrup::STATUS_UPGRADE_DONE:
            return "Upgrade completed successfully\n";
        default:
            if (code > kestrup::STATUS_ANSWER_AS_FAILURE &&
                code <= kestrup::STATUS_ANSWER_AS_FAILURE + 0x7F) {
                // An answer that would read as a status of its own, named
                // as the unknown answer it is.
                return Format("TimeOut Or Unknown Error; Opcode is 0x%X\n",
                              static_cast<unsigned int>(code - kestrup::STATUS_ANSWER_AS_FAILURE));
            }
            return Format("TimeOut Or Unknown Error; Opcode is 0x%X\n",
                          static_cast<unsigned int>(static_cast<std::uint32_t>(code)));
    }
}

std::string CMainFrame::ShownFile() const {
    return platform::TextEscape::WithoutControls(CurrentFile());
}

void CMainFrame::ShowStatusText(std::int32_t code) {
    const std::string text = StatusText(code, ShownFile().c_str());
    m_pProgressBar->SetWidthPercent(0);
    m_pProgressBar->SetLabel(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

platform::LRESULT CMainFrame::OnUpgradeProgress(platform::WPARAM wParam, platform::LPARAM lParam) {
    std::int32_t w = kestrup::ProgressValue(wParam);
    if (w == kestrup::PROGRESS_START) {
        delete m_pProgressBar;
        m_pProgressBar = nullptr;
        m_pProgressBar = NewProgressBar();
        w = 0;
    } else if (w == kestrup::PROGRESS_STATUS) {
        if (m_pProgressBar == nullptr) {
            m_pProgressBar = NewProgressBar();
        }
    } else if (w == kestrup::PROGRESS_END) {
        if (m_pProgressBar == nullptr) {
            return 0;
        }
        // The last text stays for a second; the sender waits with it.
        platform::TimeFacility::Sleep(1000, "progress end");
        delete m_pProgressBar;
        m_pProgressBar = nullptr;
        return 0;
    }
    if (m_pProgressBar == nullptr) {
        return 0;
    }
    if (w == kestrup::PROGRESS_STATUS) {
        // The code travels as a whole 32-bit value.
        ShowStatusText(static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam)));
    } else {
        const std::string label = Format(" %s %d%% complete", ShownFile().c_str(), w);
        m_pProgressBar->SetLabel(
            QString::fromUtf8(label.data(), static_cast<qsizetype>(label.size())));
        m_pProgressBar->SetBarPos(w);
    }
    // From here on only the formatted text is ours: a notification handled
    // inside the pump (once the observer has been told) finds the bar complete.
    m_bPumpAfterNotifying = true;
    return 0;
}

platform::LRESULT CMainFrame::OnModeProgress(platform::WPARAM wParam, platform::LPARAM) {
    std::int32_t w = kestrup::ProgressValue(wParam);
    if (w == kestrup::PROGRESS_START) {
        delete m_pProgressBar;
        m_pProgressBar = nullptr;
        m_pProgressBar = NewProgressBar();
        w = 0;
    } else if (w == kestrup::PROGRESS_END) {
        if (m_pProgressBar == nullptr) {
            return 0;
        }
        platform::TimeFacility::Sleep(10, "mode progress end");
        m_wndStatusBar.SetPaneText(m_wndStatusBar.CommandToIndex(kModeIndicator), QString(), true);
        delete m_pProgressBar;
        m_pProgressBar = nullptr;
        return 0;
    }
    if (m_pProgressBar != nullptr) {
        const std::string label = Format(" %s %d%% complete", ShownFile().c_str(), w);
        m_pProgressBar->SetLabel(
            QString::fromUtf8(label.data(), static_cast<qsizetype>(label.size())));
        m_pProgressBar->SetBarPos(w);
        m_bPumpAfterNotifying = true;
    }
    return 0;
}

void CMainFrame::SetModeText(const char* text) {
    m_wndStatusBar.SetPaneText(m_wndStatusBar.CommandToIndex(kModeIndicator),
                               QString::fromLatin1(text), true);
}

platform::LRESULT CMainFrame::OnSetModeUsb(platform::WPARAM, platform::LPARAM) {
    SetModeText("USB");
    return 0;
}

platform::LRESULT CMainFrame::OnSetModeTftp(platform::WPARAM, platform::LPARAM) {
    SetModeText("TFTP");
    return 0;
}
