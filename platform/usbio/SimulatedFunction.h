#pragma once

#include <cstdint>
#include <span>

namespace platform::usbio {

class SimulatedDevice;

// The function logic of a simulated USB device: what the device does with
// the bytes the host writes to its OUT endpoint, and what it returns on its
// IN endpoint (through SimulatedDevice::QueueIn).
//
// Threading: OnBulkOut runs on the thread that issued the write, with no
// lock of the device held, so it may call back into the device (QueueIn,
// Unplug, the misbehaviour switches). It should not block for long.
class SimulatedFunction {
  public:
    // How one bulk OUT transfer completes.
    struct OutResult {
        static constexpr std::uint32_t kAll = 0xFFFFFFFFu;
        // Bytes of the transfer the device took (capped at the transfer's
        // length). Fewer than written make a partial write, which moves
        // only the whole packets within them and does not succeed: it ends
        // with status, or without one stays pending until cancelled.
        std::uint32_t accepted = kAll;
        // Completion status: 0, or a driver status such as 0xE0000004.
        std::uint32_t status = 0;
        // Completion after this many program milliseconds; 0 completes the
        // write before WriteFile returns.
        std::uint32_t delayMs = 0;
        // The write stays pending until cancelled or the device vanishes;
        // a cancel then reports `accepted` bytes as having gone.
        bool neverCompletes = false;
    };

    virtual ~SimulatedFunction() = default;

    // One bulk OUT transfer as the host wrote it. data is valid only during
    // the call; copy what must be kept.
    virtual OutResult OnBulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) = 0;

    // Gives the logic its device: called once by the SimulatedDevice
    // constructor, and with null by its destructor.
    virtual void Attach(SimulatedDevice* /*device*/) {}
};

}  // namespace platform::usbio
