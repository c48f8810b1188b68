#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Thread.h"

class CKestrupDoc;
class UsbTransferChannel;

namespace platform {
class Event;
class MessageWindow;
}  // namespace platform

namespace kestrup {

// Waits and limits of device detection.
inline constexpr std::uint32_t kDetectionWaitMs = 5000;
inline constexpr int kDetectionGiveUpAbove = 10;  // passes counted before the last one
inline constexpr int kMaxInterfaceIndex = 126;

// How a hand-off ended.
enum class HandOffResult {
    Posted,                // the package is staged whole and the worker told to start
    NoPackage,             // no package path for the row
    PackageDamaged,        // the package did not unpack whole; staging cleared again
    NoSpace,               // not enough free space to unpack the package; staging cleared again
    TwoApplicationImages,  // the package holds more than one application image
    TwoBootImages,         // the package holds more than one boot image
    StagingUnusable,       // the staging directory could not be emptied (or is a link)
    NoWorker,              // no worker to post to
    PackageRefused,        // refused by its signature (the document's LastCheck says why)
};

// What the detection thread hands over to once the instrument is connected:
// the view's BeginTransfer.
class UpgradeHandOff {
  public:
    virtual ~UpgradeHandOff() = default;
    // Detection thread. row is the package row chosen when the upgrade was
    // asked for, whatever the list's selection has become since.
    virtual HandOffResult BeginTransfer(int row) = 0;
};

// How a detection thread ended.
enum class DetectionEnd {
    Stopped,               // the stop event came (also after connecting, before the hand-off)
    GaveUp,                // twelve passes found nothing
    HandedOver,            // the hand-off posted the start message
    NotHandedOver,         // connected, but the hand-off could not post
    PackageDamaged,        // connected, but the package did not unpack whole: nothing sent
    NoSpace,               // connected, but not enough free space to unpack: nothing sent
    TwoApplicationImages,  // connected, but the package holds two application images
    TwoBootImages,         // connected, but the package holds two boot images
    StagingUnusable,       // connected, but the staging directory could not be emptied
    PackageRefused,        // connected, but the package's signature refused it: nothing sent
};

// Everything a detection thread works with. The events and the channel
// belong to the application object; the main window receives the
// notifications; the view takes the hand-off.
struct DetectionContext {
    UsbTransferChannel* channel = nullptr;
    platform::Event* stopEvent = nullptr;
    platform::Event* doneEvent = nullptr;
    platform::MessageWindow* mainWindow = nullptr;
    UpgradeHandOff* view = nullptr;
    // Called on the detection thread as its very last step (may be empty).
    std::function<void(DetectionEnd)> ended;
    // The package row the upgrade was asked for; StartDetection sets it.
    int row = -1;
};

// True while a detection thread started by StartDetection is running. Any
// thread.
bool DetectionActive();

// True while an upgrade must not be started again nor the package table be
// rebuilt: a detection is running, or a run has been handed to the worker
// and has not ended. Any thread.
bool UpgradeBusy();

// True from the moment a detection thread has connected the instrument until
// its hand-off has returned: an upgrade is under way although no run is
// pending yet. Any thread.
bool HandOffActive();

// One detection pass: builds a fresh device list of the driver's interface
// class, and probes interfaces 0 to 126 until one opens and answers a
// device-descriptor request. Leaves the channel's device closed and the new
// list stored in the channel. Detection thread.
bool DetectDevice(UsbTransferChannel& channel);

// The detection thread: every 5000 ms (unless the stop event comes first) a
// detection pass; after twelve failed passes (1031, -16, 15) and the end;
// once a device answers, opens interface 0, configures, binds the pipes, sets
// the done event and g_bConnected, sends (1030, 0, 0) and hands over. The
// stop event is looked at again before the found instrument is opened and
// before the hand-off, so a close never leads to an upgrade.
DetectionEnd DetectThreadProc(const DetectionContext& context);

// The view's start of an upgrade: forms g_szPackagePath from the chosen row,
// starts a detection thread and reports (1031, -16, 14). When the thread
// cannot be started, shows "Test Usb Thread not started!\r\n" and returns
// null. UI thread.
std::unique_ptr<platform::Thread> StartDetection(const CKestrupDoc& document, int row,
                                                 const DetectionContext& context);

// The hand-off after connection: forms g_szPackagePath again from the row
// chosen at the command, empties the staging directory, copies the package
// into the private temporary directory and checks the copy's signature,
// unpacks that copy into the staging directory and posts the start message
// to the upgrade worker. A package that its signature refuses is never
// unpacked (nothing is posted); a package that does not unpack whole, or that
// holds more than one application image or more than one boot image (a run
// would send only one of them), is never sent: the staging directory is
// cleared again and nothing is posted; for two images, `images` (when given)
// receives their names. Detection thread. Shows nothing: the view tells the
// operator what a result other than Posted means.
HandOffResult HandOffToWorker(CKestrupDoc& document, int row,
                              std::vector<std::string>* images = nullptr);

// The message-box text for a hand-off that could not post its start message.
const char* HandOffFailureText();

}  // namespace kestrup
