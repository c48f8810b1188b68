#include "tests/support/UmockdevTestbed.h"

#include <umockdev.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

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
                                          const std::string& serial, std::uint16_t bus) {
    const std::string port = std::to_string(bus) + "-" + std::to_string(++added_);
    const std::string node = "bus/usb/" + Three(bus) + "/" + Three(address);
    const std::string parent = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/";
    const std::string description =
        "P: " + parent + port + "\nN: " + node +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/" + node +
        "\nE: BUSNUM=" + Three(bus) + "\nE: DEVNUM=" + Three(address) +
        "\nA: busnum=" + std::to_string(bus) + "\nA: devnum=" + std::to_string(address) +
        "\nA: bConfigurationValue=" + std::to_string(activeConfiguration) + "\nA: speed=480\n" +
        (serial.empty() ? std::string() : "A: serial=" + serial + "\n") +
        "H: descriptors=" + Hex(descriptors) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error)) {
        std::fprintf(stderr, "umockdev: %s\n", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return {};
    }
    return "/sys" + parent + port;
}

std::string UmockdevTestbed::RootDir() const {
    return umockdev_testbed_get_root_dir(testbed_);
}

std::string UmockdevTestbed::NodePath(std::uint8_t address, std::uint16_t bus) const {
    return RootDir() + "/dev/bus/usb/" + Three(bus) + "/" + Three(address);
}

bool UmockdevTestbed::OpenToOtherUsers() {
    const char* suite = std::getenv("TMPDIR");
    const std::string suiteDir = suite != nullptr ? suite : "/tmp";
    for (std::string dir = RootDir();
         dir.size() >= suiteDir.size() && dir.compare(0, suiteDir.size(), suiteDir) == 0;
         dir = dir.substr(0, dir.rfind('/'))) {
        if (::chmod(dir.c_str(), 0755) != 0) {
            return false;
        }
    }
    // libusb's udev monitor binds its emulated socket in the test bed, and
    // opening a node connects to the test bed's socket for it.
    if (::chmod(RootDir().c_str(), 0777) != 0) {
        return false;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(RootDir(), error)) {
        if (entry.is_directory() || entry.is_socket()) {
            std::filesystem::permissions(entry.path(), std::filesystem::perms::all, error);
        }
    }
    return !error;
}

bool UmockdevTestbed::AttachIoctl(const std::string& node, UMockdevIoctlBase* handler) {
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler, &error)) {
        std::fprintf(stderr, "umockdev: %s\n", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    return true;
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
