#include "platform/usbio/UsbioRequest.h"

#include <algorithm>
#include <cstring>

#include "platform/usbio/UsbioDriver.h"

namespace platform::usbio {

void UsbioRequest::OnBus(std::uint32_t busLength, std::span<const std::uint8_t> outData) {
    // Under the request's lock: the submission is written before any
    // completion can be.
    std::lock_guard lock(mutex_);
    if (completed_ || onBus_) {
        return;
    }
    onBus_ = true;
    UsbioDriver::Instance().CaptureSubmission(*this, busLength, outData);
}

bool UsbioRequest::Complete(std::uint32_t status, std::span<const std::uint8_t> data,
                            std::uint32_t outBytes) {
    bool onBus = false;
    {
        std::lock_guard lock(mutex_);
        if (completed_) {
            return false;
        }
        std::uint32_t bytes = 0;
        std::uint32_t final = status;
        if (type_ == Type::BulkOut) {
            bytes = std::min(outBytes, length_);
        } else {
            const std::size_t n = std::min<std::size_t>(data.size(), length_);
            if (n > 0 && destination_ != nullptr) {
                std::memcpy(destination_, data.data(), n);
            }
            bytes = static_cast<std::uint32_t>(n);
            if (type_ == Type::BulkIn && data.size() > length_ && status == 0) {
                final = USBIO_ERR_DATA_OVERRUN;  // the rest is lost
            } else if (type_ == Type::Control) {
                data = data.first(n);
            }
        }
        completed_ = true;
        onBus = onBus_;
        finalStatus_ = final;
        finalBytes_ = bytes;
    }
    UsbioDriver::Instance().OnCompleted(*this, onBus, status, data);
    return true;
}

bool UsbioRequest::IsCompleted() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

}  // namespace platform::usbio
