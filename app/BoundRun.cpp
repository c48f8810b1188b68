#include "app/BoundRun.h"

#include <fnmatch.h>

#include "app/RunLock.h"
#include "platform/PrivateTempDir.h"
#include "platform/usbio/UsbioDriver.h"

BoundRun::BoundRun(platform::usbio::InstrumentId id, std::string serialPattern)
    : id_(std::move(id)), serialPattern_(std::move(serialPattern)) {}

BoundRun::~BoundRun() {
    if (driverBound_) {
        platform::usbio::UsbioDriver::SetDeviceFilter(nullptr);
    }
    if (ownDirectory_) {
        platform::PrivateTempDir::SetRunSubdirectory(std::string());
    }
}

std::string BoundRun::DirectoryName() const {
    return std::string(RunLock::kOwnPrefix) + id_.FileName();
}

bool BoundRun::SerialFits(const std::string& serial) const {
    return serialPattern_.empty() || ::fnmatch(serialPattern_.c_str(), serial.c_str(), 0) == 0;
}

bool BoundRun::Accepts(const platform::usbio::UsbioDevice& device) const {
    return id_.Matches(device) && SerialFits(device.Serial());
}

void BoundRun::UseOwnDirectory() {
    platform::PrivateTempDir::SetRunSubdirectory(DirectoryName());
    ownDirectory_ = true;
}

std::string BoundRun::Refusal() const {
    for (const auto& device : platform::usbio::UsbioDriver::AttachedDevices()) {
        if (id_.Matches(*device) && !SerialFits(device->Serial())) {
            return "the instrument " + id_.Text() + " has the serial number " +
                   (device->Serial().empty() ? std::string("(none)") : device->Serial()) +
                   ", which does not fit the station's pattern " + serialPattern_ +
                   "; it is left alone";
        }
    }
    return {};
}

void BoundRun::BindDriver() {
    platform::usbio::UsbioDriver::SetDeviceFilter(
        [this](const platform::usbio::UsbioDevice& device) { return Accepts(device); });
    driverBound_ = true;
}
