#include "platform/usbio/UsbioDriver.h"

#include <algorithm>
#include <cstring>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/UsbmonCapture.h"

namespace platform::usbio {
namespace {

thread_local std::uint32_t t_lastError = 0;

constexpr char kDeviceNamePrefix[] = "\\\\.\\USBIO_Device";

// The usbmon status of a completed URB: 0 or the negative errno Linux
// gives it.
std::int32_t UsbmonStatusOf(std::uint32_t status) {
    switch (status) {
        case 0:
            return 0;
        case ERROR_OPERATION_ABORTED:
        case USBIO_ERR_TIMEOUT:
            return -104;  // ECONNRESET: unlinked, as a cancel through usbfs does
        case USBIO_ERR_DEVICE_GONE:
            return -108;  // ESHUTDOWN
        case USBIO_ERR_STALL_PID:
        case 0xE0000030:  // endpoint halted
            return -32;   // EPIPE
        case USBIO_ERR_DATA_OVERRUN:
            return -75;  // EOVERFLOW: babble
        default:
            return -71;  // EPROTO
    }
}

std::uint16_t Le16(const std::vector<std::uint8_t>& v, std::size_t at) {
    return static_cast<std::uint16_t>(v[at] | (v[at + 1] << 8));
}

void SetUp(std::array<std::uint8_t, 8>& setup, std::uint8_t requestType, std::uint8_t request,
           std::uint16_t value, std::uint16_t index, std::uint16_t length) {
    setup = {requestType,
             request,
             static_cast<std::uint8_t>(value),
             static_cast<std::uint8_t>(value >> 8),
             static_cast<std::uint8_t>(index),
             static_cast<std::uint8_t>(index >> 8),
             static_cast<std::uint8_t>(length),
             static_cast<std::uint8_t>(length >> 8)};
}

}  // namespace

UsbioDriver& UsbioDriver::Instance() {
    // Never destroyed: handles may still be closed by objects that outlive
    // static destruction order.
    static UsbioDriver* driver = new UsbioDriver;
    return *driver;
}

UsbioDriver::UsbioDriver() = default;
UsbioDriver::~UsbioDriver() = default;

void UsbioDriver::InstallBackend(std::shared_ptr<UsbioBackend> backend) {
    UsbioDriver& d = Instance();
    std::lock_guard lock(d.mutex_);
    if (backend &&
        std::find(d.backends_.begin(), d.backends_.end(), backend) == d.backends_.end()) {
        d.backends_.push_back(std::move(backend));
    }
}

// A back end goes outside the driver's lock: its last reference may wait
// for threads of its own (libusb's event thread) whose completions take that
// lock.
void UsbioDriver::RemoveBackend(const std::shared_ptr<UsbioBackend>& backend) {
    UsbioDriver& d = Instance();
    std::shared_ptr<UsbioBackend> removed;
    {
        std::lock_guard lock(d.mutex_);
        auto it = std::find(d.backends_.begin(), d.backends_.end(), backend);
        if (it == d.backends_.end()) {
            return;
        }
        removed = std::move(*it);
        d.backends_.erase(it);
    }
}

void UsbioDriver::RemoveAllBackends() {
    UsbioDriver& d = Instance();
    std::vector<std::shared_ptr<UsbioBackend>> removed;
    std::lock_guard lock(d.mutex_);
    removed.swap(d.backends_);
}

void UsbioDriver::SetDeviceFilter(DeviceFilter filter) {
    UsbioDriver& d = Instance();
    std::lock_guard lock(d.mutex_);
    d.filter_ = std::move(filter);
}

std::vector<std::shared_ptr<UsbioDevice>> UsbioDriver::AttachedDevices() {
    UsbioDriver& d = Instance();
    std::vector<std::shared_ptr<UsbioBackend>> backends;
    DeviceFilter filter;
    {
        std::lock_guard lock(d.mutex_);
        backends = d.backends_;
        filter = d.filter_;
    }
    std::vector<std::shared_ptr<UsbioDevice>> devices;
    for (const auto& backend : backends) {
        for (auto& device : backend->AttachedDevices()) {
            if (!filter || filter(*device)) {
                devices.push_back(std::move(device));
            }
        }
    }
    return devices;
}

std::uint32_t UsbioDriver::GetLastError() {
    return t_lastError;
}

void UsbioDriver::SetLastError(std::uint32_t error) {
    t_lastError = error;
}

bool UsbioDriver::Fail(std::uint32_t error) {
    SetLastError(error);
    return false;
}

Handle UsbioDriver::CreateFile(const char* name, std::uint32_t /*access*/,
                               std::uint32_t /*shareMode*/, std::uint32_t disposition,
                               std::uint32_t /*flags*/) {
    if (name == nullptr || disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kInvalidHandle;
    }
    const auto devices = AttachedDevices();
    std::shared_ptr<UsbioDevice> device;
    const std::size_t prefixLength = sizeof(kDeviceNamePrefix) - 1;
    if (std::strncmp(name, kDeviceNamePrefix, prefixLength) == 0) {
        const char* digits = name + prefixLength;
        std::size_t index = 0;
        bool valid = *digits != '\0';
        for (const char* p = digits; *p != '\0' && valid; ++p) {
            valid = *p >= '0' && *p <= '9' && index < devices.size();
            index = index * 10 + static_cast<std::size_t>(*p - '0');
        }
        if (valid && index < devices.size()) {
            device = devices[index];
        }
    } else {
        for (const auto& candidate : devices) {
            if (candidate->Path() == name) {
                device = candidate;
                break;
            }
        }
    }
    const std::uint64_t session = device ? device->Session() : 0;
    if (session == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return kInvalidHandle;
    }
    UsbioDriver& d = Instance();
    std::lock_guard lock(d.mutex_);
    const Handle handle = d.nextHandle_++;
    HandleState& state = d.handles_[handle];
    state.device = std::move(device);
    state.session = session;
    return handle;
}

bool UsbioDriver::CloseHandle(Handle handle) {
    UsbioDriver& d = Instance();
    HandleState state;
    bool last = true;
    {
        std::lock_guard lock(d.mutex_);
        auto it = d.handles_.find(handle);
        if (it == d.handles_.end()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        state = std::move(it->second);
        d.handles_.erase(it);
        for (const auto& [other, otherState] : d.handles_) {
            if (otherState.device == state.device) {
                last = false;
                break;
            }
        }
    }
    // Closing a handle ends whatever is still pending on it.
    d.CancelAll(state.device, state.pending);
    if (last) {
        state.device->LastHandleClosed();
    }
    return true;
}

void UsbioDriver::CancelAll(const std::shared_ptr<UsbioDevice>& device,
                            const std::vector<std::shared_ptr<UsbioRequest>>& requests) {
    for (const auto& request : requests) {
        // Under the hand-off lock: a request being handed to the device now
        // is cancelled there once it has arrived, never before.
        std::lock_guard handoff(request->handoffMutex_);
        device->Cancel(request);
        request->Complete(ERROR_OPERATION_ABORTED);
    }
}

std::uint32_t UsbioDriver::Usable(Handle handle, HandleState*& state) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        return ERROR_INVALID_HANDLE;
    }
    state = &it->second;
    if (state->device->Session() != state->session) {
        return USBIO_ERR_DEVICE_GONE;
    }
    return 0;
}

