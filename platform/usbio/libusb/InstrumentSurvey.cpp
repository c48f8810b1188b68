#include "platform/usbio/libusb/InstrumentSurvey.h"

#include <libusb.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace platform::usbio {
namespace {

// The first line of a small sysfs attribute; empty when unreadable.
std::string ReadAttribute(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return {};
    }
    if (line.size() > 255) {
        line.resize(255);
    }
    return line;
}

std::string Number3(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d", n);
    return text;
}

// A name from the system's databases as it may be shown.
std::string Shown(const char* name) {
    std::string text = name != nullptr ? name : "";
    for (char& c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') {
            c = '?';
        }
    }
    return text.substr(0, 64);
}

std::string GroupName(gid_t gid) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::to_string(gid);
    }
    return Shown(entry.gr_name);
}

std::string UserName() {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return "\"$USER\"";
    }
    return Shown(entry.pw_name);
}

}  // namespace

std::string InstrumentSurvey::AccessAdvice(const Instrument& instrument) {
    const std::string station = kStationGroup;
    const std::string who =
        "the user at the local seat and the members of the group " + station + " may open it";
    const std::string ways =
        "either\n  run kestrup in a session at the local seat, or\n  add this "
        "user to the group " +
        station + ": sudo usermod -aG " + station + " " + UserName() + " (then log in again)";
    struct stat node {};
    std::string group = "?";
    unsigned mode = 0;
    if (::stat(instrument.node.c_str(), &node) == 0) {
        group = GroupName(node.st_gid);
        mode = node.st_mode & 07777;
    }
    char state[64];
    std::snprintf(state, sizeof state, "group %s, mode %04o", group.c_str(), mode);
    if (group == station && (mode & 0060) == 0060) {
        return "only " + who + " (" + state + "); " + ways;
    }
    char rule[256];
    std::snprintf(rule, sizeof rule,
                  "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"%04x\", "
                  "ATTR{idProduct}==\"%04x\", GROUP=\"%s\", MODE=\"0660\", TAG+=\"uaccess\"",
                  instrument.vendor, instrument.product, kStationGroup);
    return std::string("the instrument rules do not cover it (") + state +
           "); add its rule and reload the rules:\n  echo '" + rule +
           "' | sudo tee -a /etc/udev/rules.d/71-kestrup-local.rules\n  sudo udevadm control "
           "--reload && sudo udevadm trigger --subsystem-match=usb --action=change\nthen " +
           who + "; " + ways;
}

std::string InstrumentSurvey::SysfsSerial(int bus, int device) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/bus/usb/devices", ec)) {
        const auto dir = entry.path();
        if (ReadAttribute(dir / "busnum") == std::to_string(bus) &&
            ReadAttribute(dir / "devnum") == std::to_string(device)) {
            return ReadAttribute(dir / "serial");
        }
    }
    return {};
}

std::string InstrumentSurvey::PortPath(libusb_device* device) {
    std::uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, sizeof ports);
    if (count <= 0) {
        return {};
    }
    std::string path = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < count; ++i) {
        path.append(i == 0 ? "-" : ".").append(std::to_string(ports[i]));
    }
    return path;
}

InstrumentSurvey::Instrument InstrumentSurvey::Describe(libusb_device* device) {
    Instrument instrument;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS) {
        instrument.vendor = descriptor.idVendor;
        instrument.product = descriptor.idProduct;
    }
    instrument.bus = libusb_get_bus_number(device);
    instrument.device = libusb_get_device_address(device);
    instrument.node = "/dev/bus/usb/" + Number3(instrument.bus) + "/" + Number3(instrument.device);
    instrument.serial = SysfsSerial(instrument.bus, instrument.device);
    instrument.port = PortPath(device);
    return instrument;
}

bool InstrumentSurvey::Take(const UsbIdList& ids, std::vector<Instrument>& found,
                            std::string& error) {
    libusb_context* context = nullptr;
    if (const int rc = libusb_init(&context); rc != LIBUSB_SUCCESS) {
        error = std::string("libusb cannot start: ") + libusb_strerror(rc);
        return false;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
            !ids.Contains(descriptor.idVendor, descriptor.idProduct)) {
            continue;
        }
        Instrument instrument = Describe(list[i]);
        libusb_device_handle* handle = nullptr;
        const int rc = libusb_open(list[i], &handle);
        instrument.usable = rc == LIBUSB_SUCCESS;
        instrument.openError = rc;
        // Opening sends nothing to the device; no request follows, since
        // the instrument may be in the middle of an upgrade.
        if (handle != nullptr) {
            libusb_close(handle);
        }
        found.push_back(std::move(instrument));
    }
    if (list != nullptr) {
        libusb_free_device_list(list, 1);
    }
    libusb_exit(context);
    std::sort(found.begin(), found.end(), [](const Instrument& a, const Instrument& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.device < b.device;
    });
    return true;
}

}  // namespace platform::usbio
