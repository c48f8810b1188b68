#pragma once

#include <libusb.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/usbio/UsbioBackend.h"
#include "platform/usbio/libusb/CallbackGate.h"
#include "platform/usbio/libusb/LibusbContext.h"
#include "platform/usbio/libusb/LibusbDevice.h"
#include "platform/usbio/libusb/UsbIdList.h"

namespace platform::usbio {

// The back end of the driver stand-in for real instruments: the USB devices
// whose vendor:product pair is on the id list, reached through libusb. Every
// other device on the system stays invisible and is never opened.
//
// Where libusb offers hotplug, devices are followed through its callbacks
// (on the context's event thread) and AttachedDevices returns the current
// set; elsewhere every AttachedDevices call enumerates the bus afresh. A
// device that goes away is unplugged: whatever was pending on it ends with
// USBIO_ERR_DEVICE_GONE. Any thread.
//
// The event thread completes every transfer, so a hotplug callback only
// records: an arrival or departure is noted (a departure also marks the
// device's session gone, so that its handles are dead at once) and the
// worker is woken. The worker, or a caller's AttachedDevices if it comes
// first, takes the notes: it makes the device for an arrival and, for a
// departure, ends what is pending on the device (libusb calls, request
// completions, capture records) and lets go of it.
//
// The program installs it when it does not run the simulated instrument:
//
//   std::string error;
//   auto backend = platform::usbio::LibusbBackend::Install(extraIds, error);
//   if (!backend) { /* error says why */ }
class LibusbBackend : public UsbioBackend, public std::enable_shared_from_this<LibusbBackend> {
  public:
    // Reads the ids files (UsbIdList::DefaultFiles), adds extraIds (each
    // "VID:PID", as given with --usb-id), starts libusb and installs the back
    // end with the driver. Null, with a text in error, when an extra id is not
    // a pair or libusb cannot start. Problems in the ids files, and an empty
    // list, do not stop it; they are appended to warnings when given.
    static std::shared_ptr<LibusbBackend> Install(const std::vector<std::string>& extraIds,
                                                  std::string& error,
                                                  std::vector<std::string>* warnings = nullptr);

    // Starts libusb for the devices on ids. Null, with a text in error, when
    // libusb cannot start. Not installed with the driver yet. Without
    // useHotplug every device-list request enumerates afresh, as where libusb
    // has no hotplug.
    static std::shared_ptr<LibusbBackend> Create(UsbIdList ids, std::string& error,
                                                 bool useHotplug = true);
    ~LibusbBackend() override;
    LibusbBackend(const LibusbBackend&) = delete;
    LibusbBackend& operator=(const LibusbBackend&) = delete;

    std::vector<std::shared_ptr<UsbioDevice>> AttachedDevices() override;

    const UsbIdList& Ids() const { return ids_; }
    bool FollowsHotplug() const { return hotplug_; }
    // For tests: the context, whose worker takes the hotplug notes.
    LibusbContext& Context() { return *context_; }

  private:
    // Hotplug callbacks reach the back end through it; the context keeps it
    // until its event thread stops.
    using HotplugGate = CallbackGate<LibusbBackend>;

    struct Note {
        libusb_device* device;  // a reference of its own
        bool arrived;
    };

    LibusbBackend(std::shared_ptr<LibusbContext> context, UsbIdList ids);
    bool Listed(libusb_device* device) const;
    // The event thread: a note and a wake-up.
    void Record(libusb_device* device, bool arrived);
    // Takes the notes; not on the event thread.
    void TakeNotes();
    void Enumerate();  // mutex_ held
    static int LIBUSB_CALL OnHotplug(libusb_context* context, libusb_device* device,
                                     libusb_hotplug_event event, void* gate);

    const std::shared_ptr<LibusbContext> context_;
    const UsbIdList ids_;
    bool hotplug_ = false;
    int hotplugHandle_ = 0;
    std::shared_ptr<HotplugGate> gate_;

    // Held only for short looks at the list, also on the event thread.
    std::mutex mutex_;
    std::vector<std::shared_ptr<LibusbDevice>> devices_;
    std::uint64_t nextSession_ = 1;

    std::mutex notesMutex_;
    std::vector<Note> notes_;
    // One taker at a time, so that notes keep their order.
    std::mutex takingMutex_;
};

}  // namespace platform::usbio