std::shared_ptr<UsbioRequest> UsbioDriver::NewRequest(Handle handle, UsbioRequest::Type type,
                                                      Overlapped* overlapped) {
    {
        std::lock_guard lock(completionMutex_);
        overlapped->bytes.store(0);
        overlapped->status.store(ERROR_IO_PENDING);
        if (overlapped->event != nullptr) {
            overlapped->event->Reset();
        }
    }
    std::shared_ptr<UsbioRequest> request(new UsbioRequest);
    request->overlapped_ = overlapped;
    request->type_ = type;
    request->handle_ = handle;
    request->issuer_ = Thread::CurrentId();
    request->urbId_ = nextUrbId_++;
    HandleState& state = handles_.at(handle);
    request->deviceAddress_ = state.device->Address();
    request->deviceBus_ = state.device->Bus();
    state.pending.push_back(request);
    return request;
}

bool UsbioDriver::DeviceIoControl(Handle handle, std::uint32_t code, const void* input,
                                  std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                                  std::uint32_t* bytesReturned, Overlapped* overlapped) {
    UsbioDriver& d = Instance();
    if (overlapped == nullptr || (inputSize > 0 && input == nullptr) ||
        (outputSize > 0 && output == nullptr)) {
        return d.Fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<std::uint8_t> in(static_cast<const std::uint8_t*>(input),
                                 static_cast<const std::uint8_t*>(input) + inputSize);
    std::shared_ptr<UsbioDevice> device;
    std::shared_ptr<UsbioRequest> request;
    {
        std::lock_guard lock(d.mutex_);
        HandleState* state = nullptr;
        if (const std::uint32_t error = d.Usable(handle, state); error != 0) {
            return d.Fail(error);
        }
        std::array<std::uint8_t, 8> setup{};
        const auto outLength =
            static_cast<std::uint16_t>(std::min<std::uint32_t>(outputSize, 0xFFFF));
        const auto vendorRequest = static_cast<std::uint8_t>(code >> 2);
        std::uint8_t endpoint = 0;
        switch (code) {
            case IOCTL_USBIO_GET_DESCRIPTOR:
                if (inputSize < kDescriptorRequestSize) {
                    return d.Fail(0xE0001001);
                }
                SetUp(setup, static_cast<std::uint8_t>(0x80 | (in[0] & 0x1F)), 6,
                      static_cast<std::uint16_t>((in[4] << 8) | in[5]), Le16(in, 6), outLength);
                break;
            case IOCTL_USBIO_SET_CONFIGURATION: {
                if (inputSize < 4) {
                    return d.Fail(0xE0001001);
                }
                const std::uint16_t count = Le16(in, 2);
                if (count > kMaxInterfaceSettings) {
                    return d.Fail(USBIO_ERR_INVALID_PARAMETER);
                }
                if (inputSize < 4 + count * kInterfaceSettingSize) {
                    return d.Fail(0xE0001001);
                }
                // The standard request that selects configuration (index + 1).
                SetUp(setup, 0x00, 9, static_cast<std::uint16_t>(Le16(in, 0) + 1), 0, 0);
                break;
            }
            case IOCTL_USBIO_GET_CONFIGURATION_INFO:
            case IOCTL_USBIO_GET_DRIVER_INFO:
                if (outputSize < (code == IOCTL_USBIO_GET_DRIVER_INFO ? kDriverInfoSize
                                                                      : kConfigurationInfoSize)) {
                    return d.Fail(0xE0001002);
                }
                SetUp(setup, 0xC0, vendorRequest, 0, 0, outLength);
                break;
            case IOCTL_USBIO_BIND_PIPE: {
                if (inputSize < 1) {
                    return d.Fail(0xE0001001);
                }
                endpoint = in[0];
                if (state->bound) {
                    return d.Fail(USBIO_ERR_ALREADY_BOUND);
                }
                for (const auto& [other, otherState] : d.handles_) {
                    if (otherState.bound && otherState.boundEndpoint == endpoint &&
                        otherState.device == state->device &&
                        otherState.session == state->session) {
                        return d.Fail(USBIO_ERR_ALREADY_BOUND);
                    }
                }
                // Reserved now, released again if the device refuses.
                state->bound = true;
                state->boundEndpoint = endpoint;
                SetUp(setup, 0x40, vendorRequest, 0, endpoint, 0);
                break;
            }
            case IOCTL_USBIO_UNBIND_PIPE:
                if (!state->bound) {
                    return d.Fail(USBIO_ERR_NOT_BOUND);
                }
                SetUp(setup, 0x40, vendorRequest, 0, 0, 0);
                break;
            default:
                return d.Fail(USBIO_ERR_INVALID_IOCTL);
        }
        device = state->device;
        request = d.NewRequest(handle, UsbioRequest::Type::Control, overlapped);
        request->controlCode_ = code;
        request->endpoint_ = endpoint;
        request->input_ = std::move(in);
        request->length_ = outputSize;
        request->destination_ = static_cast<std::uint8_t*>(output);
        request->setup_ = setup;
    }
    return d.Issue(device, request, bytesReturned);
}

bool UsbioDriver::ReadFile(Handle handle, void* data, std::uint32_t length,
                           std::uint32_t* bytesRead, Overlapped* overlapped) {
    return Instance().Bulk(handle, UsbioRequest::Type::BulkIn, static_cast<std::uint8_t*>(data),
                           nullptr, length, bytesRead, overlapped);
}

bool UsbioDriver::WriteFile(Handle handle, const void* data, std::uint32_t length,
                            std::uint32_t* bytesWritten, Overlapped* overlapped) {
    return Instance().Bulk(handle, UsbioRequest::Type::BulkOut, nullptr,
                           static_cast<const std::uint8_t*>(data), length, bytesWritten,
                           overlapped);
}

bool UsbioDriver::Bulk(Handle handle, UsbioRequest::Type type, std::uint8_t* in,
                       const std::uint8_t* out, std::uint32_t length, std::uint32_t* bytes,
                       Overlapped* overlapped) {
    const bool reading = type == UsbioRequest::Type::BulkIn;
    if (bytes != nullptr) {
        *bytes = 0;  // nothing has moved yet
    }
    if (overlapped == nullptr || (length > 0 && (reading ? in == nullptr : out == nullptr))) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::shared_ptr<UsbioDevice> device;
    std::shared_ptr<UsbioRequest> request;
    {
        std::lock_guard lock(mutex_);
        HandleState* state = nullptr;
        if (const std::uint32_t error = Usable(handle, state); error != 0) {
            return Fail(error);
        }
        if (!state->bound) {
            return Fail(USBIO_ERR_NOT_BOUND);
        }
        // A handle bound to an IN endpoint only reads, one bound to an OUT
        // endpoint only writes.
        if (((state->boundEndpoint & 0x80) != 0) != reading) {
            return Fail(USBIO_ERR_INVALID_DIRECTION);
        }
        device = state->device;
        request = NewRequest(handle, type, overlapped);
        request->endpoint_ = state->boundEndpoint;
        request->length_ = length;
        if (reading) {
            request->destination_ = in;
        } else {
            request->outData_ = std::span<const std::uint8_t>(out, length);
        }
    }
    return Issue(device, request, bytes);
}

bool UsbioDriver::Issue(const std::shared_ptr<UsbioDevice>& device,
                        const std::shared_ptr<UsbioRequest>& request, std::uint32_t* bytes) {
    {
        // A concurrent close may have ended the request already; a device
        // must not get it then (it would take the next IN data for nobody).
        std::lock_guard handoff(request->handoffMutex_);
        if (!request->IsCompleted()) {
            if (request->GetType() == UsbioRequest::Type::Control) {
                device->Control(request);
            } else {
                device->Transfer(request);
            }
        }
    }
    bool completed = false;
    std::uint32_t status = 0;
    std::uint32_t count = 0;
    {
        std::lock_guard lock(request->mutex_);
        request->outData_ = {};
        completed = request->completed_;
        status = request->finalStatus_;
        count = request->finalBytes_;
    }
    if (!completed) {
        return Fail(ERROR_IO_PENDING);
    }
    // The bytes that moved, whether the request succeeded or not, as a
    // completion reported later gives them.
    if (bytes != nullptr) {
        *bytes = count;
    }
    if (status != 0) {
        return Fail(status);
    }
    return true;
}

void UsbioDriver::OnCompleted(UsbioRequest& request, bool onBus, std::uint32_t busStatus,
                              std::span<const std::uint8_t> busData) {
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(request.handle_);
        if (it != handles_.end()) {
            HandleState& state = it->second;
            std::erase_if(state.pending, [&](const auto& p) { return p.get() == &request; });
            if (request.controlCode_ == IOCTL_USBIO_BIND_PIPE && request.finalStatus_ != 0 &&
                state.boundEndpoint == request.endpoint_) {
                state.bound = false;
                state.boundEndpoint = 0;
            }
            if (request.controlCode_ == IOCTL_USBIO_UNBIND_PIPE && request.finalStatus_ == 0) {
                state.bound = false;
                state.boundEndpoint = 0;
            }
        }
    }
    if (onBus) {
        CaptureCompletion(request, busStatus, busData);
    }
    {
        // Under the completion lock, so that no waiter sees the final status
        // (and lets the record and its event go) before the event is set.
        std::lock_guard lock(completionMutex_);
        Overlapped* overlapped = request.overlapped_;
        overlapped->bytes.store(request.finalBytes_);
        overlapped->status.store(request.finalStatus_);
        if (overlapped->event != nullptr) {
            overlapped->event->Set();
        }
    }
    completed_.notify_all();
}

