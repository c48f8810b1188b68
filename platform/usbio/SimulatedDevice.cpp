#include "platform/usbio/SimulatedDevice.h"

#include <algorithm>

#include "platform/LittleEndian.h"
#include "platform/MessageTypes.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/UsbioDriver.h"

namespace platform::usbio {
namespace {

using platform::le::Put16;
using platform::le::Put32;

// When something delayMs program milliseconds from now happens; never for
// kInfinite.
std::chrono::steady_clock::time_point Deadline(std::uint32_t delayMs) {
    if (delayMs == kInfinite) {
        return std::chrono::steady_clock::time_point::max();
    }
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               TimeFacility::RealDuration(delayMs));
}

}  // namespace

SimulatedDevice::SimulatedDevice(std::shared_ptr<SimulatedFunction> function, std::string path,
                                 std::uint8_t address, Identity identity)
    : function_(std::move(function)),
      path_(std::move(path)),
      address_(address),
      identity_(std::move(identity)),
      pipes_{{0x81, 2, 512}, {0x01, 2, 512}} {
    lastSession_ = 1;
    session_.store(1);
    timerThread_ = std::thread([this] { TimerLoop(); });
    if (function_) {
        function_->Attach(this);
    }
}

SimulatedDevice::SimulatedDevice(std::shared_ptr<SimulatedFunction> function, std::string path,
                                 std::uint8_t address)
    : SimulatedDevice(std::move(function), std::move(path), address, Identity{}) {}

SimulatedDevice::~SimulatedDevice() {
    {
        std::lock_guard lock(timerMutex_);
        stopping_ = true;
    }
    timerWake_.notify_all();
    timerThread_.join();
    Unplug();
    if (function_) {
        function_->Attach(nullptr);
    }
}

void SimulatedDevice::Schedule(Clock::time_point when, std::function<void()> action) {
    {
        std::lock_guard lock(timerMutex_);
        if (stopping_) {
            return;
        }
        timers_.emplace(when, std::move(action));
    }
    timerWake_.notify_all();
}

void SimulatedDevice::TimerLoop() {
    std::unique_lock lock(timerMutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            timerWake_.wait(lock);
            continue;
        }
        auto first = timers_.begin();
        if (first->first > Clock::now()) {
            timerWake_.wait_until(lock, first->first);
            continue;
        }
        auto action = std::move(first->second);
        timers_.erase(first);
        lock.unlock();
        action();
        lock.lock();
    }
}

void SimulatedDevice::QueueIn(std::uint8_t endpoint, std::vector<std::uint8_t> bytes,
                              std::uint32_t delayMs) {
    const auto readyAt = Deadline(delayMs);
    {
        std::lock_guard lock(mutex_);
        if (session_.load() == 0) {
            return;  // nobody is listening on an unplugged device
        }
        auto& packets = packets_[endpoint];
        const std::size_t size = PacketSize(endpoint);
        if (bytes.empty()) {
            packets.push_back(Packet{{}, readyAt});  // a zero-length packet
        }
        for (std::size_t at = 0; at < bytes.size(); at += size) {
            const std::size_t n = std::min(size, bytes.size() - at);
            packets.push_back(Packet{
                std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(at + n)),
                readyAt});
        }
    }
    if (delayMs > 0 && delayMs != kInfinite) {
        Schedule(readyAt, [this] { Pump(); });
    }
    Pump();
}

void SimulatedDevice::Pump() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto& [endpoint, reads] : reads_) {
        auto& packets = packets_[endpoint];
        const std::size_t size = PacketSize(endpoint);
        while (!reads.empty() && !packets.empty()) {
            if (packets.front().readyAt > now) {
                break;  // a timer wakes the pump when it is ready
            }
            std::vector<std::uint8_t> packet = std::move(packets.front().bytes);
            packets.pop_front();
            PendingRead& read = reads.front();
            const std::size_t room = read.buffer - read.received.size();
            std::uint32_t status = 0;
            if (packet.size() > room) {
                // Babble beyond the buffer (a packet larger than the
                // endpoint's): the bytes that fit arrive, the rest is lost.
                status = kOverflowStatus;
                packet.resize(room);
            }
            read.received.insert(read.received.end(), packet.begin(), packet.end());
            const bool ends =
                status != 0 || packet.size() < size || read.received.size() == read.buffer;
            if (ends) {
                PendingRead done = std::move(read);
                reads.pop_front();
                done.request->Complete(status, done.received);
            }
        }
    }
}

