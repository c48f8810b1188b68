#include "platform/usbio/libusb/LibusbDevice.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

#include "platform/Event.h"
#include "platform/LittleEndian.h"
#include "platform/MessageTypes.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/UsbioDriver.h"
#include "platform/usbio/UsbioRequest.h"
#include "platform/usbio/UsbioTypes.h"
#include "platform/usbio/libusb/InstrumentSurvey.h"
#include "platform/usbio/libusb/LibusbStatus.h"

namespace platform::usbio {
namespace {

constexpr std::uint32_t kNotConfigured = 0xE0001006;      // USB device is not configured
constexpr std::uint32_t kInterfaceNotFound = 0xE0001016;  // interface not found
constexpr std::uint32_t kInvalidPipeType = 0xE000100E;
constexpr std::uint32_t kInvalidRecipient = 0xE000100D;
// libusb's time-outs are real milliseconds; the program's go through the
// time facility.
unsigned RealMs(std::uint32_t programMs) {
    const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
        TimeFacility::RealDuration(programMs));
    return static_cast<unsigned>(std::max<std::int64_t>(1, real.count()));
}

using platform::le::Put16;
using platform::le::Put32;

std::uint16_t Le16(const std::vector<std::uint8_t>& v, std::size_t at) {
    return static_cast<std::uint16_t>(v[at] | (v[at + 1] << 8));
}

std::string Number3(unsigned n) {
    std::string s = std::to_string(n);
    return std::string(s.size() < 3 ? 3 - s.size() : 0, '0') + s;
}

std::vector<std::uint8_t> DeviceDescriptorBytes(const libusb_device_descriptor& d) {
    std::vector<std::uint8_t> out(18, 0);
    out[0] = d.bLength;
    out[1] = d.bDescriptorType;
    Put16(out, 2, d.bcdUSB);
    out[4] = d.bDeviceClass;
    out[5] = d.bDeviceSubClass;
    out[6] = d.bDeviceProtocol;
    out[7] = d.bMaxPacketSize0;
    Put16(out, 8, d.idVendor);
    Put16(out, 10, d.idProduct);
    Put16(out, 12, d.bcdDevice);
    out[14] = d.iManufacturer;
    out[15] = d.iProduct;
    out[16] = d.iSerialNumber;
    out[17] = d.bNumConfigurations;
    return out;
}

}  // namespace

// One submitted libusb transfer and the request it serves. The data lives in
// the flight's own buffer, never in the caller's memory; IN data reaches the
// caller only through UsbioRequest::Complete.
struct LibusbDevice::Flight {
    LibusbDevice* owner = nullptr;
    std::shared_ptr<UsbioRequest> request;
    libusb_device_handle* handle = nullptr;
    libusb_transfer* transfer = nullptr;
    std::vector<unsigned char> buffer;
    bool control = false;
    bool ending = false;  // flightMutex_: its callback runs
    Event done{true, false};

    Flight() = default;
    Flight(const Flight&) = delete;
    Flight& operator=(const Flight&) = delete;
    ~Flight() {
        if (transfer != nullptr) {
            libusb_free_transfer(transfer);
        }
    }
};

LibusbDevice::LibusbDevice(std::shared_ptr<LibusbContext> context, libusb_device* device,
                           std::uint64_t session)
    : context_(std::move(context)),
      device_(libusb_ref_device(device)),
      path_("/dev/bus/usb/" + Number3(libusb_get_bus_number(device)) + "/" +
            Number3(libusb_get_device_address(device))),
      address_(libusb_get_device_address(device)),
      bus_(libusb_get_bus_number(device)),
      port_(InstrumentSurvey::PortPath(device)),
      serial_(InstrumentSurvey::SysfsSerial(bus_, address_)),
      session_(session) {}

LibusbDevice::~LibusbDevice() {
    // The last handle's close has normally run on the worker already.
    libusb_device_handle* handle = nullptr;
    std::vector<Claimed> claimed;
    {
        std::lock_guard lock(stateMutex_);
        handle = std::exchange(handle_, nullptr);
        claimed.swap(claimed_);
    }
    if (handle != nullptr) {
        CloseHandle(handle, claimed);
    }
    libusb_unref_device(device_);
}

