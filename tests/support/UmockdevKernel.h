#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/InstrumentProtocol.h"
#include "sim/Scenario.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace testsupport {

class UmockdevTestbed;

// The Linux kernel's usbdevfs for one USB device of a umockdev test bed: a
// umockdev ioctl handler on the device node that keeps URBs as the kernel
// does, with the simulated instrument (its protocol and the scenario's
// faults, frames in the scenario's packet size) behind bulk OUT 0x01 and bulk
// IN 0x81, each answer a packet of its own. libusb, and so the whole program,
// sees a device node like any other. What a real kernel and host controller
// do that the tests need:
// - a STALL (the scenario's "partial") halts the endpoint: every URB on it
//   ends with EPIPE until USBDEVFS_CLEAR_HALT or SETINTERFACE clears it;
// - SETINTERFACE, CLEAR_HALT and the others are recorded (Calls) and
//   answered;
// - Mute(): the device answers no control request: SETINTERFACE and
//   CLEAR_HALT end after the kernel's 5000 ms with ETIMEDOUT, a control URB
//   never completes (until it is discarded);
// - the scenario's "vanish", or Vanish(), disconnects the device: its URBs
//   end with ESHUTDOWN, later calls fail with ENODEV, the node goes and udev
//   clients hear "remove";
// - LongerAnswers(n): each answer packet carries n bytes more; a URB shorter
//   than the packet babbles (EOVERFLOW, the bytes that fit) and its endpoint
//   halts, as on an xHCI controller.
// Works only under umockdev's preload. Times are program milliseconds.
class UmockdevKernel {
  public:
    // The instrument's descriptors: 1209:0001, configuration 1 with interface
    // 0 holding bulk IN 0x81 and bulk OUT 0x01 of the scenario's packet size.
    static std::vector<std::uint8_t> Descriptors(std::uint16_t packetSize);

    // The device at bus:address, plugged in now unless plugged is false.
    UmockdevKernel(UmockdevTestbed& testbed, std::uint8_t address,
                   const sim::Scenario& scenario = {}, std::uint16_t bus = 1, bool plugged = true);
    ~UmockdevKernel();
    UmockdevKernel(const UmockdevKernel&) = delete;
    UmockdevKernel& operator=(const UmockdevKernel&) = delete;

    void Plug();
    // Disconnects the device and takes it off the test bed before returning.
    void Vanish();
    void Mute();
    // Every bulk OUT URB ends with a STALL, and the endpoint halts.
    void StallWrites();
    void LongerAnswers(std::size_t extra);
    // Runs once, before the first call on the node is answered (the first
    // open), on the test bed's thread.
    void OnFirstCall(std::function<void()> action);

    // "SETINTERFACE 0 0", "CLEAR_HALT 0x81", "CLAIM 0", "RELEASE 0",
    // "CONTROL", "DISCONNECT", and "EPIPE 0x01" for a URB sent to a halted
    // endpoint.
    std::vector<std::string> Calls() const;
    // False when no call starting with prefix came within ms.
    bool WaitForCall(const std::string& prefix, std::uint32_t ms) const;
    const sim::InstrumentProtocol& Protocol() const;
    std::string Node() const;  // /dev/bus/usb/BBB/DDD
    std::string SysfsPath() const { return sysfs_; }

  private:
    struct State;
    static int OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* state);
    void Remove();  // off the test bed, once

    UmockdevTestbed& testbed_;
    State* state_;  // owned by the handler, which the test bed may hold longer
    const std::uint16_t bus_;
    const std::uint8_t address_;
    UMockdevIoctlBase* handler_ = nullptr;
    std::string sysfs_;
    std::mutex removing_;
    bool removed_ = false;
};

}  // namespace testsupport
