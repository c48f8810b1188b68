#include "platform/ui/QtMessagePump.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>

#include "platform/WindowMessages.h"

namespace platform::ui {
namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

QtMessagePump::QtMessagePump() {
    WindowMessages::SetDispatcher(this);
}

QtMessagePump::~QtMessagePump() {
    WindowMessages::SetDispatcher(nullptr);
}

void QtMessagePump::Wake() {
    // One wake event in Qt's queue at a time is enough: it delivers
    // everything queued until it runs. The flag is cleared before delivery
    // starts, so a message queued meanwhile posts a fresh wake.
    if (!wakePosted_.exchange(true)) {
        QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
    }
}

void QtMessagePump::PostQuit(int exitCode) {
    exitCode_.store(exitCode);
    quitRequests_.fetch_add(1);
    wakePosted_.store(true);
    QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
}

bool QtMessagePump::HasPending() const {
    return WindowMessages::HasPending() || quitRequests_.load() > 0;
}

bool QtMessagePump::PumpMessage() {
    if (WindowMessages::DispatchOne()) {
        return true;
    }
    int requests = quitRequests_.load();
    while (requests > 0) {
        if (quitRequests_.compare_exchange_weak(requests, requests - 1)) {
            return false;
        }
    }
    return true;
}

bool QtMessagePump::event(QEvent* event) {
    if (event->type() != kWakeEvent) {
        return QObject::event(event);
    }
    wakePosted_.store(false);
    WindowMessages::DispatchPending();
    if (!PumpMessage()) {
        // Window messages first, the quit request last.
        QCoreApplication::exit(exitCode_.load());
    }
    return true;
}

}  // namespace platform::ui