void LibusbDevice::Unplug() {
    MarkGone();
    std::vector<std::shared_ptr<Flight>> flights;
    std::vector<std::shared_ptr<UsbioRequest>> waiting;
    {
        std::lock_guard lock(flightMutex_);
        flights = flights_;
        waiting = waiting_;
    }
    for (const auto& request : waiting) {
        request->Complete(USBIO_ERR_DEVICE_GONE);
    }
    for (const auto& flight : flights) {
        flight->request->Complete(USBIO_ERR_DEVICE_GONE);
        libusb_cancel_transfer(flight->transfer);  // libusb finishes it in its own time
    }
}

std::size_t LibusbDevice::TransfersInFlight() {
    std::lock_guard lock(flightMutex_);
    return flights_.size();
}

void LibusbDevice::OnTransferDone(libusb_transfer* transfer) {
    auto* flight = static_cast<Flight*>(transfer->user_data);
    flight->owner->Finished(flight);
}

void LibusbDevice::Finished(Flight* raw) {
    std::shared_ptr<Flight> flight;
    libusb_transfer* t = raw->transfer;
    {
        // The halt is recorded as the flight ends, before any cancel or
        // next transfer can miss it: the flight stays listed until done.
        std::lock_guard lock(flightMutex_);
        auto it = std::find_if(flights_.begin(), flights_.end(),
                               [&](const auto& f) { return f.get() == raw; });
        if (it == flights_.end()) {
            return;  // cannot happen: a flight stays listed until it finishes
        }
        flight = *it;
        flight->ending = true;
        // A babbling device leaves the host's side of the endpoint reset
        // and the device's not: a clear puts both back in step.
        const bool halts =
            t->status == LIBUSB_TRANSFER_STALL || t->status == LIBUSB_TRANSFER_OVERFLOW;
        if (halts && !flight->control &&
            std::find(halted_.begin(), halted_.end(), t->endpoint) == halted_.end()) {
            halted_.push_back(t->endpoint);
        }
    }
    const std::uint32_t status = LibusbStatus::FromTransfer(t->status);
    const auto moved = static_cast<std::uint32_t>(std::max(t->actual_length, 0));
    if (flight->request->GetType() == UsbioRequest::Type::BulkOut) {
        flight->request->Complete(status, {}, moved);
    } else {
        // All that came; the driver hands on what was asked for.
        const unsigned char* data =
            flight->control ? libusb_control_transfer_get_data(t) : t->buffer;
        flight->request->Complete(status, std::span<const std::uint8_t>(data, moved));
    }
    {
        std::lock_guard lock(flightMutex_);
        std::erase(flights_, flight);
    }
    flight->done.Set();
}

void LibusbDevice::Submit(const std::shared_ptr<Flight>& flight) {
    flight->owner = this;
    flight->transfer->user_data = flight.get();
    flight->transfer->callback = &LibusbDevice::OnTransferDone;
    int rc = 0;
    {
        // Listed under the lock before the event thread can look for it, and
        // on the bus before its end can be recorded. One the worker held
        // leaves its list at the same moment, and a cancel that came first
        // keeps it from the bus.
        std::lock_guard lock(flightMutex_);
        std::erase(waiting_, flight->request);
        if (flight->request->IsCompleted()) {
            return;
        }
        rc = libusb_submit_transfer(flight->transfer);
        if (rc == LIBUSB_SUCCESS) {
            flights_.push_back(flight);
            const bool out = flight->request->GetType() == UsbioRequest::Type::BulkOut;
            const std::size_t setup = flight->control ? LIBUSB_CONTROL_SETUP_SIZE : 0;
            flight->request->OnBus(static_cast<std::uint32_t>(flight->buffer.size() - setup),
                                   out ? std::span<const std::uint8_t>(flight->buffer)
                                       : std::span<const std::uint8_t>());
        }
    }
    if (rc != LIBUSB_SUCCESS) {
        flight->request->Complete(LibusbStatus::FromError(rc));
    }
}

