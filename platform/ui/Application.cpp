#include "platform/ui/Application.h"

#include <QtWidgets/QApplication>
#include <atomic>

#include "platform/Thread.h"

namespace platform::ui {
namespace {
std::atomic<Application*> g_active{nullptr};
}

Application::Application(QString appName) : appName_(std::move(appName)) {
    g_active.store(this);
}

Application::~Application() {
    Application* self = this;
    g_active.compare_exchange_strong(self, nullptr);
}

Application* Application::Active() {
    return g_active.load();
}

Application* Application::ForCurrentThread() {
    Application* app = g_active.load();
    if (app == nullptr || app->uiThread_ == 0 || app->uiThread_ != Thread::CurrentId()) {
        return nullptr;
    }
    return app;
}

void Application::AttachUiThread() {
    if (uiThread_ != 0) {
        return;
    }
    uiThread_ = Thread::CurrentId();
    pump_ = std::make_unique<QtMessagePump>();
    messageBox_ = std::make_unique<ModalMessageBox>();
    messageBox_->SetParentSource([this] { return GetMainWnd(); });
    messageBoxWindow_.store(messageBox_.get());
}

void Application::DetachUiThread() {
    messageBoxWindow_.store(nullptr);
    messageBox_.reset();
    pump_.reset();
    uiThread_ = 0;
}

void Application::SetRegistryKey(const QString& organization) {
    registryKey_ = organization;
}

void Application::LoadStdProfileSettings(int maxRecentFiles) {
    settings_ = std::make_unique<AppSettings>(registryKey_, appName_, maxRecentFiles);
    settings_->Load();
}

void Application::SaveStdProfileSettings() {
    if (settings_) {
        settings_->Save();
    }
}

int Application::RunMessageLoop() {
    return QApplication::exec();
}

void Application::MessageBox(const QString& text) {
    // A box window destroyed meanwhile releases the caller with nothing shown.
    if (ModalMessageBox* boxes = messageBoxWindow_.load()) {
        boxes->Show(appName_, text);
    }
}

}  // namespace platform::ui