bool UsbioDriver::GetOverlappedResult(Handle /*handle*/, Overlapped* overlapped,
                                      std::uint32_t* bytes, bool wait) {
    UsbioDriver& d = Instance();
    if (overlapped == nullptr) {
        return d.Fail(ERROR_INVALID_PARAMETER);
    }
    std::unique_lock lock(d.completionMutex_);
    if (overlapped->status.load() == ERROR_IO_PENDING) {
        if (!wait) {
            return d.Fail(ERROR_IO_INCOMPLETE);
        }
        TimeFacility::Note(TimeFacility::Kind::EventWait, kInfinite, "usb request");
        d.completed_.wait(lock, [&] { return overlapped->status.load() != ERROR_IO_PENDING; });
        if (overlapped->event != nullptr) {
            overlapped->event->Reset();  // the wait consumed the signal
        }
    }
    const std::uint32_t status = overlapped->status.load();
    if (bytes != nullptr) {
        *bytes = overlapped->bytes.load();
    }
    if (status != 0) {
        return d.Fail(status);
    }
    return true;
}

bool UsbioDriver::CancelIo(Handle handle) {
    UsbioDriver& d = Instance();
    std::shared_ptr<UsbioDevice> device;
    std::vector<std::shared_ptr<UsbioRequest>> mine;
    {
        std::lock_guard lock(d.mutex_);
        auto it = d.handles_.find(handle);
        if (it == d.handles_.end()) {
            return d.Fail(ERROR_INVALID_HANDLE);
        }
        device = it->second.device;
        const ThreadId me = Thread::CurrentId();
        for (const auto& request : it->second.pending) {
            if (request->issuer_ == me) {
                mine.push_back(request);
            }
        }
    }
    d.CancelAll(device, mine);
    return true;
}

