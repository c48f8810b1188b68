#include "platform/usbio/libusb/LibusbBackend.h"

#include <libusb.h>

#include <algorithm>

#include "platform/usbio/UsbioDriver.h"

namespace platform::usbio {

std::shared_ptr<LibusbBackend> LibusbBackend::Install(const std::vector<std::string>& extraIds,
                                                      std::string& error,
                                                      std::vector<std::string>* warnings) {
    UsbIdList ids;
    std::vector<std::string> problems;
    for (const std::string& file : UsbIdList::DefaultFiles()) {
        ids.AddFile(file, problems);
    }
    for (const std::string& id : extraIds) {
        if (!ids.Add(id)) {
            error = "not a USB vendor:product pair: " + id;
            return nullptr;
        }
    }
    if (ids.Empty()) {
        problems.push_back(
            "no USB vendor:product pair is listed (ids files or --usb-id): no instrument can "
            "be found");
    }
    if (warnings != nullptr) {
        warnings->insert(warnings->end(), problems.begin(), problems.end());
    }
    auto backend = Create(std::move(ids), error);
    if (backend) {
        UsbioDriver::InstallBackend(backend);
    }
    return backend;
}

std::shared_ptr<LibusbBackend> LibusbBackend::Create(UsbIdList ids, std::string& error,
                                                     bool useHotplug) {
    auto context = LibusbContext::Create(error);
    if (!context) {
        return nullptr;
    }
    std::shared_ptr<LibusbBackend> backend(new LibusbBackend(std::move(context), std::move(ids)));
    if (useHotplug && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
        backend->gate_ = std::make_shared<HotplugGate>(backend.get());
        backend->context_->KeepUntilStopped(backend->gate_);
        libusb_hotplug_callback_handle handle = 0;
        // The devices present now are reported at once, on this thread.
        const int rc = libusb_hotplug_register_callback(
            backend->context_->Get(),
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, &LibusbBackend::OnHotplug, backend->gate_.get(), &handle);
        if (rc == LIBUSB_SUCCESS) {
            backend->hotplug_ = true;
            backend->hotplugHandle_ = handle;
        }
    }
    return backend;
}

LibusbBackend::LibusbBackend(std::shared_ptr<LibusbContext> context, UsbIdList ids)
    : context_(std::move(context)), ids_(std::move(ids)) {}

LibusbBackend::~LibusbBackend() {
    if (gate_) {
        // Waits for a callback under way; none reaches this object later.
        gate_->Close();
        if (hotplug_) {
            libusb_hotplug_deregister_callback(context_->Get(), hotplugHandle_);
        }
    }
    std::vector<std::shared_ptr<LibusbDevice>> devices;
    {
        std::lock_guard lock(mutex_);
        devices.swap(devices_);
    }
    // The handle closes posted to the worker hold their devices, and so the
    // context: let them end first, so that the context and its threads end
    // with the last of these references, on this thread, before the program
    // goes on (or ends), and not later on the worker, which would then be
    // left running. A close kept longer than its bound by libusb leaves the
    // context to end on the worker, as before.
    if (!context_->Worker().OnWorker() && !context_->OnEventThread()) {
        context_->Worker().Flush(LibusbDevice::kRequestBoundMs);
    }
    std::lock_guard lock(notesMutex_);
    for (const Note& note : notes_) {
        libusb_unref_device(note.device);
    }
}

bool LibusbBackend::Listed(libusb_device* device) const {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
        return false;
    }
    return ids_.Contains(descriptor.idVendor, descriptor.idProduct);
}

int LIBUSB_CALL LibusbBackend::OnHotplug(libusb_context* /*context*/, libusb_device* device,
                                         libusb_hotplug_event event, void* gate) {
    static_cast<HotplugGate*>(gate)->Pass([&](LibusbBackend& backend) {
        backend.Record(device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    });
    return 0;  // stay registered
}

void LibusbBackend::Record(libusb_device* device, bool arrived) {
    if (!arrived) {
        std::lock_guard lock(mutex_);
        for (const auto& d : devices_) {
            if (d->Raw() == device) {
                d->MarkGone();
            }
        }
    }
    {
        std::lock_guard lock(notesMutex_);
        notes_.push_back(Note{libusb_ref_device(device), arrived});
    }
    // The worker reaches the back end only while it exists.
    context_->Worker().Post([backend = weak_from_this()] {
        if (auto b = backend.lock()) {
            b->TakeNotes();
        }
    });
}

void LibusbBackend::TakeNotes() {
    std::lock_guard taking(takingMutex_);
    std::vector<Note> notes;
    {
        std::lock_guard lock(notesMutex_);
        notes.swap(notes_);
    }
    for (const Note& note : notes) {
        if (note.arrived) {
            if (Listed(note.device)) {
                std::lock_guard lock(mutex_);
                if (std::none_of(devices_.begin(), devices_.end(),
                                 [&](const auto& d) { return d->Raw() == note.device; })) {
                    devices_.push_back(
                        std::make_shared<LibusbDevice>(context_, note.device, nextSession_++));
                }
            }
        } else {
            std::shared_ptr<LibusbDevice> gone;
            {
                std::lock_guard lock(mutex_);
                auto it = std::find_if(devices_.begin(), devices_.end(),
                                       [&](const auto& d) { return d->Raw() == note.device; });
                if (it != devices_.end()) {
                    gone = std::move(*it);
                    devices_.erase(it);
                }
            }
            if (gone) {
                gone->Unplug();
            }
        }
        libusb_unref_device(note.device);
    }
}

void LibusbBackend::Enumerate() {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_->Get(), &list);
    std::vector<libusb_device*> present;
    for (ssize_t i = 0; i < count; ++i) {
        if (Listed(list[i])) {
            present.push_back(list[i]);
        }
    }
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (std::find(present.begin(), present.end(), (*it)->Raw()) == present.end()) {
            (*it)->Unplug();
            it = devices_.erase(it);
        } else {
            ++it;
        }
    }
    for (libusb_device* device : present) {
        if (std::none_of(devices_.begin(), devices_.end(),
                         [&](const auto& d) { return d->Raw() == device; })) {
            devices_.push_back(std::make_shared<LibusbDevice>(context_, device, nextSession_++));
        }
    }
    if (list != nullptr) {
        libusb_free_device_list(list, 1);
    }
}

std::vector<std::shared_ptr<UsbioDevice>> LibusbBackend::AttachedDevices() {
    if (hotplug_) {
        TakeNotes();  // what the worker has not taken yet
    }
    std::vector<std::shared_ptr<UsbioDevice>> attached;
    std::lock_guard lock(mutex_);
    if (!hotplug_) {
        Enumerate();
    }
    for (const auto& device : devices_) {
        if (device->IsPlugged()) {
            attached.push_back(device);
        }
    }
    return attached;
}

}  // namespace platform::usbio
