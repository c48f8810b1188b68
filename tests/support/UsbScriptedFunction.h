#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/usbio/SimulatedDevice.h"
#include "platform/usbio/SimulatedFunction.h"

// A scriptable function for the simulated USB device. Every bulk OUT
// transfer is recorded; it completes with the next scripted result (or, with
// none scripted, is taken whole at once). In echo mode each written transfer
// is queued back on endpoint 0x81.
class UsbScriptedFunction : public platform::usbio::SimulatedFunction {
  public:
    using Handler =
        std::function<OutResult(std::uint8_t endpoint, std::span<const std::uint8_t> data)>;

    OutResult OnBulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
    void Attach(platform::usbio::SimulatedDevice* device) override;

    void ScriptOut(OutResult result);
    // Replaces the scripted results with a handler called for every write.
    void SetHandler(Handler handler);
    void SetEcho(bool echo);

    std::vector<std::vector<std::uint8_t>> Written() const;
    platform::usbio::SimulatedDevice* Device() const;

  private:
    mutable std::mutex mutex_;
    platform::usbio::SimulatedDevice* device_ = nullptr;
    std::deque<OutResult> script_;
    Handler handler_;
    bool echo_ = false;
    std::vector<std::vector<std::uint8_t>> written_;
};
