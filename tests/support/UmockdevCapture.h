#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// Turns a capture of the driver stand-in into one that a umockdev replay can
// serve to the libusb back end: only the bulk transfers stay, since the
// driver's own requests (driver information, configuration information,
// binding) never reach the wire on a real device, and the descriptors and
// the configuration come from the replayed device's sysfs.
class UmockdevCapture {
  public:
    // Reads the usbmon capture at in and writes the bulk records to out.
    // device is the bus address they carry (0 when there are none). False,
    // with a text in error, when in is not a usbmon capture or holds an 'E'
    // record (which the replay cannot take).
    static bool KeepBulk(const std::string& in, const std::string& out, std::uint8_t& device,
                         std::string& error);
};

}  // namespace testsupport