void LibusbDevice::Cancel(const std::shared_ptr<UsbioRequest>& request) {
    std::shared_ptr<Flight> flight;
    bool ending = false;
    {
        std::lock_guard lock(flightMutex_);
        if (std::find(waiting_.begin(), waiting_.end(), request) != waiting_.end()) {
            // The worker holds it: it ends now and never reaches libusb.
            request->Complete(ERROR_OPERATION_ABORTED);
            return;
        }
        auto it = std::find_if(flights_.begin(), flights_.end(),
                               [&](const auto& f) { return f->request == request; });
        if (it == flights_.end()) {
            return;  // finished already, or never reached libusb
        }
        flight = *it;
        ending = flight->ending;
    }
    if (!ending) {
        libusb_cancel_transfer(flight->transfer);
    }
    if (!context_->OnEventThread()) {
        // Normally at once: the transfer ends (cancelled, or done first) with
        // the bytes it moved. If libusb is slower, the driver ends the
        // request and what comes later is dropped.
        flight->done.Wait(kCancelWaitMs, "usb cancel");
    }
}

void LibusbDevice::OnWorker(const std::shared_ptr<UsbioRequest>& request,
                            std::function<std::uint32_t()> work) {
    {
        std::lock_guard lock(flightMutex_);
        waiting_.push_back(request);
    }
    // A thread waits for the request without limit, and the kernel may hold
    // the work for seconds.
    context_->Worker().After(kRequestBoundMs, [request] { request->Complete(USBIO_ERR_TIMEOUT); });
    context_->Worker().Post([self = shared_from_this(), request, work = std::move(work)] {
        const std::uint32_t status = request->IsCompleted() ? ERROR_OPERATION_ABORTED : work();
        {
            std::lock_guard lock(self->flightMutex_);
            std::erase(self->waiting_, request);
        }
        request->Complete(status);
    });
}

std::uint32_t LibusbDevice::ClearHalt(libusb_device_handle* handle, std::uint8_t endpoint) {
    const int rc = libusb_clear_halt(handle, endpoint);
    UsbioDriver::CaptureDeviceRequest(*this, {0x02, 0x01, 0, 0, endpoint, 0, 0, 0},
                                      LibusbStatus::FromError(rc));
    if (rc != LIBUSB_SUCCESS) {
        return LibusbStatus::FromError(rc);  // still halted: the next transfer tries again
    }
    std::lock_guard lock(flightMutex_);
    std::erase(halted_, endpoint);
    return 0;
}

void LibusbDevice::LastHandleClosed() {
    libusb_device_handle* handle = nullptr;
    std::vector<Claimed> claimed;
    DeviceNodeLock nodeLock;
    {
        std::lock_guard lock(stateMutex_);
        handle = std::exchange(handle_, nullptr);
        claimed.swap(claimed_);
        endpoints_.clear();
        configured_ = false;
        nodeLock = std::move(nodeLock_);
    }
    if (handle != nullptr) {
        // The node's lock goes with the handle: nobody else opens the
        // instrument before this handle is closed.
        auto held = std::make_shared<DeviceNodeLock>(std::move(nodeLock));
        auto closed = std::make_shared<Event>(true, false);
        {
            std::lock_guard lock(stateMutex_);
            closed_ = closed;
        }
        context_->Worker().Post([self = shared_from_this(), handle, claimed, held, closed] {
            self->CloseHandle(handle, claimed);
            held->Release();
            closed->Set();
        });
    }
}

void LibusbDevice::AwaitOwnClose() {
    std::shared_ptr<Event> closed;
    {
        std::lock_guard lock(stateMutex_);
        if (handle_ != nullptr) {
            return;
        }
        closed = closed_;
    }
    if (closed != nullptr && !context_->Worker().OnWorker()) {
        closed->Wait(kRequestBoundMs, "the close of the last handle");
    }
}

void LibusbDevice::CloseHandle(libusb_device_handle* handle, const std::vector<Claimed>& claimed) {
    // libusb must not close a handle under its transfers: each ends first
    // (the event thread ends a cancelled one promptly).
    std::vector<std::shared_ptr<Flight>> flights;
    {
        std::lock_guard lock(flightMutex_);
        for (const auto& flight : flights_) {
            if (flight->handle == handle) {
                flights.push_back(flight);
            }
        }
        halted_.clear();
    }
    for (const auto& flight : flights) {
        libusb_cancel_transfer(flight->transfer);
        flight->done.Wait(kInfinite, "usb transfer ends before its handle closes");
    }
    Release(handle, claimed);
    libusb_close(handle);
}

