#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace testsupport {

// A umockdev test bed: a private sysfs and /dev in which libusb finds the
// USB devices a test describes, and whose device nodes answer from a usbmon
// capture. Works only in a process started under umockdev's preload
// (umockdev-wrapper or umockdev-run); Active() tells once a test bed exists.
// The test bed's files go under TMPDIR.
class UmockdevTestbed {
  public:
    // True when a test bed created in this process redirects sysfs and /dev.
    static bool Active();

    UmockdevTestbed();
    ~UmockdevTestbed();
    UmockdevTestbed(const UmockdevTestbed&) = delete;
    UmockdevTestbed& operator=(const UmockdevTestbed&) = delete;

    // Adds a USB device on bus (1 unless given) at address with the given
    // descriptors (the device descriptor followed by its configuration
    // descriptors) and the active configuration; returns its sysfs path.
    // A serial number, when given, is the sysfs attribute the kernel keeps.
    std::string AddUsbDevice(std::uint8_t address, const std::vector<std::uint8_t>& descriptors,
                             std::uint8_t activeConfiguration = 1,
                             const std::string& serial = std::string(), std::uint16_t bus = 1);
    // The test bed's root directory (its sysfs and /dev lie below).
    std::string RootDir() const;
    // The device node of the device at address on bus, in the test bed.
    std::string NodePath(std::uint8_t address, std::uint16_t bus = 1) const;
    // The device at sysfsPath goes away, with the "remove" event that udev
    // clients (libusb's hotplug) see.
    void Unplug(const std::string& sysfsPath);
    // Lets the device node of the device at sysfsPath answer from a usbmon
    // capture, strictly in its order.
    bool LoadPcap(const std::string& sysfsPath, const std::string& pcapPath, std::string& error);
    // Lets any user walk the test bed (up from the suite's TMPDIR) and reach
    // its sockets, so that a test may look as another user. False when a
    // permission cannot be set.
    bool OpenToOtherUsers();
    // Lets handler answer the calls on node (/dev/bus/usb/BBB/DDD).
    bool AttachIoctl(const std::string& node, UMockdevIoctlBase* handler);

  private:
    UMockdevTestbed* testbed_;
    int added_ = 0;
};

}  // namespace testsupport
