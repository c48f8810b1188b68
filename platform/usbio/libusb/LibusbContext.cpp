#include "platform/usbio/libusb/LibusbContext.h"

#include <libusb.h>

namespace platform::usbio {

std::shared_ptr<LibusbContext> LibusbContext::Create(std::string& error) {
    libusb_context* raw = nullptr;
    const int rc = libusb_init(&raw);
    if (rc != LIBUSB_SUCCESS) {
        error = std::string("libusb cannot start: ") + libusb_strerror(rc);
        return nullptr;
    }
    std::shared_ptr<LibusbContext> context(new LibusbContext(raw));
    context->thread_ = Thread::Start([c = context.get()] { c->Run(); });
    if (!context->thread_) {
        error = "libusb event thread cannot be started";
        return nullptr;  // the destructor releases the context
    }
    context->worker_ = LibusbWorker::Start();
    if (!context->worker_) {
        error = "libusb worker thread cannot be started";
        return nullptr;
    }
    return context;
}

LibusbContext::~LibusbContext() {
    // The worker's last jobs may still wait for the event thread.
    worker_.reset();
    if (thread_) {
        stopping_.store(true);
        libusb_interrupt_event_handler(context_);
        thread_->Join();
    }
    libusb_exit(context_);
    // Only now can no callback use what was kept.
    std::lock_guard lock(keptMutex_);
    kept_.clear();
}

void LibusbContext::KeepUntilStopped(std::shared_ptr<void> object) {
    std::lock_guard lock(keptMutex_);
    kept_.push_back(std::move(object));
}

bool LibusbContext::OnEventThread() const {
    return eventThread_.load() == Thread::CurrentId();
}

void LibusbContext::Run() {
    eventThread_.store(Thread::CurrentId());
    while (!stopping_.load()) {
        // Blocks until a transfer, a hotplug event or an interrupt needs
        // handling.
        libusb_handle_events_completed(context_, nullptr);
    }
}

}  // namespace platform::usbio