void SimulatedDevice::Unplug() {
    std::lock_guard lock(mutex_);
    if (session_.load() == 0) {
        return;
    }
    session_.store(0);
    configured_ = false;
    halted_.clear();
    packets_.clear();
    for (auto& [endpoint, reads] : reads_) {
        for (const PendingRead& read : reads) {
            read.request->Complete(USBIO_ERR_DEVICE_GONE, read.received);
        }
    }
    reads_.clear();
    for (const PendingWrite& write : writes_) {
        write.request->Complete(USBIO_ERR_DEVICE_GONE, {}, write.accepted);
    }
    writes_.clear();
    for (const PendingControl& control : controls_) {
        control.request->Complete(USBIO_ERR_DEVICE_GONE);
    }
    controls_.clear();
}

void SimulatedDevice::UnplugAfter(std::uint32_t delayMs) {
    if (delayMs == kInfinite) {
        return;
    }
    Schedule(Deadline(delayMs), [this] { Unplug(); });
}

void SimulatedDevice::Plug() {
    std::lock_guard lock(mutex_);
    if (session_.load() == 0) {
        session_.store(++lastSession_);
    }
}

bool SimulatedDevice::IsPlugged() const {
    return session_.load() != 0;
}

void SimulatedDevice::SetDriverVersion(std::uint16_t version) {
    std::lock_guard lock(mutex_);
    driverVersion_ = version;
}

void SimulatedDevice::FailRequest(std::uint32_t controlCode, std::uint32_t status) {
    std::lock_guard lock(mutex_);
    failures_[controlCode] = status;
}

void SimulatedDevice::SetReportedPipeCount(std::uint32_t count) {
    std::lock_guard lock(mutex_);
    reportedPipeCount_ = count;
}

void SimulatedDevice::SetRequestTiming(std::uint32_t delayMs, bool never) {
    std::lock_guard lock(mutex_);
    requestDelayMs_ = delayMs;
    requestsNever_ = never || delayMs == kInfinite;
}

void SimulatedDevice::SetPipes(std::vector<Pipe> pipes) {
    std::lock_guard lock(mutex_);
    pipes_ = std::move(pipes);
}

void SimulatedDevice::SetBus(std::uint16_t bus) {
    bus_.store(bus);
}

bool SimulatedDevice::IsHalted(std::uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    return halted_.contains(endpoint);
}

std::size_t SimulatedDevice::HaltsCleared() const {
    std::lock_guard lock(mutex_);
    return haltsCleared_;
}

std::vector<std::uint8_t> SimulatedDevice::LastRequestInput(std::uint32_t controlCode) const {
    std::lock_guard lock(mutex_);
    auto it = lastInputs_.find(controlCode);
    return it == lastInputs_.end() ? std::vector<std::uint8_t>() : it->second;
}

std::size_t SimulatedDevice::RequestCount(std::uint32_t controlCode) const {
    std::lock_guard lock(mutex_);
    auto it = requestCounts_.find(controlCode);
    return it == requestCounts_.end() ? 0 : it->second;
}

bool SimulatedDevice::IsConfigured() const {
    std::lock_guard lock(mutex_);
    return configured_;
}

std::size_t SimulatedDevice::PendingReads() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [endpoint, reads] : reads_) {
        n += reads.size();
    }
    return n;
}

std::uint16_t SimulatedDevice::MaxPacketSize(std::uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    return PacketSize(endpoint);
}

std::uint16_t SimulatedDevice::PacketSize(std::uint8_t endpoint) const {
    for (const Pipe& pipe : pipes_) {
        if (pipe.endpoint == endpoint && pipe.maxPacketSize > 0) {
            return pipe.maxPacketSize;
        }
    }
    return 512;
}

std::vector<std::uint8_t> SimulatedDevice::DeviceDescriptor() const {
    std::vector<std::uint8_t> d(18, 0);
    d[0] = 18;            // bLength
    d[1] = 1;             // device descriptor
    Put16(d, 2, 0x0200);  // USB 2.0
    d[4] = 0;             // class given per interface
    d[7] = 64;            // bMaxPacketSize0
    Put16(d, 8, identity_.vendorId);
    Put16(d, 10, identity_.productId);
    Put16(d, 12, identity_.releaseNumber);
    d[17] = 1;  // one configuration
    return d;
}

