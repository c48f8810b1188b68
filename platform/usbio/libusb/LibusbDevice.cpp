#include "platform/usbio/libusb/LibusbDevice.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/Event.h"
#include "platform/LittleEndian.h"
#include "platform/MessageTypes.h"
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
// libusb's own limit for a descriptor request; the driver's requests have
// none, but a device that never answers one must not hold detection forever.
constexpr unsigned kDescriptorTimeoutMs = 5000;

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
    libusb_transfer* transfer = nullptr;
    std::vector<unsigned char> buffer;
    bool control = false;
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
    {
        std::lock_guard lock(handleMutex_);
        Close();
    }
    libusb_unref_device(device_);
}

void LibusbDevice::Unplug() {
    session_.store(0);
    std::vector<std::shared_ptr<Flight>> flights;
    {
        std::lock_guard lock(flightMutex_);
        flights = flights_;
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
    {
        std::lock_guard lock(flightMutex_);
        auto it = std::find_if(flights_.begin(), flights_.end(),
                               [&](const auto& f) { return f.get() == raw; });
        if (it == flights_.end()) {
            return;  // cannot happen: a flight stays listed until it finishes
        }
        flight = std::move(*it);
        flights_.erase(it);
    }
    libusb_transfer* t = flight->transfer;
    const std::uint32_t status = LibusbStatus::FromTransfer(t->status);
    if (t->status == LIBUSB_TRANSFER_STALL && !flight->control) {
        // The endpoint stays halted until its halt is cleared; that takes a
        // request of its own, which the next transfer on it makes before it
        // goes (never here, on the event thread).
        std::lock_guard lock(flightMutex_);
        if (std::find(halted_.begin(), halted_.end(), t->endpoint) == halted_.end()) {
            halted_.push_back(t->endpoint);
        }
    }
    const auto moved = static_cast<std::uint32_t>(std::max(t->actual_length, 0));
    if (flight->request->GetType() == UsbioRequest::Type::BulkOut) {
        flight->request->Complete(status, {}, moved);
    } else {
        const unsigned char* data =
            flight->control ? libusb_control_transfer_get_data(t) : t->buffer;
        flight->request->Complete(status, std::span<const std::uint8_t>(data, moved));
    }
    flight->done.Set();
}

void LibusbDevice::Submit(std::shared_ptr<Flight> flight) {
    flight->owner = this;
    flight->transfer->user_data = flight.get();
    flight->transfer->callback = &LibusbDevice::OnTransferDone;
    int rc = 0;
    {
        // Listed under the lock before the event thread can look for it.
        std::lock_guard lock(flightMutex_);
        rc = libusb_submit_transfer(flight->transfer);
        if (rc == LIBUSB_SUCCESS) {
            flights_.push_back(flight);
        }
    }
    if (rc != LIBUSB_SUCCESS) {
        flight->request->Complete(LibusbStatus::FromError(rc));
    }
}

void LibusbDevice::Cancel(const std::shared_ptr<UsbioRequest>& request) {
    std::shared_ptr<Flight> flight;
    {
        std::lock_guard lock(flightMutex_);
        auto it = std::find_if(flights_.begin(), flights_.end(),
                               [&](const auto& f) { return f->request == request; });
        if (it == flights_.end()) {
            return;  // finished already, or never reached libusb
        }
        flight = *it;
    }
    libusb_cancel_transfer(flight->transfer);
    if (!context_->OnEventThread()) {
        // The transfer ends (cancelled, or done first) before the caller's
        // timed call may return and let its memory go.
        flight->done.Wait(kInfinite, "usb cancel");
    }
}

void LibusbDevice::CancelAllFlights() {
    std::vector<std::shared_ptr<Flight>> flights;
    {
        std::lock_guard lock(flightMutex_);
        flights = flights_;
    }
    for (const auto& flight : flights) {
        libusb_cancel_transfer(flight->transfer);
        if (!context_->OnEventThread()) {
            flight->done.Wait(kInfinite, "usb cancel");
        }
    }
}

std::uint32_t LibusbDevice::ClearHaltOf(std::uint8_t endpoint) {
    {
        std::lock_guard lock(flightMutex_);
        if (std::find(halted_.begin(), halted_.end(), endpoint) == halted_.end()) {
            return 0;
        }
    }
    const int rc = libusb_clear_halt(handle_, endpoint);
    if (rc != LIBUSB_SUCCESS) {
        return LibusbStatus::FromError(rc);  // still halted: the next transfer tries again
    }
    std::lock_guard lock(flightMutex_);
    std::erase(halted_, endpoint);
    return 0;
}

void LibusbDevice::LastHandleClosed() {
    std::lock_guard lock(handleMutex_);
    Close();
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
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(device_, &d);
        std::fprintf(stderr,
                     "kestrup: no permission to open USB device %s (%04x:%04x); install the "
                     "udev rules for it and plug it in again\n",
                     path_.c_str(), d.idVendor, d.idProduct);
    }
    return LibusbStatus::FromError(rc);
}

