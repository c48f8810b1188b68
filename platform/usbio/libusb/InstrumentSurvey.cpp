#include "platform/usbio/libusb/InstrumentSurvey.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

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

}  // namespace

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
        if (handle != nullptr) {
            if (instrument.serial.empty() && descriptor.iSerialNumber != 0) {
                unsigned char text[256] = {};
                const int n = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                                 text, sizeof text - 1);
                if (n > 0) {
                    instrument.serial.assign(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(n));
                }
            }
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
