#pragma once

#include <string>

#include "platform/usbio/InstrumentId.h"
#include "platform/usbio/UsbioDevice.h"

// A run bound to one instrument (--instrument ID, or a station's run): its
// detection sees only that instrument, and it works in a directory of its
// own below the private temporary directory, so that runs bound to other
// instruments go on beside it. A station may also accept only serial
// numbers that fit a pattern (as the shell matches names: *, ?, [...]).
// Everything it sets is undone when it goes.
class BoundRun {
  public:
    BoundRun(platform::usbio::InstrumentId id, std::string serialPattern);
    ~BoundRun();
    BoundRun(const BoundRun&) = delete;
    BoundRun& operator=(const BoundRun&) = delete;

    const platform::usbio::InstrumentId& Id() const { return id_; }
    // The run's own directory, a plain name ("instrument-<id>").
    std::string DirectoryName() const;
    // Whether a device is this instrument and its serial number fits.
    bool Accepts(const platform::usbio::UsbioDevice& device) const;
    bool SerialFits(const std::string& serial) const;

    // From now on the run's temporary and staging directories are its own.
    void UseOwnDirectory();
    // Before BindDriver: an attached device that is this instrument but whose
    // serial number does not fit the pattern, told in a line; empty when there
    // is none.
    std::string Refusal() const;
    // From now on the driver lists only this instrument.
    void BindDriver();

  private:
    const platform::usbio::InstrumentId id_;
    const std::string serialPattern_;
    bool ownDirectory_ = false;
    bool driverBound_ = false;
};
