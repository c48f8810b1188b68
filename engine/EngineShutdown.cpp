#include "engine/EngineShutdown.h"

#include "engine/DeviceDetection.h"
#include "engine/UpgradeWorker.h"
#include "platform/Event.h"
#include "platform/ThreadMessageQueue.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "usb/UsbTransferChannel.h"

namespace kestrup {

namespace {

void StopDetection(EngineThreads& threads, const EngineResources& resources) {
    if (!threads.detection) {
        return;
    }
    if (!threads.detection->Finished() && resources.stopEvent != nullptr) {
        resources.stopEvent->Set();
    }
    platform::WindowMessages::JoinDispatching(*threads.detection);
    threads.detection.reset();
}

}  // namespace

bool UpgradeUnderWay() {
    return g_bUpgradeRunPending.load() || HandOffActive();
}

void CloseEngine(EngineThreads& threads, const EngineResources& resources) {
    const bool underWay = UpgradeUnderWay();
    RequestRunStop();
    if (underWay && resources.channel != nullptr) {
        resources.channel->CancelTransfers();
    }
    StopDetection(threads, resources);
    if (g_bConnected.load() != 0) {
        if (resources.channel != nullptr) {
            resources.channel->Close();
        }
    } else if (resources.stopEvent != nullptr && resources.doneEvent != nullptr) {
        resources.stopEvent->Set();
        resources.doneEvent->Wait(platform::kInfinite, "detection done");
    }
    platform::TimeFacility::Sleep(kPauseBeforeClosingMs, "before closing");
    StopEngine(threads, resources);
}

void StopEngine(EngineThreads& threads, const EngineResources& resources) {
    RequestRunStop();
    StopDetection(threads, resources);
    SetRunEndedCallback(nullptr);
    if (!threads.worker) {
        return;
    }
    // Detection has ended, so the pipes are no longer being made or bound.
    if (g_bUpgradeRunPending.load() && resources.channel != nullptr) {
        resources.channel->CancelTransfers();
    }
    platform::ThreadMessageQueue::Post(threads.worker->Id(), platform::WM_QUIT, 0, 0);
    platform::WindowMessages::JoinDispatching(*threads.worker);
    if (g_pUpgradeThread.load() == threads.worker.get()) {
        g_pUpgradeThread.store(nullptr);
    }
    threads.worker.reset();
}

}  // namespace kestrup
