#include "tests/support/UsbScriptedFunction.h"

using platform::usbio::SimulatedDevice;

UsbScriptedFunction::OutResult UsbScriptedFunction::OnBulkOut(std::uint8_t endpoint,
                                                              std::span<const std::uint8_t> data) {
    OutResult result;
    Handler handler;
    SimulatedDevice* device = nullptr;
    bool echo = false;
    {
        std::lock_guard lock(mutex_);
        written_.emplace_back(data.begin(), data.end());
        if (!script_.empty()) {
            result = script_.front();
            script_.pop_front();
        }
        handler = handler_;
        device = device_;
        echo = echo_;
    }
    if (handler) {
        result = handler(endpoint, data);
    }
    if (echo && device != nullptr) {
        device->QueueIn(0x81, std::vector<std::uint8_t>(data.begin(), data.end()));
    }
    return result;
}

void UsbScriptedFunction::Attach(SimulatedDevice* device) {
    std::lock_guard lock(mutex_);
    device_ = device;
}

void UsbScriptedFunction::ScriptOut(OutResult result) {
    std::lock_guard lock(mutex_);
    script_.push_back(result);
}

void UsbScriptedFunction::SetHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void UsbScriptedFunction::SetEcho(bool echo) {
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

std::vector<std::vector<std::uint8_t>> UsbScriptedFunction::Written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

SimulatedDevice* UsbScriptedFunction::Device() const {
    std::lock_guard lock(mutex_);
    return device_;
}
