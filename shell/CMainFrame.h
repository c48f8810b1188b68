#pragma once

#include <QtWidgets/QToolBar>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/MessageWindow.h"
#include "platform/ui/CommandTarget.h"
#include "platform/ui/FrameWindow.h"
#include "platform/ui/StatusBar.h"

class CProgressBar;

// The main frame: fixed-size window with the menu, the accelerators, a
// docking toolbar and the four-pane status bar. It is the window the
// engine's threads report to: messages 1030, 1031, 1034 and 1035 reach it
// through platform::WindowMessages (it is a MessageWindow of the UI thread).
class CMainFrame : public platform::ui::FrameWindow,
                   public platform::MessageWindow,
                   public platform::ui::CommandTarget {
  public:
    CMainFrame();
    ~CMainFrame() override;

    // Prepares the window style and creates the toolbar and the status bar.
    // False when any step fails (the window is then unusable).
    bool Create();

    // Installs the view as the frame's client and routes commands to it and
    // to its document first; then fits the frame around the view, fixes its
    // size and centres it on the screen.
    void SetView(QWidget* view, platform::ui::CommandTarget* viewTarget,
                 platform::ui::CommandTarget* documentTarget);
    // Recalculates the layout and fits the frame around the view again, at
    // the view's form size (after each fill of the list). UI thread.
    void ResizeParentToFit();
    QWidget* View() const { return centralWidget(); }

    // The buffer holding the name of the file being sent (the engine's
    // current-file buffer); read when a notification formats its text.
    void SetCurrentFileSource(const char* buffer) { m_pszCurrentFile = buffer; }

    // Runs when the window is asked to close, before the framework closes it
    // and ends the application. Returning false keeps the window open.
    using CloseHandler = std::function<bool()>;
    void SetCloseHandler(CloseHandler handler) { m_closeHandler = std::move(handler); }

    // Told of every notification (1030, 1031, 1034, 1035) after the frame has
    // handled it; the unattended mode prints from here. UI thread.
    using NotificationObserver = std::function<void(std::uint32_t message, platform::WPARAM wParam,
                                                    platform::LPARAM lParam)>;
    void SetNotificationObserver(NotificationObserver observer) {
        m_notificationObserver = std::move(observer);
    }

    // Makes the progress bars the notifications create (tests replace it to
    // see a failed allocation); returns null when none can be made.
    using ProgressBarFactory = std::function<CProgressBar*()>;
    void SetProgressBarFactory(ProgressBarFactory factory);

    // The text a status code shows in the message pane. A failed answer
    // that would read as a status of its own (kestrup::FailureStatusOf)
    // shows as the unknown answer it is.
    static std::string StatusText(std::int32_t code, const char* currentFile);
    // The 8-point dialog font of the program's forms and dialogs.
    static QFont DialogFont();

    platform::LRESULT WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;

    platform::LRESULT OnSetModeUsb(platform::WPARAM wParam, platform::LPARAM lParam);
    platform::LRESULT OnUpgradeProgress(platform::WPARAM wParam, platform::LPARAM lParam);
    platform::LRESULT OnSetModeTftp(platform::WPARAM wParam, platform::LPARAM lParam);
    platform::LRESULT OnModeProgress(platform::WPARAM wParam, platform::LPARAM lParam);

    bool OnCommand(std::uint32_t id) override;
    bool OnUpdateCommand(std::uint32_t id, platform::ui::CommandState& state) override;

    platform::ui::StatusBar m_wndStatusBar;
    CProgressBar* m_pProgressBar = nullptr;
    QToolBar m_wndToolBar;

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void PreCreateWindow();
    void CentreOnScreen();
    bool OnCreate();
    bool LoadToolBar();
    void BuildMenu();
    void LoadAccelerators();
    void ShowStatusText(std::int32_t code);
    void SetModeText(const char* text);
    const char* CurrentFile() const;
    // The current file as the window shows it: without control characters.
    std::string ShownFile() const;
    platform::LRESULT Notified(std::uint32_t message, platform::WPARAM wParam,
                               platform::LPARAM lParam, platform::LRESULT result);
    CProgressBar* NewProgressBar();

    const char* m_pszCurrentFile = nullptr;
    CloseHandler m_closeHandler;
    NotificationObserver m_notificationObserver;
    ProgressBarFactory m_barFactory;
    bool m_bClosing = false;
    // Set by a handler whose text is complete: Notified pumps the waiting
    // window messages once the observer has been told.
    bool m_bPumpAfterNotifying = false;
    bool m_bCentred = false;
};
