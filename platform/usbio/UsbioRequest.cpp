#include "platform/usbio/UsbioRequest.h"

#include <algorithm>
#include <cstring>

#include "platform/usbio/UsbioDriver.h"

namespace platform::usbio {

bool UsbioRequest::Complete(std::uint32_t status, std::span<const std::uint8_t> data,
                            std::uint32_t outBytes) {
    std::span<const std::uint8_t> delivered;
    {
        std::lock_guard lock(mutex_);
        if (completed_) {
            return false;
        }
        std::uint32_t bytes = 0;
        if (type_ == Type::BulkOut) {
            bytes = std::min(outBytes, length_);
        } else {
            const std::size_t n = std::min<std::size_t>(data.size(), length_);
            if (n > 0 && destination_ != nullptr) {
                std::memcpy(destination_, data.data(), n);
            }
            bytes = static_cast<std::uint32_t>(n);
            delivered = data.first(n);
        }
        completed_ = true;
        finalStatus_ = status;
        finalBytes_ = bytes;
    }
    UsbioDriver::Instance().OnCompleted(*this, delivered);
    return true;
}

bool UsbioRequest::IsCompleted() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

}  // namespace platform::usbio
