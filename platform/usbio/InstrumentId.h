#pragma once

#include <string>

#include "platform/usbio/UsbioDevice.h"

namespace platform::usbio {

// One instrument as an operator names it: by its physical port path
// "BUS-PORT[.PORT...]" (as sysfs names a USB device, e.g. "1-2.3", stable
// for a hub socket) or by its serial number. An ID of the port path's form
// is a port path; anything else is a serial number.
//
// IDs come from the command line and from systemd's instance names, so they
// are bounded: 1 to kMaxLength printable ASCII characters without spaces.
class InstrumentId {
  public:
    static constexpr std::size_t kMaxLength = 64;

    InstrumentId() = default;

    // False, with why in error, for text that is not an ID.
    static bool Parse(const std::string& text, InstrumentId& out, std::string& error);
    static bool IsPortPathForm(const std::string& text);

    bool Empty() const { return text_.empty(); }
    const std::string& Text() const { return text_; }
    bool IsPortPath() const { return IsPortPathForm(text_); }

    // Whether the instrument with this serial number at this port is the one.
    bool Matches(const std::string& serial, const std::string& portPath) const;
    bool Matches(const UsbioDevice& device) const {
        return Matches(device.Serial(), device.PortPath());
    }

    // A file name made from the ID, the same for the same ID and different
    // for different ones: letters, digits, '-', '_' and '.' stay (a leading
    // '.' does not), every other byte becomes %XX; a name that would grow
    // longer than kMaxLength becomes "~" and a hash of the ID.
    std::string FileName() const;

  private:
    std::string text_;
};

}  // namespace platform::usbio