bool UsbioDriver::StartCapture(const std::string& path) {
    UsbioDriver& d = Instance();
    auto capture = UsbmonCapture::Create(path);
    if (!capture) {
        return false;
    }
    std::lock_guard lock(d.captureMutex_);
    d.capture_ = std::move(capture);
    return true;
}

void UsbioDriver::StopCapture() {
    UsbioDriver& d = Instance();
    std::lock_guard lock(d.captureMutex_);
    d.capture_.reset();
}

std::size_t UsbioDriver::OpenHandleCount() {
    UsbioDriver& d = Instance();
    std::lock_guard lock(d.mutex_);
    return d.handles_.size();
}

void UsbioDriver::CaptureSubmission(const UsbioRequest& request, std::uint32_t busLength,
                                    std::span<const std::uint8_t> outData) {
    std::lock_guard lock(captureMutex_);
    if (!capture_) {
        return;
    }
    UsbmonCapture::Record record;
    record.urbId = request.urbId_;
    record.type = 'S';
    record.device = request.deviceAddress_;
    record.bus = request.deviceBus_;
    record.status = UsbmonCapture::kInProgress;
    record.urbLength = busLength;
    bool in = false;
    if (request.type_ == UsbioRequest::Type::Control) {
        in = (request.setup_[0] & 0x80) != 0;
        record.transferType = 2;
        record.endpoint = in ? 0x80 : 0x00;
        record.hasSetup = true;
        record.setup = request.setup_;
    } else {
        in = request.type_ == UsbioRequest::Type::BulkIn;
        record.transferType = 3;
        record.endpoint = request.endpoint_;
        record.data = in ? std::span<const std::uint8_t>() : outData;
    }
    record.dataFlag = in ? '<' : 0;
    record.transferFlags = in ? 0x200 : 0;
    capture_->Write(record);
}

