#include "engine/MessageBoxService.h"

#include <atomic>

namespace kestrup {
namespace {
std::atomic<MessageBoxService*> g_service{nullptr};
}

MessageBoxService* MessageBoxService::Current() {
    return g_service.load();
}

void MessageBoxService::Install(MessageBoxService* service) {
    g_service.store(service);
}

void ShowMessageBox(const std::string& text) {
    if (MessageBoxService* service = g_service.load()) {
        service->Show(text);
    }
}

}  // namespace kestrup
