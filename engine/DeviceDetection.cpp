#include "engine/DeviceDetection.h"

#include <atomic>

#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/CKestrupDoc.h"
#include "package/PackageGlobals.h"
#include "platform/Event.h"
#include "platform/ThreadMessageQueue.h"
#include "platform/WindowMessages.h"
#include "usb/UsbTransferChannel.h"

namespace kestrup {

namespace {
std::atomic<int> g_nDetectionThreads{0};
std::atomic<bool> g_bHandOffActive{false};

// How a detection thread that connected ends, by its hand-off's result.
DetectionEnd EndOf(HandOffResult handOff) {
    switch (handOff) {
        case HandOffResult::Posted:
            return DetectionEnd::HandedOver;
        case HandOffResult::PackageDamaged:
            return DetectionEnd::PackageDamaged;
        case HandOffResult::NoSpace:
            return DetectionEnd::NoSpace;
        case HandOffResult::TwoApplicationImages:
            return DetectionEnd::TwoApplicationImages;
        case HandOffResult::TwoBootImages:
            return DetectionEnd::TwoBootImages;
        case HandOffResult::StagingUnusable:
            return DetectionEnd::StagingUnusable;
        case HandOffResult::PackageRefused:
            return DetectionEnd::PackageRefused;
        case HandOffResult::NoPackage:
        case HandOffResult::NoWorker:
            break;
    }
    return DetectionEnd::NotHandedOver;
}

bool StopRequested(const DetectionContext& context, const char* what) {
    return context.stopEvent->Wait(0, what) == platform::WaitResult::Signaled;
}
}  // namespace

bool HandOffActive() {
    return g_bHandOffActive.load();
}

const char* HandOffFailureText() {
    return "The upgrade could not be handed to the upgrade worker; nothing was sent to the "
           "instrument.\n";
}

bool DetectionActive() {
    return g_nDetectionThreads.load() > 0;
}

bool UpgradeBusy() {
    return DetectionActive() || g_bUpgradeRunPending.load();
}

bool DetectDevice(UsbTransferChannel& channel) {
    CUsbDevice::DestroyDeviceList(channel.DeviceList());
    channel.SetDeviceList(CUsbDevice::CreateDeviceList(&kUsbioInterfaceGuid));
    const CUsbDevice::DeviceList list = channel.DeviceList();
    if (list == 0) {
        return false;
    }
    CUsbDevice& device = channel.Device();
    int counted = 0;
    bool found = false;
    for (int index = 0; index <= kMaxInterfaceIndex; ++index) {
        if (device.FetchDevicePath(index, list, &kUsbioInterfaceGuid) != 0) {
            break;
        }
        ++counted;
        if (device.Open(index, list, &kUsbioInterfaceGuid) == 0) {
            std::uint8_t descriptor[18];
            if (device.GetDeviceDescriptor(descriptor) == 0) {
                found = true;
            }
        }
    }
    if (counted > 0 && device.IsOpen()) {
        device.Close();
    }
    return found;
}

DetectionEnd DetectThreadProc(const DetectionContext& context) {
    UsbTransferChannel& channel = *context.channel;
    channel.CreatePipes();
    int failures = 0;
    while (true) {
        if (context.stopEvent->Wait(kDetectionWaitMs, "detection pass") ==
            platform::WaitResult::Signaled) {
            context.doneEvent->Set();
            return DetectionEnd::Stopped;
        }
        if (!DetectDevice(channel)) {
            if (failures > kDetectionGiveUpAbove) {
                platform::WindowMessages::Send(context.mainWindow, WM_UPGRADE_PROGRESS,
                                               ProgressWParam(PROGRESS_STATUS),
                                               STATUS_DETECT_FAILED);
                return DetectionEnd::GaveUp;
            }
            ++failures;
            continue;
        }
        // A close during the pass: the instrument is not even opened.
        if (StopRequested(context, "stop before opening")) {
            context.doneEvent->Set();
            return DetectionEnd::Stopped;
        }
        if (channel.Device().Open(0, channel.DeviceList(), &kUsbioInterfaceGuid) != 0) {
            continue;
        }
        channel.Configure();
        channel.BindPipes();
        g_bHandOffActive.store(true);
        context.doneEvent->Set();
        g_bConnected.store(1);
        platform::WindowMessages::Send(context.mainWindow, WM_SET_MODE_USB, 0, 0);
        DetectionEnd end = DetectionEnd::Stopped;
        if (!StopRequested(context, "stop before hand-off")) {
            const HandOffResult handOff = context.view != nullptr
                                              ? context.view->BeginTransfer(context.row)
                                              : HandOffResult::NoWorker;
            end = EndOf(handOff);
        }
        g_bHandOffActive.store(false);
        return end;
    }
}

std::unique_ptr<platform::Thread> StartDetection(const CKestrupDoc& document, int row,
                                                 const DetectionContext& context) {
    document.FormPackagePath(row);
    g_nDetectionThreads.fetch_add(1);
    DetectionContext chosen = context;
    chosen.row = row;
    auto thread = platform::Thread::Start([context = std::move(chosen)] {
        const DetectionEnd end = DetectThreadProc(context);
        g_nDetectionThreads.fetch_sub(1);
        if (context.ended) {
            context.ended(end);
        }
    });
    if (!thread) {
        g_nDetectionThreads.fetch_sub(1);
        ShowMessageBox("Test Usb Thread not started!\r\n");
        return nullptr;
    }
    platform::WindowMessages::Send(context.mainWindow, WM_UPGRADE_PROGRESS,
                                   ProgressWParam(PROGRESS_STATUS), STATUS_DETECTING);
    return thread;
}

HandOffResult HandOffToWorker(CKestrupDoc& document, int row, std::vector<std::string>* images) {
    const bool formed = document.FormPackagePath(row);
    const bool cleared = document.ClearStagingDir();
    if (!formed) {
        return HandOffResult::NoPackage;
    }
    // Leftovers of an earlier package would be sent along with this one.
    if (!cleared) {
        return HandOffResult::StagingUnusable;
    }
    // Only the bytes that were checked are unpacked: a copy of the package,
    // out of reach of whoever may change the package directory meanwhile.
    char copy[kPathBufferSize];
    switch (document.CopyAndCheck(g_szPackagePath, copy, sizeof copy)) {
        case CKestrupDoc::CopyCheck::Accepted:
            break;
        case CKestrupDoc::CopyCheck::Refused:
            CKestrupDoc::DeleteCopy(copy);
            return HandOffResult::PackageRefused;
        case CKestrupDoc::CopyCheck::CopyFailed:
            return HandOffResult::PackageDamaged;
        case CKestrupDoc::CopyCheck::NoSpace:
            return HandOffResult::NoSpace;
    }
    // Half a package must never reach the instrument: a new boot image with
    // the old application would be the result.
    bool noSpace = false;
    const bool unpacked = document.UnpackPackage(copy, &noSpace);
    CKestrupDoc::DeleteCopy(copy);
    if (!unpacked) {
        document.ClearStagingDir();
        return noSpace ? HandOffResult::NoSpace : HandOffResult::PackageDamaged;
    }
    // A run sends one application image and one boot image: a second one
    // would silently never reach the instrument.
    std::vector<std::string> applications, boots;
    StagedImages(g_szStagingDir, applications, boots);
    if (applications.size() > 1 || boots.size() > 1) {
        if (images != nullptr) {
            *images = applications.size() > 1 ? applications : boots;
        }
        document.ClearStagingDir();
        return applications.size() > 1 ? HandOffResult::TwoApplicationImages
                                       : HandOffResult::TwoBootImages;
    }
    platform::Thread* worker = g_pUpgradeThread.load();
    g_bUpgradeRunPending.store(true);
    if (worker == nullptr ||
        !platform::ThreadMessageQueue::Post(worker->Id(), START_MESSAGE, START_MESSAGE_WPARAM, 0)) {
        g_bUpgradeRunPending.store(false);
        return HandOffResult::NoWorker;
    }
    return HandOffResult::Posted;
}

}  // namespace kestrup