std::uint32_t LibusbDevice::EnsureOpen() {
    if (handle_ != nullptr) {
        return 0;
    }
    if (!IsPlugged()) {
        return USBIO_ERR_DEVICE_GONE;
    }
    // Nobody else sends to it meanwhile, whichever user runs them.
    int rc = LIBUSB_SUCCESS;
    switch (nodeLock_.Take(path_)) {
        case DeviceNodeLock::Result::Held:
            if (!busyReported_) {
                busyReported_ = true;
                std::fprintf(stderr,
                             "kestrup: the instrument at %s (%s) is in use by another copy of the "
                             "program (a station or another user's window); it is passed over\n",
                             port_.c_str(), path_.c_str());
            }
            return LibusbStatus::FromError(LIBUSB_ERROR_BUSY);
        case DeviceNodeLock::Result::Failed:
            rc = errno == EACCES || errno == EPERM    ? LIBUSB_ERROR_ACCESS
                 : errno == ENOENT || errno == ENODEV ? LIBUSB_ERROR_NO_DEVICE
                                                      : LIBUSB_ERROR_IO;
            break;
        case DeviceNodeLock::Result::Taken:
            rc = libusb_open(device_, &handle_);
            break;
    }
    if (rc == LIBUSB_SUCCESS) {
        return 0;
    }
    handle_ = nullptr;
    nodeLock_.Release();
    if (rc == LIBUSB_ERROR_ACCESS && !accessReported_) {
        accessReported_ = true;
        const auto instrument = InstrumentSurvey::Describe(device_);
        std::fprintf(stderr, "kestrup: no permission to open USB device %s (%04x:%04x): %s\n",
                     path_.c_str(), instrument.vendor, instrument.product,
                     InstrumentSurvey::AccessAdvice(instrument).c_str());
    }
    return LibusbStatus::FromError(rc);
}

void LibusbDevice::Release(libusb_device_handle* handle, const std::vector<Claimed>& claimed) {
    for (const Claimed& c : claimed) {
        libusb_release_interface(handle, c.number);
        if (c.reattach) {
            libusb_attach_kernel_driver(handle, c.number);
        }
    }
}

