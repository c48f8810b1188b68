#include "engine/UpgradeWorker.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine/AppChannel.h"
#include "engine/FileTransfer.h"
#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "engine/Protocol.h"
#include "package/PackageGlobals.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/PathFormat.h"
#include "platform/ThreadMessageQueue.h"
#include "platform/WindowMessages.h"
#include "usb/CUsbPipe.h"
#include "usb/UsbTransferChannel.h"

namespace kestrup {

std::atomic<int> g_bConnected{0};
std::atomic<platform::Thread*> g_pUpgradeThread{nullptr};
std::atomic<bool> g_bUpgradeRunPending{false};

namespace {

std::atomic<bool> g_bRunStopRequested{false};
std::atomic<bool> g_bRunBegun{false};
// Orders a run's beginning against the close's StopRunUnlessBegun.
std::mutex g_beginMutex;

// Marks the run begun unless a stop was asked for first.
bool BeginRunUnlessStopped() {
    std::lock_guard lock(g_beginMutex);
    if (g_bRunStopRequested.load()) {
        return false;
    }
    g_bRunBegun.store(true);
    return true;
}

// The stop request and the worker's steps, in one order.
std::mutex g_stepsMutex;
RunSteps g_steps;
std::optional<RunSteps> g_stepsAtStop;

std::mutex g_runEndedMutex;
std::function<void()> g_runEnded;

constexpr std::uint32_t kTimeoutStatus = 0xE000100C;

// False when the stop came first and nothing was sent.
bool SendRequest(std::uint8_t* request, std::uint32_t timeoutMs) {
    UsbTransferChannel* channel = AppChannel::Get();
    std::uint32_t length = 1;
    if (channel == nullptr || channel->OutPipe() == nullptr) {
        return true;
    }
    if (!BeginFrame()) {
        return false;
    }
    channel->Send(request, length, timeoutMs);
    return true;
}

std::uint32_t ReadReply(std::uint8_t* reply, std::uint32_t timeoutMs) {
    UsbTransferChannel* channel = AppChannel::Get();
    std::uint32_t length = 1;
    if (channel == nullptr || channel->InPipe() == nullptr) {
        return 0xE0001102;
    }
    const std::uint32_t status = channel->InPipe()->ReadSync(reply, length, timeoutMs);
    AnswerRead();
    return status;
}

// The extension is the text after the last "."; a name without "." has none.
bool HasExtension(const std::string& name, const char* extension) {
    const auto dot = name.rfind('.');
    return dot != std::string::npos && name.compare(dot + 1, std::string::npos, extension) == 0;
}

}  // namespace

void RequestRunStop() {
    std::lock_guard lock(g_stepsMutex);
    if (!g_stepsAtStop) {
        g_stepsAtStop = g_steps;
    }
    g_bRunStopRequested.store(true);
}

bool BeginFrame() {
    std::lock_guard lock(g_stepsMutex);
    if (g_bRunStopRequested.load()) {
        return false;
    }
    ++g_steps.framesBegun;
    return true;
}

bool ContinueFrame() {
    std::lock_guard lock(g_stepsMutex);
    return !g_bRunStopRequested.load();
}

void AnswerRead() {
    std::lock_guard lock(g_stepsMutex);
    ++g_steps.answersRead;
}

RunSteps StepsSoFar() {
    std::lock_guard lock(g_stepsMutex);
    return g_steps;
}

std::optional<RunSteps> StepsAtStop() {
    std::lock_guard lock(g_stepsMutex);
    return g_stepsAtStop;
}

bool RunStopRequested() {
    return g_bRunStopRequested.load();
}

bool RunBegun() {
    return g_bRunBegun.load();
}

bool StopRunUnlessBegun() {
    std::lock_guard lock(g_beginMutex);
    if (g_bRunBegun.load()) {
        return false;
    }
    RequestRunStop();
    return true;
}

void UpgradeRun(platform::MessageWindow* frame) {
    if (!BeginRunUnlessStopped()) {
        return;
    }
    ForgetFailedFiles();
    bool bootPending = false;
    bool applicationPending = false;
    char filePath[kPathBufferSize];
    char bootPath[kPathBufferSize] = {};
    char applicationPath[kPathBufferSize] = {};

    std::uint8_t request = OP_START_UPGRADE;
    if (!SendRequest(&request, kStartWriteTimeoutMs)) {
        return;
    }
    const std::uint32_t status = ReadReply(&request, kStartReadTimeoutMs);
    if (RunStopRequested()) {
        return;
    }
    if (status == kTimeoutStatus || request != OP_ACK) {
        platform::WindowMessages::Send(frame, WM_UPGRADE_PROGRESS, ProgressWParam(PROGRESS_STATUS),
                                       STATUS_DETECT_FAILED);
        return;
    }

    std::vector<platform::FileSystem::Entry> entries;
    if (g_szStagingDir[0] == '\0' || !platform::FileSystem::List(g_szStagingDir, entries)) {
        return;
    }
    for (const auto& entry : entries) {
        if (RunStopRequested()) {
            return;
        }
        const std::string& name = entry.name;
        // Only regular files are sent: a folder, a link, a FIFO or a device
        // in the staging directory is never opened.
        if (name.empty() || name[0] == '.' || entry.kind != platform::FileSystem::Kind::File) {
            continue;
        }
        const bool application = HasExtension(name, "bin");
        const bool boot = !application && HasExtension(name, "boot");
        if (!application && !boot && name == "package.inf") {
            continue;
        }
        char* target = application ? applicationPath : boot ? bootPath : filePath;
        if (!platform::PathFormat::Into(target, kPathBufferSize, "%s%s", g_szStagingDir,
                                        name.c_str())) {
            // Never send a file under a shortened path; say it was left out.
            RecordFailedFile();
            ShowMessageBox(name + ": path too long; file not sent\n");
            if (application) {
                applicationPending = false;
            } else if (boot) {
                bootPending = false;
            }
            continue;
        }
        if (application) {
            applicationPending = true;
        } else if (boot) {
            bootPending = true;
        } else {
            SendFile(filePath, frame, true);
        }
    }
    if (bootPending && !RunStopRequested()) {
        SendFile(bootPath, frame, false);
    }
    if (applicationPending && !RunStopRequested()) {
        SendFile(applicationPath, frame, false);
    }
    if (RunStopRequested()) {
        return;
    }
    request = OP_END_UPGRADE;
    SendRequest(&request, kEndWriteTimeoutMs);
}

void StagedImages(const char* stagingDir, std::vector<std::string>& applications,
                  std::vector<std::string>& boots) {
    applications.clear();
    boots.clear();
    std::vector<platform::FileSystem::Entry> entries;
    if (stagingDir == nullptr || stagingDir[0] == '\0' ||
        !platform::FileSystem::List(stagingDir, entries)) {
        return;
    }
    for (const auto& entry : entries) {
        if (entry.name.empty() || entry.name[0] == '.' ||
            entry.kind != platform::FileSystem::Kind::File) {
            continue;
        }
        if (HasExtension(entry.name, "bin")) {
            applications.push_back(entry.name);
        } else if (HasExtension(entry.name, "boot")) {
            boots.push_back(entry.name);
        }
    }
}

void SetRunEndedCallback(std::function<void()> callback) {
    std::lock_guard lock(g_runEndedMutex);
    g_runEnded = std::move(callback);
}

void UpgradeThreadProc(platform::MessageWindow* frame) {
    platform::ThreadMessageQueue::CreateForCurrentThread();
    platform::ThreadMessage message;
    while (platform::ThreadMessageQueue::Get(message)) {
        if (message.wParam != START_MESSAGE_WPARAM) {
            continue;
        }
        if (g_bConnected.load() != 0) {
            UpgradeRun(frame);
        }
        g_bRunBegun.store(false);
        g_bUpgradeRunPending.store(false);
        ReportRunEnded();
    }
}

void ReportRunEnded() {
    std::function<void()> callback;
    {
        std::lock_guard lock(g_runEndedMutex);
        callback = g_runEnded;
    }
    if (callback) {
        callback();
    }
}

std::unique_ptr<platform::Thread> StartUpgradeWorker(platform::MessageWindow* frame) {
    {
        std::lock_guard lock(g_stepsMutex);
        g_steps = RunSteps{};
        g_stepsAtStop.reset();
        g_bRunStopRequested.store(false);
    }
    auto ready = std::make_shared<platform::Event>(true, false);
    auto thread = platform::Thread::Start([frame, ready] {
        platform::ThreadMessageQueue::CreateForCurrentThread();
        ready->Set();
        UpgradeThreadProc(frame);
    });
    if (thread) {
        ready->Wait(platform::kInfinite, "worker queue");
    }
    return thread;
}

}  // namespace kestrup
