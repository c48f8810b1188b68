#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/usbio/SimulatedFunction.h"
#include "platform/usbio/UsbioDevice.h"

namespace platform::usbio {

// A simulated USB device behind the driver stand-in: a standard device
// descriptor, one configuration with interface 0 and, by default, a bulk IN
// endpoint 0x81 and a bulk OUT endpoint 0x01 of 512 bytes maximum packet
// size. It answers the driver's six requests itself; what happens on the
// bulk endpoints is up to its SimulatedFunction.
//
// The bulk endpoints behave as bulk endpoints do, in packets of the
// endpoint's maximum packet size (512 high-speed, 64 full-speed):
// - IN: QueueIn sends its bytes as packets after a delay: full packets, then
//   a short one for the rest; bytes that are an exact multiple of the packet
//   size end with no short packet, and no bytes give one zero-length packet.
//   The host reads into a buffer of the length asked for rounded up to whole
//   packets (one packet for 0), as a Linux host does: a read gathers packets
//   until a short (or zero-length) packet or a full buffer ends it; until
//   then it stays pending (until data comes, it is cancelled, or the device
//   vanishes, 0xE000100A). Bytes beyond the length asked for are lost and
//   the read ends with kOverflowStatus (the driver's rule).
// - OUT: a write either moves all its bytes or ends with a count of whole
//   packets: by an error status of the function (a STALL, say), or, when the
//   function takes fewer bytes without one, by waiting (the device refuses
//   further packets) until it is cancelled or the device vanishes.
// - A STALL leaves the endpoint halted: the device answers every packet on
//   it with a STALL until a CLEAR_FEATURE(ENDPOINT_HALT) clears it (or a
//   configuration resets it). The host side clears it before its next
//   transfer on that endpoint, as the libusb back end does, and the capture
//   shows that request.
// A read or write that is cancelled or cut off reports the bytes that moved.
// Only what goes over the bus appears in a capture: the descriptor and
// set-configuration requests and the bulk transfers, not the driver's own.
//
// Delays are program milliseconds, timed through the time facility (so
// tests scale them). One timer thread per device blocks while idle.
// All public functions may be called from any thread, also from inside
// SimulatedFunction::OnBulkOut.
class SimulatedDevice : public UsbioDevice {
  public:
    // The bus the simulated devices are on, as captures show it (SetBus
    // moves one).
    static constexpr std::uint16_t kBus = 1;
    // More data than the read asked for (babble).
    static constexpr std::uint32_t kOverflowStatus = USBIO_ERR_DATA_OVERRUN;
    // The device answered with a STALL.
    static constexpr std::uint32_t kStallStatus = USBIO_ERR_STALL_PID;

    struct Identity {
        std::uint16_t vendorId = 0x1209;  // test identifiers of the simulated device
        std::uint16_t productId = 0x0001;
        std::uint16_t releaseNumber = 0x0100;
        std::string serial = {};  // empty: the device has no serial number
        std::string port = {};    // "BUS-PORT[.PORT...]"; the back end gives one when empty
    };

    // One endpoint as the configuration lists it. Pipe types: 0 control,
    // 1 isochronous, 2 bulk, 3 interrupt.
    struct Pipe {
        std::uint8_t endpoint;
        std::uint32_t type;
        std::uint16_t maxPacketSize;
    };

    // Created plugged in. path is the interface path the setupapi stand-in
    // lists; address is the bus address shown in captures.
    SimulatedDevice(std::shared_ptr<SimulatedFunction> function, std::string path,
                    std::uint8_t address, Identity identity);
    SimulatedDevice(std::shared_ptr<SimulatedFunction> function, std::string path,
                    std::uint8_t address);
    ~SimulatedDevice() override;
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    // --- what the function logic (or a test) drives ---
    void QueueIn(std::uint8_t endpoint, std::vector<std::uint8_t> bytes, std::uint32_t delayMs = 0);
    // Unplug ends everything pending with 0xE000100A, drops queued IN data
    // and the configuration; handles opened before stay dead even after Plug.
    void Unplug();
    void Plug();
    bool IsPlugged() const;
    // Unplugs after delayMs (to vanish in the middle of a transfer).
    void UnplugAfter(std::uint32_t delayMs);