std::uint32_t LibusbDevice::Configure(const std::shared_ptr<UsbioRequest>& request) {
    const std::vector<std::uint8_t>& input = request->Input();
    libusb_device_handle* handle = nullptr;
    std::vector<Claimed> previous;
    {
        std::lock_guard lock(stateMutex_);
        if (const std::uint32_t status = EnsureOpen(); status != 0) {
            return status;
        }
        // The worker alone closes handles, so this one stays open meanwhile.
        handle = handle_;
        previous.swap(claimed_);
        endpoints_.clear();
        configured_ = false;
    }
    Release(handle, previous);
    {
        std::lock_guard lock(flightMutex_);
        halted_.clear();  // a configuration starts the endpoints afresh
    }
    const std::uint16_t index = Le16(input, 0);
    const std::uint16_t count = Le16(input, 2);  // the driver checked it against the record
    if (index > 0xFF) {
        return USBIO_ERR_INVALID_PARAMETER;
    }
    libusb_config_descriptor* config = nullptr;
    int rc = libusb_get_config_descriptor(device_, static_cast<std::uint8_t>(index), &config);
    if (rc != LIBUSB_SUCCESS) {
        return rc == LIBUSB_ERROR_NO_DEVICE ? USBIO_ERR_DEVICE_GONE : USBIO_ERR_INVALID_PARAMETER;
    }
    std::uint32_t status = 0;
    // Setting the active configuration again would reset the device's
    // state; libusb advises to skip it, and then nothing goes over the bus.
    int current = -1;
    rc = libusb_get_configuration(handle, &current);
    if (rc != LIBUSB_SUCCESS || current != config->bConfigurationValue) {
        request->OnBus(0);
        rc = libusb_set_configuration(handle, config->bConfigurationValue);
        if (rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_ACCESS || rc == LIBUSB_ERROR_BUSY ||
            rc == LIBUSB_ERROR_TIMEOUT) {
            status = LibusbStatus::FromError(rc);
        } else if (rc != LIBUSB_SUCCESS) {
            status = USBIO_ERR_SET_CONFIG_FAILED;
        }
    }
    std::vector<Claimed> claimed;
    std::vector<Endpoint> endpoints;
    // A request that a close or its deadline ended is not carried on.
    for (std::uint16_t i = 0; i < count && status == 0 && !request->IsCompleted(); ++i) {
        const std::uint16_t number = Le16(input, 4 + 8 * i);
        const std::uint16_t alternate = Le16(input, 4 + 8 * i + 2);
        const libusb_interface_descriptor* setting = nullptr;
        int alternates = 0;
        for (int k = 0; k < config->bNumInterfaces && setting == nullptr; ++k) {
            const libusb_interface& iface = config->interface[k];
            for (int a = 0; a < iface.num_altsetting; ++a) {
                if (iface.altsetting[a].bInterfaceNumber == number &&
                    iface.altsetting[a].bAlternateSetting == alternate) {
                    setting = &iface.altsetting[a];
                    alternates = iface.num_altsetting;
                    break;
                }
            }
        }
        if (setting == nullptr) {
            status = kInterfaceNotFound;
            break;
        }
        if (std::any_of(claimed.begin(), claimed.end(),
                        [&](const Claimed& c) { return c.number == number; })) {
            continue;  // listed twice: the first entry holds
        }
        // A kernel driver on the interface is detached while the program
        // holds it. Where the system cannot say, the claim decides.
        bool reattach = false;
        if (libusb_kernel_driver_active(handle, number) == 1) {
            reattach = libusb_detach_kernel_driver(handle, number) == LIBUSB_SUCCESS;
        }
        rc = libusb_claim_interface(handle, number);
        if (rc != LIBUSB_SUCCESS) {
            if (reattach) {
                libusb_attach_kernel_driver(handle, number);
            }
            status = LibusbStatus::FromError(rc);
            break;
        }
        claimed.push_back(Claimed{static_cast<std::uint8_t>(number), reattach});
        // Selected even when it is 0: the device then starts its endpoints
        // afresh (data toggles, halts) whatever the last program left. An
        // interface with no other setting is in that one already; some
        // devices refuse the request then, which does not stop the claim.
        rc = libusb_set_interface_alt_setting(handle, number, alternate);
        UsbioDriver::CaptureDeviceRequest(*this,
                                          {0x01, 0x0B, static_cast<std::uint8_t>(alternate), 0,
                                           static_cast<std::uint8_t>(number), 0, 0, 0},
                                          LibusbStatus::FromError(rc));
        if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_NO_DEVICE && rc != LIBUSB_ERROR_TIMEOUT &&
            alternates == 1) {
            rc = LIBUSB_SUCCESS;
        }
        if (rc != LIBUSB_SUCCESS) {
            status = LibusbStatus::FromError(rc);
            break;
        }
        for (int e = 0; e < setting->bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = setting->endpoint[e];
            endpoints.push_back(Endpoint{ep.bEndpointAddress,
                                         static_cast<std::uint8_t>(ep.bmAttributes & 3),
                                         static_cast<std::uint16_t>(ep.wMaxPacketSize & 0x7FF),
                                         static_cast<std::uint8_t>(number)});
        }
    }
    libusb_free_config_descriptor(config);
    if (status == 0 && request->IsCompleted()) {
        status = ERROR_OPERATION_ABORTED;
    }
    {
        // Published only onto the handle it was made on: a close since then
        // has taken that handle away.
        std::lock_guard lock(stateMutex_);
        if (status == 0 && handle_ == handle) {
            claimed_ = claimed;
            endpoints_ = std::move(endpoints);
            configured_ = true;
            return 0;
        }
    }
    Release(handle, claimed);
    return status != 0 ? status : ERROR_OPERATION_ABORTED;
}

std::vector<std::uint8_t> LibusbDevice::ConfigurationInfo() const {
    std::vector<std::uint8_t> reply(kConfigurationInfoSize, 0);
    if (!configured_) {
        return reply;
    }
    const std::size_t pipes = std::min<std::size_t>(endpoints_.size(), kMaxPipeInfos);
    Put32(reply, 0, static_cast<std::uint32_t>(claimed_.size()));
    Put32(reply, 4, static_cast<std::uint32_t>(pipes));
    for (std::size_t i = 0; i < pipes; ++i) {
        const std::size_t at = kPipeInfoOffset + i * kPipeInfoSize;
        Put32(reply, at, endpoints_[i].type);
        Put16(reply, at + 4, endpoints_[i].maxPacketSize);
        reply[at + 10] = endpoints_[i].address;
        reply[at + 11] = endpoints_[i].interfaceNumber;
    }
    return reply;
}

