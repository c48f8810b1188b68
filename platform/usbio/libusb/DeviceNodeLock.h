#pragma once

#include <string>
#include <utility>

namespace platform::usbio {

// The lock that keeps two copies of the program from sending to one
// instrument, whoever runs them (a station service and another user's
// window, say): an exclusive flock on the instrument's device node
// (/dev/bus/usb/BBB/DDD), taken without waiting. Everyone who may talk to
// the instrument can open its node, and nobody else can take the lock; it
// names this attachment of the device, needs no directory shared between
// users, and goes with the process however it ends.
class DeviceNodeLock {
  public:
    enum class Result { Taken, Held, Failed };

    DeviceNodeLock() = default;
    ~DeviceNodeLock();
    DeviceNodeLock(const DeviceNodeLock&) = delete;
    DeviceNodeLock& operator=(const DeviceNodeLock&) = delete;
    // The lock moves with its descriptor (to whoever closes the device).
    DeviceNodeLock(DeviceNodeLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    DeviceNodeLock& operator=(DeviceNodeLock&& other) noexcept;

    // Held: another open file has it. Failed: the node cannot be opened
    // (errno says why). Taking a lock this object holds is Taken.
    Result Take(const std::string& node);
    void Release();
    bool Holds() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

}  // namespace platform::usbio
