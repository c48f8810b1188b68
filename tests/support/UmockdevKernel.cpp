#include "tests/support/UmockdevKernel.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/TimeFacility.h"
#include "sim/FrameAssembler.h"
#include "tests/support/UmockdevTestbed.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// The kernel's time-out for the control requests it makes itself
// (USB_CTRL_SET_TIMEOUT).
constexpr std::uint32_t kKernelControlTimeoutMs = 5000;
constexpr std::uint8_t kIn = 0x81;
constexpr std::uint8_t kOut = 0x01;

Clock::time_point In(std::uint32_t ms) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(platform::TimeFacility::RealDuration(ms));
}

std::string Three(unsigned n) {
    char text[8];
    std::snprintf(text, sizeof text, "%03u", n);
    return text;
}

std::string Hex(unsigned n) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", n);
    return text;
}

}  // namespace

struct UmockdevKernel::State {
    struct Urb {
        UMockdevIoctlData* urb = nullptr;  // references of ours until reaped
        UMockdevIoctlData* buffer = nullptr;
        std::uint8_t type = 0;
        std::uint8_t endpoint = 0;
        std::uint32_t length = 0;
    };
    struct Done {
        Urb urb;
        int status;
        std::uint32_t actual;
        Bytes data;  // IN
    };

    State(const sim::Scenario& scenario, std::string devnode)
        : protocol(scenario), packet(scenario.packetSize), node(std::move(devnode)) {}
    ~State() {
        for (auto* list : {&pendingIn, &pendingControl}) {
            for (const Urb& urb : *list) {
                Release(urb);
            }
        }
        for (const Done& done : completed) {
            Release(done.urb);
        }
    }
    static void Release(const Urb& urb) {
        if (urb.buffer != nullptr) {
            g_object_unref(urb.buffer);
        }
        g_object_unref(urb.urb);
    }

