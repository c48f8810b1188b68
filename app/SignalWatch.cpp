#include "app/SignalWatch.h"

#include <fcntl.h>
#include <unistd.h>

#include <QtCore/QSocketNotifier>
#include <atomic>
#include <cerrno>

namespace {

// The pipe's writing end for the handler; -1 while no watch lives.
std::atomic<int> g_wakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

void OnSignal(int signal) {
    const int saved = errno;
    const int fd = g_wakeFd.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

SignalWatch::SignalWatch(std::function<void(int signal)> onSignal)
    : onSignal_(std::move(onSignal)) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_[0] = pipe_[1] = -1;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { Drain(); });
    g_wakeFd.store(pipe_[1]);
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    active_ = true;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        if (::sigaction(kSignals[i], &action, &previous_[i]) != 0) {
            active_ = false;
        }
    }
}

SignalWatch::~SignalWatch() {
    if (pipe_[1] >= 0) {
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            ::sigaction(kSignals[i], &previous_[i], nullptr);
        }
    }
    g_wakeFd.store(-1);
    notifier_.reset();
    for (const int fd : pipe_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void SignalWatch::Drain() {
    unsigned char bytes[16];
    ssize_t n = 0;
    while ((n = ::read(pipe_[0], bytes, sizeof bytes)) > 0) {
        if (received_ == 0) {
            received_ = bytes[0];
            if (onSignal_) {
                onSignal_(received_);
            }
        }
    }
}