std::vector<std::uint8_t> SimulatedDevice::ConfigurationDescriptor() const {
    const std::size_t total = 9 + 9 + 7 * pipes_.size();
    std::vector<std::uint8_t> d(total, 0);
    d[0] = 9;
    d[1] = 2;  // configuration descriptor
    Put16(d, 2, static_cast<std::uint16_t>(total));
    d[4] = 1;     // one interface
    d[5] = 1;     // bConfigurationValue
    d[7] = 0x80;  // bus powered
    d[8] = 50;    // 100 mA
    d[9] = 9;
    d[10] = 4;  // interface descriptor
    d[13] = static_cast<std::uint8_t>(pipes_.size());
    d[14] = 0xFF;  // vendor-specific class
    std::size_t at = 18;
    for (const Pipe& pipe : pipes_) {
        d[at] = 7;
        d[at + 1] = 5;  // endpoint descriptor
        d[at + 2] = pipe.endpoint;
        d[at + 3] = static_cast<std::uint8_t>(pipe.type & 3);
        Put16(d, at + 4, pipe.maxPacketSize);
        at += 7;
    }
    return d;
}

void SimulatedDevice::Answer(const UsbioRequest& request, std::uint32_t& status,
                             std::vector<std::uint8_t>& reply) {
    const std::uint32_t code = request.ControlCode();
    lastInputs_[code] = request.Input();
    ++requestCounts_[code];
    if (auto it = failures_.find(code); it != failures_.end() && it->second != 0) {
        status = it->second;
        return;
    }
    status = 0;
    switch (code) {
        case IOCTL_USBIO_GET_DRIVER_INFO:
            reply.assign(kDriverInfoSize, 0);
            Put16(reply, 0, driverVersion_);
            Put16(reply, 2, 0x0100);  // driver release
            break;
        case IOCTL_USBIO_GET_DESCRIPTOR: {
            const std::uint8_t type = request.Input()[4];
            if (type == 1) {
                reply = DeviceDescriptor();
            } else if (type == 2) {
                reply = ConfigurationDescriptor();
            } else {
                status = kStallStatus;
            }
            break;
        }
        case IOCTL_USBIO_SET_CONFIGURATION:
            configured_ = true;
            halted_.clear();  // a configuration starts the endpoints afresh
            break;
        case IOCTL_USBIO_GET_CONFIGURATION_INFO: {
            reply.assign(kConfigurationInfoSize, 0);
            const std::size_t pipes =
                configured_ ? std::min<std::size_t>(pipes_.size(), kMaxPipeInfos) : 0;
            Put32(reply, 0, configured_ ? 1 : 0);  // interfaces
            Put32(reply, 4,
                  reportedPipeCount_ == kTrueCount ? static_cast<std::uint32_t>(pipes)
                                                   : reportedPipeCount_);
            for (std::size_t i = 0; i < pipes; ++i) {
                const std::size_t at = kPipeInfoOffset + i * kPipeInfoSize;
                Put32(reply, at, pipes_[i].type);
                Put16(reply, at + 4, pipes_[i].maxPacketSize);
                reply[at + 10] = pipes_[i].endpoint;
            }
            break;
        }
        default:  // bind and unbind: the driver keeps the bindings
            break;
    }
}

void SimulatedDevice::Control(const std::shared_ptr<UsbioRequest>& request) {
    std::lock_guard lock(mutex_);
    if (session_.load() == 0) {
        request->Complete(USBIO_ERR_DEVICE_GONE);
        return;
    }
    const std::uint32_t code = request->ControlCode();
    if (code == IOCTL_USBIO_GET_DESCRIPTOR || code == IOCTL_USBIO_SET_CONFIGURATION) {
        // The standard requests go over the bus; the driver's own do not.
        request->OnBus(std::min<std::uint32_t>(request->Length(), 0xFFFF));
    }
    std::uint32_t status = 0;
    std::vector<std::uint8_t> reply;
    Answer(*request, status, reply);
    if (requestsNever_ || requestDelayMs_ > 0) {
        controls_.push_back(PendingControl{request, status, std::move(reply)});
        if (!requestsNever_) {
            Schedule(Deadline(requestDelayMs_), [this, r = request.get()] { FinishControl(r); });
        }
        return;
    }
    request->Complete(status, reply);
}

void SimulatedDevice::AnswerWaitingRequests() {
    std::lock_guard lock(mutex_);
    for (PendingControl& control : controls_) {
        control.request->Complete(control.status, control.reply);
    }
    controls_.clear();
}

void SimulatedDevice::FinishControl(const UsbioRequest* request) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(controls_.begin(), controls_.end(),
                           [&](const PendingControl& c) { return c.request.get() == request; });
    if (it != controls_.end()) {
        PendingControl control = std::move(*it);
        controls_.erase(it);
        control.request->Complete(control.status, control.reply);
    }
}