    // The test bed's thread: one call on the node.
    gboolean Handle(UMockdevIoctlClient* client) {
        std::function<void()> first;
        {
            std::lock_guard lock(mutex);
            first = std::move(onFirstCall);
            onFirstCall = nullptr;
        }
        if (first) {
            first();
        }
        std::lock_guard lock(mutex);
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
        if (!alive || (disconnected && !reap)) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        const gsize size = (request >> _IOC_SIZESHIFT) & _IOC_SIZEMASK;
        UMockdevIoctlData* data =
            size > 0 ? umockdev_ioctl_data_resolve(arg, 0, size, nullptr) : nullptr;
        const auto number = [&] {
            return data != nullptr ? *reinterpret_cast<unsigned*>(data->data) : 0u;
        };
        long result = 0;
        int error = 0;
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES:
                *reinterpret_cast<std::uint32_t*>(data->data) = USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                                USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                                                USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
                break;
            case USBDEVFS_CLAIMINTERFACE:
                Record("CLAIM " + std::to_string(number()));
                break;
            case USBDEVFS_RELEASEINTERFACE:
                Record("RELEASE " + std::to_string(number()));
                break;
            case USBDEVFS_SETCONFIGURATION:
                Record("SETCONFIGURATION " + std::to_string(number()));
                break;
            case USBDEVFS_GETDRIVER:
                result = -1;
                error = ENODATA;  // no kernel driver on the interface
                break;
            case USBDEVFS_SETINTERFACE:
            case USBDEVFS_CLEAR_HALT: {
                const bool set = request == USBDEVFS_SETINTERFACE;
                const auto* words = reinterpret_cast<const unsigned*>(data->data);
                Record(set ? "SETINTERFACE " + std::to_string(words[0]) + " " +
                                 std::to_string(words[1])
                           : "CLEAR_HALT " + Hex(words[0]));
                if (muted) {
                    // The kernel gives up on the request after its time-out.
                    g_object_ref(client);
                    Later(kKernelControlTimeoutMs, [client] {
                        umockdev_ioctl_client_complete(client, -1, ETIMEDOUT);
                        g_object_unref(client);
                    });
                    if (data != nullptr) {
                        g_object_unref(data);
                    }
                    return TRUE;
                }
                // Both start the endpoints afresh.
                set ? halted.clear() : static_cast<void>(halted.erase(words[0]));
                break;
            }
            case USBDEVFS_RESETEP:
                break;
            case USBDEVFS_SUBMITURB:
                Submit(data, result, error);
                break;
            case USBDEVFS_DISCARDURB: {
                const auto address = *reinterpret_cast<const gulong*>(arg->data);
                if (!Discard(pendingIn, address) && !Discard(pendingControl, address)) {
                    result = -1;
                    error = EINVAL;  // done already
                }
                break;
            }
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY:
                Pump();
                if (completed.empty()) {
                    result = -1;
                    error = disconnected ? ENODEV : EAGAIN;
                } else {
                    Done done = std::move(completed.front());
                    completed.pop_front();
                    auto* urb = reinterpret_cast<usbdevfs_urb*>(done.urb.urb->data);
                    urb->status = done.status;
                    urb->actual_length = static_cast<int>(done.actual);
                    if (!done.data.empty() && done.urb.buffer != nullptr) {
                        std::memcpy(done.urb.buffer->data, done.data.data(), done.data.size());
                    }
                    umockdev_ioctl_data_set_ptr(data, 0, done.urb.urb);
                    Release(done.urb);
                }
                break;
            default:
                result = -1;
                error = ENOTTY;
                break;
        }
        umockdev_ioctl_client_complete(client, result, error);
        if (data != nullptr) {
            g_object_unref(data);
        }
        return TRUE;
    }

    void Submit(UMockdevIoctlData* data, long& result, int& error) {
        auto* u = reinterpret_cast<usbdevfs_urb*>(data->data);
        Urb urb;
        urb.urb = UMOCKDEV_IOCTL_DATA(g_object_ref(data));
        urb.type = u->type;
        urb.endpoint = u->endpoint;
        urb.length = static_cast<std::uint32_t>(std::max(u->buffer_length, 0));
        if (urb.length > 0) {
            urb.buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                     urb.length, nullptr);
        }
        if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
            Record("CONTROL");
            if (muted) {
                pendingControl.push_back(urb);  // never answered
            } else {
                completed.push_back(Done{urb, -EPIPE, 0, {}});  // no request of its own
            }
            return;
        }
        if (urb.type != USBDEVFS_URB_TYPE_BULK || (urb.endpoint != kIn && urb.endpoint != kOut)) {
            Release(urb);
            result = -1;
            error = EINVAL;
            return;
        }
        if (halted.contains(urb.endpoint)) {
            Record("EPIPE " + Hex(urb.endpoint));  // sent to a halted endpoint
            completed.push_back(Done{urb, -EPIPE, 0, {}});
            return;
        }
        if (urb.endpoint == kIn) {
            pendingIn.push_back(urb);
            Pump();
            return;
        }
        if (stallWrites) {
            halted.insert(kOut);
            completed.push_back(Done{urb, -EPIPE, 0, {}});
            return;
        }
        const auto taken = frames.Take(
            protocol,
            std::span<const std::uint8_t>(urb.buffer ? urb.buffer->data : nullptr, urb.length),
            packet);
        if (taken.stalledAfter) {
            halted.insert(kOut);
            completed.push_back(Done{urb, -EPIPE, *taken.stalledAfter, {}});
            return;
        }
        bool vanished = false;
        for (const auto& frame : taken.frames) {
            for (const auto& reaction : protocol.OnFrame(frame.data(), frame.size())) {
                if (reaction.kind == sim::InstrumentProtocol::Reaction::Kind::Answer) {
                    answers.emplace_back(In(reaction.delayMs), reaction.byte);
                } else if (reaction.delayMs == 0) {
                    vanished = true;
                } else {
                    Later(reaction.delayMs, [this] {
                        std::lock_guard lock(mutex);
                        Disconnect();
                    });
                }
            }
            if (vanished) {
                break;
            }
        }
        // A device that vanishes while taking the data ends the transfer.
        completed.push_back(Done{urb, vanished ? -ESHUTDOWN : 0, urb.length, {}});
        if (vanished) {
            Disconnect();
        }
    }

    // An unlinked URB ends with ECONNRESET.
    bool Discard(std::deque<Urb>& list, gulong address) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->urb->client_addr == address) {
                completed.push_back(Done{*it, -ECONNRESET, 0, {}});
                list.erase(it);
                return true;
            }
        }
        return false;
    }

    // Answers that are ready go to the IN URBs waiting, a packet each.
    void Pump() {
        const auto now = Clock::now();
        while (!pendingIn.empty() && !answers.empty() && answers.front().first <= now) {
            Bytes packetBytes(1 + extra, 0xA5);
            packetBytes[0] = answers.front().second;
            answers.pop_front();
            Urb urb = pendingIn.front();
            pendingIn.pop_front();
            if (packetBytes.size() > urb.length) {
                // Babble: the bytes that fit, and the endpoint halts.
                packetBytes.resize(urb.length);
                halted.insert(kIn);
                completed.push_back(Done{urb, -EOVERFLOW, urb.length, std::move(packetBytes)});
            } else {
                const auto actual = static_cast<std::uint32_t>(packetBytes.size());
                completed.push_back(Done{urb, 0, actual, std::move(packetBytes)});
            }
        }
    }

    // mutex held.
    void Disconnect() {
        if (disconnected) {
            return;
        }
        disconnected = true;
        Record("DISCONNECT");
        for (auto* list : {&pendingIn, &pendingControl}) {
            for (const Urb& urb : *list) {
                completed.push_back(Done{urb, -ESHUTDOWN, 0, {}});
            }
            list->clear();
        }
        Later(0, [this] { gone(); });
    }

    void Record(const std::string& call) {
        calls.push_back(call);
        called.notify_all();
    }

    // mutex held.
    void Later(std::uint32_t ms, std::function<void()> task) {
        if (stopping) {
            return;
        }
        tasks.emplace(In(ms), std::move(task));
        wake.notify_all();
    }

    void RunTasks() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (tasks.empty()) {
                wake.wait(lock);
                continue;
            }
            auto first = tasks.begin();
            if (const auto when = first->first; when > Clock::now()) {
                wake.wait_until(lock, when);
                continue;
            }
            auto task = std::move(first->second);
            tasks.erase(first);
            lock.unlock();
            task();
            lock.lock();
        }
    }

    mutable std::mutex mutex;
    mutable std::condition_variable called;
    sim::InstrumentProtocol protocol;
    sim::FrameAssembler frames;
    const std::size_t packet;
    const std::string node;
    std::function<void()> gone;  // takes the device off the test bed
    std::function<void()> onFirstCall;
    bool alive = true;
    bool muted = false;
    bool stallWrites = false;
    bool disconnected = false;
    std::size_t extra = 0;
    std::set<unsigned> halted;
    std::deque<Urb> pendingIn;
    std::deque<Urb> pendingControl;
    std::deque<Done> completed;
    std::deque<std::pair<Clock::time_point, std::uint8_t>> answers;
    std::vector<std::string> calls;

    std::condition_variable wake;
    std::multimap<Clock::time_point, std::function<void()>> tasks;
    bool stopping = false;
    std::thread timer;
};