void LibusbDevice::RequestDescriptor(const std::shared_ptr<UsbioRequest>& request) {
    const std::vector<std::uint8_t>& in = request->Input();
    const std::uint32_t recipient =
        static_cast<std::uint32_t>(in[0] | (in[1] << 8) | (in[2] << 16)) |
        (static_cast<std::uint32_t>(in[3]) << 24);
    const std::uint8_t type = in[4];
    const std::uint8_t index = in[5];
    const std::uint16_t language = Le16(in, 6);
    if (recipient > 3) {
        request->Complete(kInvalidRecipient);
        return;
    }
    if (recipient == 0 && type == LIBUSB_DT_DEVICE && index == 0) {
        // libusb's copy: nothing goes over the bus.
        libusb_device_descriptor d{};
        const int rc = libusb_get_device_descriptor(device_, &d);
        request->Complete(LibusbStatus::FromError(rc), rc == LIBUSB_SUCCESS
                                                           ? DeviceDescriptorBytes(d)
                                                           : std::vector<std::uint8_t>());
        return;
    }
    libusb_device_handle* handle = nullptr;
    AwaitOwnClose();
    {
        std::lock_guard lock(stateMutex_);
        if (const std::uint32_t status = EnsureOpen(); status != 0) {
            request->Complete(status);
            return;
        }
        handle = handle_;
    }
    const auto length =
        static_cast<std::uint16_t>(std::min<std::uint32_t>(request->Length(), 0xFFFF));
    auto flight = std::make_shared<Flight>();
    flight->request = request;
    flight->handle = handle;
    flight->control = true;
    flight->buffer.assign(LIBUSB_CONTROL_SETUP_SIZE + length, 0);
    flight->transfer = libusb_alloc_transfer(0);
    if (flight->transfer == nullptr) {
        request->Complete(0xE0001003);
        return;
    }
    libusb_fill_control_setup(flight->buffer.data(),
                              static_cast<std::uint8_t>(LIBUSB_ENDPOINT_IN | recipient),
                              LIBUSB_REQUEST_GET_DESCRIPTOR,
                              static_cast<std::uint16_t>((type << 8) | index), language, length);
    // libusb ends a request that the device does not answer; a close
    // cancels it sooner.
    libusb_fill_control_transfer(flight->transfer, handle, flight->buffer.data(), nullptr, nullptr,
                                 RealMs(kRequestBoundMs));
    Submit(flight);
}

void LibusbDevice::Control(const std::shared_ptr<UsbioRequest>& request) {
    if (!IsPlugged()) {
        request->Complete(USBIO_ERR_DEVICE_GONE);
        return;
    }
    switch (request->ControlCode()) {
        case IOCTL_USBIO_GET_DRIVER_INFO: {
            std::uint32_t status = 0;
            AwaitOwnClose();
            {
                // Opening asks nothing of the device.
                std::lock_guard lock(stateMutex_);
                status = EnsureOpen();
            }
            std::vector<std::uint8_t> reply(kDriverInfoSize, 0);
            Put16(reply, 0, kUsbioApiVersion);
            Put16(reply, 2, 0x0100);  // the back end's own release
            request->Complete(status, status == 0 ? reply : std::vector<std::uint8_t>());
            return;
        }
        case IOCTL_USBIO_GET_DESCRIPTOR:
            RequestDescriptor(request);
            return;
        case IOCTL_USBIO_SET_CONFIGURATION:
            OnWorker(request, [this, request] { return Configure(request); });
            return;
        case IOCTL_USBIO_GET_CONFIGURATION_INFO: {
            std::vector<std::uint8_t> reply;
            {
                std::lock_guard lock(stateMutex_);
                reply = ConfigurationInfo();
            }
            request->Complete(0, reply);
            return;
        }
        case IOCTL_USBIO_BIND_PIPE: {
            bool found = false;
            {
                std::lock_guard lock(stateMutex_);
                found = std::any_of(endpoints_.begin(), endpoints_.end(), [&](const Endpoint& e) {
                    return e.address == request->Endpoint();
                });
            }
            request->Complete(found ? 0 : USBIO_ERR_PIPE_NOT_FOUND);
            return;
        }
        case IOCTL_USBIO_UNBIND_PIPE:
            request->Complete(0);
            return;
        default:
            request->Complete(USBIO_ERR_INVALID_IOCTL);
            return;
    }
}

