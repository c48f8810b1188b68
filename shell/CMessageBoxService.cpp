#include "shell/CMessageBoxService.h"

#include "platform/ui/Application.h"

void CMessageBoxService::Show(const std::string& text) {
    if (platform::ui::Application* app = platform::ui::Application::Active()) {
        app->MessageBox(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    }
}
