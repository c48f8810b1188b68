#pragma once

#include <csignal>
#include <functional>
#include <memory>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a call on the thread that made the
// watch (the UI thread), from its Qt event loop: the handler itself only
// writes the signal's number into a pipe (async-signal-safe), and a socket
// notifier on the pipe's other end wakes the event loop. The first signal is
// told once; later ones are taken and dropped. While the watch lives it owns
// the three signals; the handlers before it come back when it goes. One watch
// at a time.
class SignalWatch {
  public:
    explicit SignalWatch(std::function<void(int signal)> onSignal);
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // False when the pipe or the handlers could not be set up (the signals
    // then keep their earlier handling).
    bool Active() const { return active_; }
    // The first signal received, 0 before any.
    int Received() const { return received_; }

    static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

  private:
    void Drain();

    std::function<void(int)> onSignal_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction previous_[3] = {};
    bool active_ = false;
    int received_ = 0;
};