void LibusbDevice::Transfer(const std::shared_ptr<UsbioRequest>& request) {
    if (!IsPlugged()) {
        request->Complete(USBIO_ERR_DEVICE_GONE);
        return;
    }
    Endpoint endpoint{};
    libusb_device_handle* handle = nullptr;
    {
        std::lock_guard lock(stateMutex_);
        if (handle_ == nullptr || !configured_) {
            request->Complete(kNotConfigured);
            return;
        }
        auto it = std::find_if(endpoints_.begin(), endpoints_.end(),
                               [&](const Endpoint& e) { return e.address == request->Endpoint(); });
        if (it == endpoints_.end()) {
            request->Complete(USBIO_ERR_PIPE_NOT_FOUND);
            return;
        }
        endpoint = *it;
        handle = handle_;
    }
    if (endpoint.type != LIBUSB_TRANSFER_TYPE_BULK &&
        endpoint.type != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
        request->Complete(kInvalidPipeType);
        return;
    }
    auto flight = std::make_shared<Flight>();
    flight->request = request;
    flight->handle = handle;
    if (request->GetType() == UsbioRequest::Type::BulkOut) {
        // The caller's bytes are only valid during this call.
        flight->buffer.assign(request->OutData().begin(), request->OutData().end());
    } else {
        // Whole packets: a device never sends a part of one.
        const std::size_t packet = endpoint.maxPacketSize > 0 ? endpoint.maxPacketSize : 1;
        flight->buffer.assign(
            std::max<std::size_t>(1, (request->Length() + packet - 1) / packet) * packet, 0);
    }
    flight->transfer = libusb_alloc_transfer(0);
    if (flight->transfer == nullptr) {
        request->Complete(0xE0001003);  // out of memory
        return;
    }
    // No time-out of libusb's own: the caller's timed wait cancels.
    const int length = static_cast<int>(flight->buffer.size());
    if (endpoint.type == LIBUSB_TRANSFER_TYPE_BULK) {
        libusb_fill_bulk_transfer(flight->transfer, handle, endpoint.address, flight->buffer.data(),
                                  length, nullptr, nullptr, 0);
    } else {
        libusb_fill_interrupt_transfer(flight->transfer, handle, endpoint.address,
                                       flight->buffer.data(), length, nullptr, nullptr, 0);
    }
    // A transfer on the endpoint that libusb has not finished yet (a cancel
    // stopped waiting for it) may still leave a halt: this one waits for it.
    bool halted = false;
    std::vector<std::shared_ptr<Flight>> before;
    {
        std::lock_guard lock(flightMutex_);
        halted = std::find(halted_.begin(), halted_.end(), endpoint.address) != halted_.end();
        for (const auto& f : flights_) {
            if (!f->control && f->transfer->endpoint == endpoint.address) {
                before.push_back(f);
            }
        }
        if (halted || !before.empty()) {
            waiting_.push_back(request);
        }
    }
    if (!halted && before.empty()) {
        Submit(flight);
        return;
    }
    // The clear is a request the kernel may hold: on the worker, which
    // closes the handle only after it. A request ended meanwhile is not sent.
    context_->Worker().Post(
        [self = shared_from_this(), flight, before, address = endpoint.address] {
            for (const auto& previous : before) {
                previous->done.Wait(kInfinite, "the endpoint's last transfer ends");
            }
            bool stillHalted = false;
            {
                std::lock_guard lock(self->flightMutex_);
                stillHalted = std::find(self->halted_.begin(), self->halted_.end(), address) !=
                              self->halted_.end();
            }
            std::uint32_t status = 0;
            if (stillHalted && !flight->request->IsCompleted()) {
                status = self->ClearHalt(flight->handle, address);
            }
            if (status != 0) {
                std::lock_guard lock(self->flightMutex_);
                std::erase(self->waiting_, flight->request);
                flight->request->Complete(status);
                return;
            }
            self->Submit(flight);
        });
}

}  // namespace platform::usbio