void LibusbDevice::ReleaseInterfaces() {
    {
        std::lock_guard lock(flightMutex_);
        halted_.clear();
    }
    for (const Claimed& claimed : claimed_) {
        libusb_release_interface(handle_, claimed.number);
        if (claimed.reattach) {
            libusb_attach_kernel_driver(handle_, claimed.number);
        }
    }
    claimed_.clear();
    endpoints_.clear();
    configured_ = false;
}

void LibusbDevice::Close() {
    if (handle_ == nullptr) {
        return;
    }
    CancelAllFlights();
    ReleaseInterfaces();
    libusb_close(handle_);
    handle_ = nullptr;
    nodeLock_.Release();
}

std::uint32_t LibusbDevice::Configure(const std::vector<std::uint8_t>& input) {
    if (const std::uint32_t status = EnsureOpen(); status != 0) {
        return status;
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
    ReleaseInterfaces();
    std::uint32_t status = 0;
    // Setting the active configuration again would reset the device's
    // state; libusb advises to skip it.
    int current = -1;
    rc = libusb_get_configuration(handle_, &current);
    if (rc != LIBUSB_SUCCESS || current != config->bConfigurationValue) {
        rc = libusb_set_configuration(handle_, config->bConfigurationValue);
        if (rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_ACCESS || rc == LIBUSB_ERROR_BUSY) {
            status = LibusbStatus::FromError(rc);
        } else if (rc != LIBUSB_SUCCESS) {
            status = USBIO_ERR_SET_CONFIG_FAILED;
        }
    }
    for (std::uint16_t i = 0; i < count && status == 0; ++i) {
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
        if (std::any_of(claimed_.begin(), claimed_.end(),
                        [&](const Claimed& c) { return c.number == number; })) {
            continue;  // listed twice: the first entry holds
        }
        // A kernel driver on the interface is detached while the program
        // holds it. Where the system cannot say, the claim decides.
        bool reattach = false;
        if (libusb_kernel_driver_active(handle_, number) == 1) {
            reattach = libusb_detach_kernel_driver(handle_, number) == LIBUSB_SUCCESS;
        }
        rc = libusb_claim_interface(handle_, number);
        if (rc != LIBUSB_SUCCESS) {
            if (reattach) {
                libusb_attach_kernel_driver(handle_, number);
            }
            status = LibusbStatus::FromError(rc);
            break;
        }
        claimed_.push_back(Claimed{static_cast<std::uint8_t>(number), reattach});
        // Selected even when it is 0: the device then starts its endpoints
        // afresh (data toggles, halts) whatever the last program left. An
        // interface with no other setting is in that one already; some
        // devices refuse the request then, which does not stop the claim.
        rc = libusb_set_interface_alt_setting(handle_, number, alternate);
        if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_NO_DEVICE && alternates == 1) {
            rc = LIBUSB_SUCCESS;
        }
        if (rc != LIBUSB_SUCCESS) {
            status = LibusbStatus::FromError(rc);
            break;
        }
        for (int e = 0; e < setting->bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = setting->endpoint[e];
            endpoints_.push_back(Endpoint{ep.bEndpointAddress,
                                          static_cast<std::uint8_t>(ep.bmAttributes & 3),
                                          ep.wMaxPacketSize, static_cast<std::uint8_t>(number)});
        }
    }
    libusb_free_config_descriptor(config);
    if (status != 0) {
        ReleaseInterfaces();
        return status;
    }
    configured_ = true;
    return 0;
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
        libusb_device_descriptor d{};
        const int rc = libusb_get_device_descriptor(device_, &d);
        request->Complete(LibusbStatus::FromError(rc), rc == LIBUSB_SUCCESS
                                                           ? DeviceDescriptorBytes(d)
                                                           : std::vector<std::uint8_t>());
        return;
    }
    std::lock_guard lock(handleMutex_);
    if (const std::uint32_t status = EnsureOpen(); status != 0) {
        request->Complete(status);
        return;
    }
    const auto length =
        static_cast<std::uint16_t>(std::min<std::uint32_t>(request->Length(), 0xFFFF));
    auto flight = std::make_shared<Flight>();
    flight->request = request;
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
    libusb_fill_control_transfer(flight->transfer, handle_, flight->buffer.data(), nullptr, nullptr,
                                 kDescriptorTimeoutMs);
    Submit(std::move(flight));
}

