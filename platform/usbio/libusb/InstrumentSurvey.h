#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/usbio/libusb/UsbIdList.h"

struct libusb_device;

namespace platform::usbio {

// A look at the USB devices that count as the instrument, for the operator
// who has to find out why one is not seen: where each one is, its serial
// number, and whether this user may open it. Opening is only tried, and
// nothing is ever sent to a device (it may be in the middle of an upgrade):
// what is shown comes from the system (sysfs), a serial number it does not
// know stays unknown.
class InstrumentSurvey {
  public:
    struct Instrument {
        int bus = 0;
        int device = 0;  // the device number (address) on its bus
        std::uint16_t vendor = 0;
        std::uint16_t product = 0;
        std::string serial;  // empty when it cannot be read
        std::string port;    // BUS-PORT[.PORT...]
        std::string node;    // /dev/bus/usb/BBB/DDD
        bool usable = false;
        int openError = 0;  // libusb's error when it cannot be opened
    };

    // The listed devices present now, in bus order. False, with a text in
    // error, when libusb cannot start.
    static bool Take(const UsbIdList& ids, std::vector<Instrument>& found, std::string& error);

    // What the system knows of a device without asking it: its place, pair
    // and serial number (usable and openError are left alone).
    static Instrument Describe(libusb_device* device);

    // The physical port path "BUS-PORT[.PORT...]", as sysfs names the
    // device; empty for a root hub.
    static std::string PortPath(libusb_device* device);

    // The serial number the system read from the device when it arrived
    // (sysfs); empty when unknown.
    static std::string SysfsSerial(int bus, int device);

    // The group whose members the installed udev rules let open the listed
    // instruments from any session (a station's service, SSH, cron).
    static constexpr const char* kStationGroup = "kestrup";
    // What a refused open means, from the device node's group and mode: who
    // may open the instrument, and the two ways for this user (a session at
    // the local seat, or the group); first the rule to add when the installed
    // rules do not cover the node. Lines after the first are indented; no
    // line end at the end.
    static std::string AccessAdvice(const Instrument& instrument);
};

}  // namespace platform::usbio
