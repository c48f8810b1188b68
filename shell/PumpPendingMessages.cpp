#include "shell/PumpPendingMessages.h"

#include "platform/ui/Application.h"

bool PumpPendingMessages() {
    platform::ui::Application* app = platform::ui::Application::ForCurrentThread();
    platform::ui::QtMessagePump* pump = app != nullptr ? app->Pump() : nullptr;
    if (pump == nullptr) {
        return true;
    }
    while (pump->HasPending()) {
        if (!pump->PumpMessage()) {
            pump->PostQuit(0);
            return false;
        }
    }
    return true;
}