int UmockdevKernel::OnIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                            void* state) {
    return static_cast<State*>(state)->Handle(client);
}

std::vector<std::uint8_t> UmockdevKernel::Descriptors(std::uint16_t packetSize) {
    const auto lo = static_cast<std::uint8_t>(packetSize);
    const auto hi = static_cast<std::uint8_t>(packetSize >> 8);
    return {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x09, 0x12, 0x01, 0x00, 0x00,
            0x01, 0x00, 0x00, 0x00, 0x01, 0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80,
            0x32, 0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x07, 0x05, kIn,
            0x02, lo,   hi,   0x00, 0x07, 0x05, kOut, 0x02, lo,   hi,   0x00};
}

UmockdevKernel::UmockdevKernel(UmockdevTestbed& testbed, std::uint8_t address,
                               const sim::Scenario& scenario, std::uint16_t bus, bool plugged)
    : testbed_(testbed),
      state_(new State(scenario, "/dev/bus/usb/" + Three(bus) + "/" + Three(address))),
      bus_(bus),
      address_(address) {
    state_->gone = [this] { Remove(); };
    state_->timer = std::thread([state = state_] { state->RunTasks(); });
    handler_ = umockdev_ioctl_base_new();
    // The state goes with the handler, which the test bed may hold longer.
    g_signal_connect_data(
        handler_, "handle-ioctl", G_CALLBACK(OnIoctl), state_,
        [](gpointer state, GClosure*) { delete static_cast<State*>(state); }, GConnectFlags(0));
    if (plugged) {
        Plug();
    }
}

UmockdevKernel::~UmockdevKernel() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    state_->timer.join();
    // What was still to come comes now: no caller stays blocked.
    std::multimap<Clock::time_point, std::function<void()>> tasks;
    {
        std::lock_guard lock(state_->mutex);
        tasks.swap(state_->tasks);
    }
    for (auto& [when, task] : tasks) {
        task();
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->alive = false;
    }
    g_object_unref(handler_);
}

void UmockdevKernel::Plug() {
    sysfs_ = testbed_.AddUsbDevice(
        address_, Descriptors(static_cast<std::uint16_t>(state_->packet)), 1, std::string(), bus_);
    testbed_.AttachIoctl(state_->node, handler_);
}

void UmockdevKernel::Vanish() {
    {
        std::lock_guard lock(state_->mutex);
        state_->Disconnect();
    }
    Remove();
}

void UmockdevKernel::Remove() {
    std::lock_guard lock(removing_);
    if (!sysfs_.empty() && !removed_) {
        removed_ = true;
        testbed_.Unplug(sysfs_);
    }
}

void UmockdevKernel::Mute() {
    std::lock_guard lock(state_->mutex);
    state_->muted = true;
}

void UmockdevKernel::StallWrites() {
    std::lock_guard lock(state_->mutex);
    state_->stallWrites = true;
}

void UmockdevKernel::LongerAnswers(std::size_t extra) {
    std::lock_guard lock(state_->mutex);
    state_->extra = extra;
}

void UmockdevKernel::OnFirstCall(std::function<void()> action) {
    std::lock_guard lock(state_->mutex);
    state_->onFirstCall = std::move(action);
}

std::vector<std::string> UmockdevKernel::Calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

bool UmockdevKernel::WaitForCall(const std::string& prefix, std::uint32_t ms) const {
    std::unique_lock lock(state_->mutex);
    return state_->called.wait_until(lock, In(ms), [&] {
        for (const std::string& call : state_->calls) {
            if (call.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    });
}

const sim::InstrumentProtocol& UmockdevKernel::Protocol() const {
    return state_->protocol;
}

std::string UmockdevKernel::Node() const {
    return state_->node;
}

}  // namespace testsupport
