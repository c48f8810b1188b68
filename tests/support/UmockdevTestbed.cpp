#include "tests/support/UmockdevTestbed.h"

#include <umockdev.h>

#include <cstdio>

namespace testsupport {
namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string Three(unsigned n) {
    std::string s = std::to_string(n);
    return std::string(s.size() < 3 ? 3 - s.size() : 0, '0') + s;
}

}  // namespace

bool UmockdevTestbed::Active() {
    return umockdev_in_mock_environment() != 0;
}

UmockdevTestbed::UmockdevTestbed() : testbed_(umockdev_testbed_new()) {}

UmockdevTestbed::~UmockdevTestbed() {
    g_object_unref(testbed_);
}

std::string UmockdevTestbed::AddUsbDevice(std::uint8_t address,
                                          const std::vector<std::uint8_t>& descriptors,
                                          std::uint8_t activeConfiguration,
                                          const std::string& serial) {
    const std::string port = "1-" + std::to_string(++added_);
    const std::string node = "bus/usb/001/" + Three(address);
    const std::string description =
        "P: /devices/pci0000:00/0000:00:14.0/usb1/" + port +
        "\n"
        "N: " +
        node +
        "\n"
        "E: SUBSYSTEM=usb\n"
        "E: DEVTYPE=usb_device\n"
        "E: DEVNAME=/dev/" +
        node +
        "\n"
        "E: BUSNUM=001\n"
        "E: DEVNUM=" +
        Three(address) +
        "\n"
        "A: busnum=1\n"
        "A: devnum=" +
        std::to_string(address) +
        "\n"
        "A: bConfigurationValue=" +
        std::to_string(activeConfiguration) +
        "\n"
        "A: speed=480\n" +
        (serial.empty() ? std::string() : "A: serial=" + serial + "\n") +
        "H: descriptors=" + Hex(descriptors) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        std::fprintf(stderr, "umockdev: %s\n", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return {};
    }
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + port;
}

std::string UmockdevTestbed::RootDir() const {
    return umockdev_testbed_get_root_dir(testbed_);
}

std::string UmockdevTestbed::NodePath(std::uint8_t address) const {
    return RootDir() + "/dev/bus/usb/001/" + Three(address);
}

void UmockdevTestbed::Unplug(const std::string& sysfsPath) {
    umockdev_testbed_uevent(testbed_, sysfsPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, sysfsPath.c_str());
}

bool UmockdevTestbed::LoadPcap(const std::string& sysfsPath, const std::string& pcapPath,
                               std::string& error) {
    GError* failure = nullptr;
    if (!umockdev_testbed_load_pcap(testbed_, sysfsPath.c_str(), pcapPath.c_str(), &failure)) {
        error = failure != nullptr ? failure->message : "cannot load the capture";
        g_clear_error(&failure);
        return false;
    }
    return true;
}

}  // namespace testsupport