void UsbioDriver::CaptureCompletion(const UsbioRequest& request, std::uint32_t busStatus,
                                    std::span<const std::uint8_t> busData) {
    std::lock_guard lock(captureMutex_);
    if (!capture_) {
        return;
    }
    UsbmonCapture::Record record;
    record.urbId = request.urbId_;
    record.type = 'C';
    record.device = request.deviceAddress_;
    record.bus = request.deviceBus_;
    record.status = UsbmonStatusOf(busStatus);
    bool in = false;
    if (request.type_ == UsbioRequest::Type::Control) {
        in = (request.setup_[0] & 0x80) != 0;
        record.transferType = 2;
        record.endpoint = in ? 0x80 : 0x00;
    } else {
        in = request.type_ == UsbioRequest::Type::BulkIn;
        record.transferType = 3;
        record.endpoint = request.endpoint_;
    }
    record.urbLength = in ? static_cast<std::uint32_t>(busData.size()) : request.finalBytes_;
    record.dataFlag = in ? 0 : '>';
    record.data = in ? busData : std::span<const std::uint8_t>();
    record.transferFlags = in ? 0x200 : 0;
    capture_->Write(record);
}

void UsbioDriver::CaptureDeviceRequest(const UsbioDevice& device,
                                       const std::array<std::uint8_t, 8>& setup,
                                       std::uint32_t status) {
    UsbioDriver& d = Instance();
    std::uint64_t urbId = 0;
    {
        std::lock_guard lock(d.mutex_);
        urbId = d.nextUrbId_++;
    }
    std::lock_guard lock(d.captureMutex_);
    if (!d.capture_) {
        return;
    }
    UsbmonCapture::Record record;
    record.urbId = urbId;
    record.transferType = 2;
    record.device = device.Address();
    record.bus = device.Bus();
    record.hasSetup = true;
    record.setup = setup;
    record.status = UsbmonCapture::kInProgress;
    d.capture_->Write(record);
    record.type = 'C';
    record.hasSetup = false;
    record.setup = {};
    record.status = UsbmonStatusOf(status);
    record.dataFlag = '>';
    d.capture_->Write(record);
}

}  // namespace platform::usbio
