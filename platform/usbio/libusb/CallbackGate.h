#pragma once

#include <mutex>

namespace platform::usbio {

// How a callback that a library may still be running after its owner has
// gone reaches that owner. libusb, for one, does not wait for a hotplug
// callback under way when the callback is deregistered. The gate outlives
// the owner (the library's user data points at it); the owner closes it
// before it goes, which waits for a callback inside it, and no callback
// reaches the owner afterwards. Any thread; a callback must not close the
// gate it runs in.
template <typename Target>
class CallbackGate {
  public:
    explicit CallbackGate(Target* target) : target_(target) {}
    CallbackGate(const CallbackGate&) = delete;
    CallbackGate& operator=(const CallbackGate&) = delete;

    // Calls call(target) unless the gate is closed; false when closed.
    template <typename Call>
    bool Pass(Call&& call) {
        std::lock_guard lock(mutex_);
        if (target_ == nullptr) {
            return false;
        }
        call(*target_);
        return true;
    }

    // Returns once no callback is inside; none gets in afterwards.
    void Close() {
        std::lock_guard lock(mutex_);
        target_ = nullptr;
    }

  private:
    std::mutex mutex_;
    Target* target_;
};

}  // namespace platform::usbio