void SimulatedDevice::ClearHaltFor(std::uint8_t endpoint) {
    {
        std::lock_guard lock(mutex_);
        if (halted_.erase(endpoint) == 0) {
            return;
        }
        ++haltsCleared_;
    }
    UsbioDriver::CaptureDeviceRequest(*this, {0x02, 0x01, 0, 0, endpoint, 0, 0, 0}, 0);
}

void SimulatedDevice::Transfer(const std::shared_ptr<UsbioRequest>& request) {
    if (!IsPlugged()) {
        request->Complete(USBIO_ERR_DEVICE_GONE);
        return;
    }
    const std::uint8_t endpoint = request->Endpoint();
    ClearHaltFor(endpoint);
    if (IsHalted(endpoint)) {
        // The device answers every packet with a STALL until cleared.
        request->OnBus(request->Length(), request->OutData());
        request->Complete(kStallStatus);
        return;
    }
    if (request->GetType() == UsbioRequest::Type::BulkIn) {
        {
            std::lock_guard lock(mutex_);
            if (session_.load() == 0) {
                request->Complete(USBIO_ERR_DEVICE_GONE);
                return;
            }
            const std::size_t size = PacketSize(endpoint);
            const std::size_t buffer =
                std::max<std::size_t>(1, (request->Length() + size - 1) / size) * size;
            request->OnBus(static_cast<std::uint32_t>(buffer));
            reads_[endpoint].push_back(PendingRead{request, buffer, {}});
        }
        Pump();
        return;
    }
    request->OnBus(request->Length(), request->OutData());
    SimulatedFunction::OutResult result;
    if (function_) {
        result = function_->OnBulkOut(endpoint, request->OutData());
    }
    std::uint32_t accepted = std::min(result.accepted, request->Length());
    bool never = result.neverCompletes || result.delayMs == kInfinite;
    std::lock_guard lock(mutex_);
    if (accepted < request->Length() || result.status != 0) {
        // A write that does not move everything moves whole packets only,
        // and does not succeed: without an error the device refuses the
        // remaining packets until the host gives up on the write.
        const std::uint32_t size = PacketSize(endpoint);
        accepted -= accepted % size;
        never = never || result.status == 0;
    }
    if (session_.load() == 0) {  // vanished while taking the data
        request->Complete(USBIO_ERR_DEVICE_GONE, {}, accepted);
        return;
    }
    if (never || result.delayMs > 0) {
        writes_.push_back(PendingWrite{request, accepted, result.status});
        if (!never) {
            Schedule(Deadline(result.delayMs), [this, r = request.get()] { FinishWrite(r); });
        }
        return;
    }
    if (result.status == kStallStatus) {
        halted_.insert(endpoint);
    }
    request->Complete(result.status, {}, accepted);
}

void SimulatedDevice::FinishWrite(const UsbioRequest* request) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(writes_.begin(), writes_.end(),
                           [&](const PendingWrite& w) { return w.request.get() == request; });
    if (it != writes_.end()) {
        PendingWrite write = std::move(*it);
        writes_.erase(it);
        if (write.status == kStallStatus) {
            halted_.insert(write.request->Endpoint());
        }
        write.request->Complete(write.status, {}, write.accepted);
    }
}

void SimulatedDevice::Cancel(const std::shared_ptr<UsbioRequest>& request) {
    std::lock_guard lock(mutex_);
    for (auto& [endpoint, reads] : reads_) {
        auto it = std::find_if(reads.begin(), reads.end(),
                               [&](const PendingRead& r) { return r.request == request; });
        if (it != reads.end()) {
            PendingRead read = std::move(*it);
            reads.erase(it);
            request->Complete(ERROR_OPERATION_ABORTED, read.received);
            return;
        }
    }
    auto write = std::find_if(writes_.begin(), writes_.end(),
                              [&](const PendingWrite& w) { return w.request == request; });
    if (write != writes_.end()) {
        const std::uint32_t accepted = write->accepted;
        writes_.erase(write);
        request->Complete(ERROR_OPERATION_ABORTED, {}, accepted);
        return;
    }
    auto control = std::find_if(controls_.begin(), controls_.end(),
                                [&](const PendingControl& c) { return c.request == request; });
    if (control != controls_.end()) {
        controls_.erase(control);
        request->Complete(ERROR_OPERATION_ABORTED);
    }
}

}  // namespace platform::usbio
