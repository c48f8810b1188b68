#pragma once

#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtWidgets/QWidget>
#include <atomic>
#include <memory>

#include "platform/MessageTypes.h"
#include "platform/ui/AppSettings.h"
#include "platform/ui/CommandTarget.h"
#include "platform/ui/ModalMessageBox.h"
#include "platform/ui/QtMessagePump.h"

namespace platform::ui {

// The application object's framework side: the UI thread, its message pump,
// the main window, the settings store and the message boxes. One is active
// at a time (the latest constructed); it belongs to the thread that attaches
// it to the UI (AttachUiThread), normally the main thread.
class Application : public CommandTarget {
  public:
    explicit Application(QString appName);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The application whose UI thread is the calling thread; null on any
    // other thread or when none is attached.
    static Application* ForCurrentThread();
    // The active application, whatever the thread.
    static Application* Active();

    // Makes the calling thread the UI thread: creates the message pump and
    // the message-box window there. Needs a QApplication. Idempotent.
    void AttachUiThread();
    // Takes the pump and the message boxes down again (before Qt goes).
    void DetachUiThread();
    ThreadId UiThread() const { return uiThread_; }

    const QString& AppName() const { return appName_; }
    QWidget* GetMainWnd() const { return mainWnd_; }
    void SetMainWnd(QWidget* window) { mainWnd_ = window; }

    QtMessagePump* Pump() const { return pump_.get(); }
    // Any thread; null while no UI thread is attached.
    ModalMessageBox* MessageBoxes() const { return messageBoxWindow_.load(); }

    // The framework's standard settings, named by organisation and title.
    void SetRegistryKey(const QString& organization);
    void LoadStdProfileSettings(int maxRecentFiles);
    void SaveStdProfileSettings();
    AppSettings* Settings() const { return settings_.get(); }

    // Runs Qt's event loop until a quit request; returns its exit code.
    int RunMessageLoop();

    // Any thread: a modal box with the application's name as caption and
    // an OK button; returns once it has been dismissed.
    void MessageBox(const QString& text);

    bool OnCommand(std::uint32_t) override { return false; }
    bool OnUpdateCommand(std::uint32_t, CommandState&) override { return false; }

  private:
    QString appName_;
    QString registryKey_;
    ThreadId uiThread_ = 0;
    QPointer<QWidget> mainWnd_;
    std::unique_ptr<QtMessagePump> pump_;
    std::unique_ptr<ModalMessageBox> messageBox_;
    std::atomic<ModalMessageBox*> messageBoxWindow_{nullptr};
    std::unique_ptr<AppSettings> settings_;
};

}  // namespace platform::ui
