#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "platform/usbio/libusb/LibusbWorker.h"

struct libusb_context;

namespace platform::usbio {

// One libusb context, the thread that runs its event handling (transfer
// completions and hotplug callbacks arrive there) and the worker for what
// may block (LibusbWorker). Shared by the back end and its devices, so that
// it outlives every device still held by an open handle. The threads block
// while idle. Nothing the event thread runs waits for the worker; the worker
// may wait for the event thread.
class LibusbContext {
  public:
    // Null, with a text in error, when libusb cannot be initialised or a
    // thread cannot be started.
    static std::shared_ptr<LibusbContext> Create(std::string& error);
    ~LibusbContext();
    LibusbContext(const LibusbContext&) = delete;
    LibusbContext& operator=(const LibusbContext&) = delete;

    libusb_context* Get() const { return context_; }
    // True on the event thread (transfer and hotplug callbacks).
    bool OnEventThread() const;
    // Keeps object alive until the event thread has stopped: for what a
    // callback may still use after its owner has gone. Any thread.
    void KeepUntilStopped(std::shared_ptr<void> object);
    LibusbWorker& Worker() { return *worker_; }

  private:
    explicit LibusbContext(libusb_context* context) : context_(context) {}
    void Run();

    libusb_context* context_;
    std::atomic<bool> stopping_{false};
    std::atomic<ThreadId> eventThread_{0};
    std::unique_ptr<Thread> thread_;
    std::unique_ptr<LibusbWorker> worker_;
    std::mutex keptMutex_;
    std::vector<std::shared_ptr<void>> kept_;
};

}  // namespace platform::usbio