void LibusbDevice::Control(const std::shared_ptr<UsbioRequest>& request) {
    if (!IsPlugged()) {
        request->Complete(USBIO_ERR_DEVICE_GONE);
        return;
    }
    switch (request->ControlCode()) {
        case IOCTL_USBIO_GET_DRIVER_INFO: {
            std::uint32_t status = 0;
            {
                std::lock_guard lock(handleMutex_);
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
        case IOCTL_USBIO_SET_CONFIGURATION: {
            std::uint32_t status = 0;
            {
                std::lock_guard lock(handleMutex_);
                status = Configure(request->Input());
            }
            request->Complete(status);
            return;
        }
        case IOCTL_USBIO_GET_CONFIGURATION_INFO: {
            std::vector<std::uint8_t> reply;
            {
                std::lock_guard lock(handleMutex_);
                reply = ConfigurationInfo();
            }
            request->Complete(0, reply);
            return;
        }
        case IOCTL_USBIO_BIND_PIPE: {
            bool found = false;
            {
                std::lock_guard lock(handleMutex_);
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
    std::lock_guard lock(handleMutex_);
    if (handle_ == nullptr || !configured_) {
        request->Complete(kNotConfigured);
        return;
    }
    auto endpoint = std::find_if(endpoints_.begin(), endpoints_.end(), [&](const Endpoint& e) {
        return e.address == request->Endpoint();
    });
    if (endpoint == endpoints_.end()) {
        request->Complete(USBIO_ERR_PIPE_NOT_FOUND);
        return;
    }
    if (endpoint->type != LIBUSB_TRANSFER_TYPE_BULK &&
        endpoint->type != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
        request->Complete(kInvalidPipeType);
        return;
    }
    if (const std::uint32_t status = ClearHaltOf(endpoint->address); status != 0) {
        request->Complete(status);
        return;
    }
    auto flight = std::make_shared<Flight>();
    flight->request = request;
    if (request->GetType() == UsbioRequest::Type::BulkOut) {
        // The caller's bytes are only valid during this call.
        flight->buffer.assign(request->OutData().begin(), request->OutData().end());
    } else {
        flight->buffer.assign(request->Length(), 0);
    }
    flight->transfer = libusb_alloc_transfer(0);
    if (flight->transfer == nullptr) {
        request->Complete(0xE0001003);  // out of memory
        return;
    }
    // No time-out of libusb's own: the caller's timed wait cancels.
    const int length = static_cast<int>(flight->buffer.size());
    if (endpoint->type == LIBUSB_TRANSFER_TYPE_BULK) {
        libusb_fill_bulk_transfer(flight->transfer, handle_, endpoint->address,
                                  flight->buffer.data(), length, nullptr, nullptr, 0);
    } else {
        libusb_fill_interrupt_transfer(flight->transfer, handle_, endpoint->address,
                                       flight->buffer.data(), length, nullptr, nullptr, 0);
    }
    Submit(std::move(flight));
}

}  // namespace platform::usbio
