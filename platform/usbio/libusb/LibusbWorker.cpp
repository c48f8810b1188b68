#include "platform/usbio/libusb/LibusbWorker.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "platform/Event.h"
#include "platform/MessageTypes.h"
#include "platform/TimeFacility.h"

namespace platform::usbio {

// What the threads share; a worker that ends by itself keeps it alive.
struct LibusbWorker::Shared {
    using Clock = std::chrono::steady_clock;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    std::multimap<Clock::time_point, std::function<void()>> timers;
    bool stopping = false;
    std::atomic<ThreadId> workerId{0};

    void RunJobs() {
        workerId.store(Thread::CurrentId());
        std::unique_lock lock(mutex);
        while (true) {
            if (jobs.empty()) {
                if (stopping) {
                    return;
                }
                wake.wait(lock);
                continue;
            }
            auto job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            job();
            job = nullptr;  // what it held goes here, before the next one
            lock.lock();
        }
    }

    void RunTimers() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (timers.empty()) {
                wake.wait(lock);
                continue;
            }
            auto first = timers.begin();
            if (const auto when = first->first; when > Clock::now()) {
                wake.wait_until(lock, when);  // a copy: the timers may be dropped meanwhile
                continue;
            }
            auto job = std::move(first->second);
            timers.erase(first);
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
        }
    }
};

std::unique_ptr<LibusbWorker> LibusbWorker::Start() {
    std::unique_ptr<LibusbWorker> worker(new LibusbWorker);
    worker->shared_ = std::make_shared<Shared>();
    worker->worker_ = Thread::Start([shared = worker->shared_] { shared->RunJobs(); });
    worker->timer_ = Thread::Start([shared = worker->shared_] { shared->RunTimers(); });
    if (!worker->worker_ || !worker->timer_) {
        return nullptr;  // the destructor stops the one that started
    }
    return worker;
}

LibusbWorker::~LibusbWorker() {
    if (!shared_) {
        return;
    }
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        shared_->timers.clear();
    }
    shared_->wake.notify_all();
    if (timer_) {
        timer_->Join();
    }
    if (worker_) {
        if (OnWorker()) {
            std::lock_guard lock(shared_->mutex);
            shared_->jobs.clear();
            worker_->Detach();  // it returns from this job and ends
        } else {
            worker_->Join();
        }
    }
}

void LibusbWorker::Post(std::function<void()> job) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->jobs.push_back(std::move(job));
    }
    shared_->wake.notify_all();
}

void LibusbWorker::After(std::uint32_t delayMs, std::function<void()> job) {
    const auto when = Shared::Clock::now() + std::chrono::duration_cast<Shared::Clock::duration>(
                                                 TimeFacility::RealDuration(delayMs));
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->stopping) {
            return;
        }
        shared_->timers.emplace(when, std::move(job));
    }
    shared_->wake.notify_all();
}

bool LibusbWorker::OnWorker() const {
    return shared_->workerId.load() == Thread::CurrentId();
}

bool LibusbWorker::Flush(std::uint32_t timeoutMs) {
    auto done = std::make_shared<Event>(true, false);
    Post([done] { done->Set(); });
    return done->Wait(timeoutMs, "libusb worker flush") == WaitResult::Signaled;
}

}  // namespace platform::usbio