    // --- misbehaviour switches ---
    // Interface version in the driver-information reply (normally 0x0200).
    void SetDriverVersion(std::uint16_t version);
    // Makes one of the six requests complete with status (0 restores).
    void FailRequest(std::uint32_t controlCode, std::uint32_t status);
    // Pipe count the configuration information reports, whatever it holds
    // (above 32 over-fills the record); kTrueCount restores.
    static constexpr std::uint32_t kTrueCount = 0xFFFFFFFFu;
    void SetReportedPipeCount(std::uint32_t count);
    // Every request answers after delayMs, or never (until cancelled or
    // unplugged).
    void SetRequestTiming(std::uint32_t delayMs, bool never = false);
    // Answers, now, every request that is still waiting for its answer (a
    // late answer that comes when the caller says, not at a time).
    void AnswerWaitingRequests();
    // Replaces the endpoints the configuration lists.
    void SetPipes(std::vector<Pipe> pipes);
    // Puts the device on another bus (before it is used).
    void SetBus(std::uint16_t bus);

    // --- observation, for tests ---
    // The input of the last request with this control code (empty if none).
    std::vector<std::uint8_t> LastRequestInput(std::uint32_t controlCode) const;
    // How many requests with this control code reached the device.
    std::size_t RequestCount(std::uint32_t controlCode) const;
    bool IsConfigured() const;
    std::size_t PendingReads() const;
    // The maximum packet size of an endpoint as the configuration lists it
    // (512 for one it does not list). Any thread.
    std::uint16_t MaxPacketSize(std::uint8_t endpoint) const;
    // The 18-byte device descriptor.
    std::vector<std::uint8_t> DeviceDescriptor() const;
    // Whether a STALL left the endpoint halted, and how many halts the host
    // has cleared.
    bool IsHalted(std::uint8_t endpoint) const;
    std::size_t HaltsCleared() const;

    // --- UsbioDevice ---
    std::string Path() const override { return path_; }
    std::uint64_t Session() const override { return session_.load(); }
    std::uint8_t Address() const override { return address_; }
    std::uint16_t Bus() const override { return bus_.load(); }
    std::string Serial() const override { return identity_.serial; }
    std::string PortPath() const override { return identity_.port; }
    void Control(const std::shared_ptr<UsbioRequest>& request) override;
    void Transfer(const std::shared_ptr<UsbioRequest>& request) override;
    void Cancel(const std::shared_ptr<UsbioRequest>& request) override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Packet {
        std::vector<std::uint8_t> bytes;  // at most one maximum packet size
        Clock::time_point readyAt;
    };
    struct PendingRead {
        std::shared_ptr<UsbioRequest> request;
        std::size_t buffer;                  // the length asked for in whole packets
        std::vector<std::uint8_t> received;  // the full packets it has so far
    };
    struct PendingWrite {
        std::shared_ptr<UsbioRequest> request;
        std::uint32_t accepted;
        std::uint32_t status;
    };
    struct PendingControl {
        std::shared_ptr<UsbioRequest> request;
        std::uint32_t status;
        std::vector<std::uint8_t> reply;
    };

    std::vector<std::uint8_t> ConfigurationDescriptor() const;  // lock held
    std::uint16_t PacketSize(std::uint8_t endpoint) const;      // lock held
    void Answer(const UsbioRequest& request, std::uint32_t& status,
                std::vector<std::uint8_t>& reply);  // lock held
    void Pump();
    void Schedule(Clock::time_point when, std::function<void()> action);
    void TimerLoop();
    void FinishWrite(const UsbioRequest* request);
    // The host's CLEAR_FEATURE(ENDPOINT_HALT) before a transfer on a halted
    // endpoint.
    void ClearHaltFor(std::uint8_t endpoint);
    void FinishControl(const UsbioRequest* request);

    const std::shared_ptr<SimulatedFunction> function_;
    const std::string path_;
    const std::uint8_t address_;
    const Identity identity_;
    std::atomic<std::uint64_t> session_{0};
    std::atomic<std::uint16_t> bus_{kBus};

    mutable std::mutex mutex_;
    std::uint64_t lastSession_ = 0;
    std::uint16_t driverVersion_ = 0x0200;
    std::map<std::uint32_t, std::uint32_t> failures_;
    std::uint32_t reportedPipeCount_ = kTrueCount;
    std::uint32_t requestDelayMs_ = 0;
    bool requestsNever_ = false;
    std::vector<Pipe> pipes_;
    bool configured_ = false;
    std::set<std::uint8_t> halted_;
    std::size_t haltsCleared_ = 0;
    std::map<std::uint32_t, std::vector<std::uint8_t>> lastInputs_;
    std::map<std::uint32_t, std::size_t> requestCounts_;
    std::map<std::uint8_t, std::deque<Packet>> packets_;
    std::map<std::uint8_t, std::deque<PendingRead>> reads_;
    std::vector<PendingWrite> writes_;
    std::vector<PendingControl> controls_;

    std::mutex timerMutex_;
    std::condition_variable timerWake_;
    std::multimap<Clock::time_point, std::function<void()>> timers_;
    bool stopping_ = false;
    std::thread timerThread_;
};

}  // namespace platform::usbio
