#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/usbio/UsbioDevice.h"
#include "platform/usbio/libusb/DeviceNodeLock.h"
#include "platform/usbio/libusb/LibusbContext.h"

struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

namespace platform::usbio {

// One listed USB device reached through libusb, attached to the driver
// stand-in. It answers the driver's six requests from what libusb knows of
// the device and moves pipe data as libusb asynchronous transfers, one per
// request, completed on the context's event thread.
//
// | Request            | What the device does                                        |
// |--------------------|-------------------------------------------------------------|
// | driver information | opens the device (once) and answers interface version 0x0200;|
// |                    | an instrument another process holds (DeviceNodeLock) is    |
// |                    | refused as busy                                            |
// | get descriptor     | the device descriptor from libusb's copy; any other one     |
// |                    | with a GET_DESCRIPTOR control transfer                      |
// | set configuration  | selects the configuration by index, skipping the set when   |
// |                    | it is already active; claims each listed interface (a       |
// |                    | kernel driver on it is detached and later reattached) and   |
// |                    | selects its alternate setting, 0 included                   |
// | configuration info | one pipe entry per endpoint of the claimed interfaces       |
// | bind pipe          | accepts an endpoint of a claimed interface, else            |
// |                    | 0xE0001013 (pipe not found)                                 |
// | unbind pipe        | accepts                                                     |
//
// Cancel returns only when libusb has finished the transfer (a cancelled
// transfer ends with ERROR_OPERATION_ABORTED and the bytes it moved); on the
// event thread itself it does not wait. A transfer that ends in a STALL
// reports 0xE0000004; the endpoint's halt is cleared before the next
// transfer on it is submitted. When the
// device goes away everything pending ends with USBIO_ERR_DEVICE_GONE. When
// the last driver handle closes, the claimed interfaces are released, kernel
// drivers reattached and the libusb handle closed.
class LibusbDevice : public UsbioDevice {
  public:
    // Takes a reference on device. session numbers this attachment.
    LibusbDevice(std::shared_ptr<LibusbContext> context, libusb_device* device,
                 std::uint64_t session);
    ~LibusbDevice() override;
    LibusbDevice(const LibusbDevice&) = delete;
    LibusbDevice& operator=(const LibusbDevice&) = delete;

    libusb_device* Raw() const { return device_; }
    bool IsPlugged() const { return session_.load() != 0; }
    // The device has gone: pending requests end with USBIO_ERR_DEVICE_GONE
    // and the driver's handles on it are dead from now on. Any thread.
    void Unplug();
    // libusb transfers submitted and not yet finished (for tests).
    std::size_t TransfersInFlight();

    // --- UsbioDevice ---
    std::string Path() const override { return path_; }
    std::uint64_t Session() const override { return session_.load(); }
    std::uint8_t Address() const override { return address_; }
    std::uint16_t Bus() const override { return bus_; }
    std::string Serial() const override { return serial_; }
    std::string PortPath() const override { return port_; }
    void Control(const std::shared_ptr<UsbioRequest>& request) override;
    void Transfer(const std::shared_ptr<UsbioRequest>& request) override;
    void Cancel(const std::shared_ptr<UsbioRequest>& request) override;
    void LastHandleClosed() override;

  private:
    struct Flight;
    struct Endpoint {
        std::uint8_t address;
        std::uint8_t type;  // 0 control, 1 isochronous, 2 bulk, 3 interrupt
        std::uint16_t maxPacketSize;
        std::uint8_t interfaceNumber;
    };
    struct Claimed {
        std::uint8_t number;
        bool reattach;
    };

    static void OnTransferDone(libusb_transfer* transfer);
    void Finished(Flight* flight);
    // Submits a filled transfer; on failure completes the request.
    void Submit(std::shared_ptr<Flight> flight);
    void CancelAllFlights();

    // handleMutex_ held.
    std::uint32_t EnsureOpen();
    void ReleaseInterfaces();
    void Close();
    std::uint32_t Configure(const std::vector<std::uint8_t>& input);
    std::vector<std::uint8_t> ConfigurationInfo() const;
    // Clears the halt a STALL left on endpoint, if any; 0 or the status.
    std::uint32_t ClearHaltOf(std::uint8_t endpoint);
    void RequestDescriptor(const std::shared_ptr<UsbioRequest>& request);

    const std::shared_ptr<LibusbContext> context_;
    libusb_device* const device_;
    const std::string path_;
    const std::uint8_t address_;
    const std::uint16_t bus_;
    const std::string port_;
    const std::string serial_;  // as sysfs has it
    std::atomic<std::uint64_t> session_;

    // The libusb handle and what it holds. Never held while waiting for the
    // event thread, and never taken on it.
    std::mutex handleMutex_;
    libusb_device_handle* handle_ = nullptr;
    bool configured_ = false;
    std::vector<Claimed> claimed_;
    std::vector<Endpoint> endpoints_;
    bool accessReported_ = false;
    // Held from the open to the close: see DeviceNodeLock.
    DeviceNodeLock nodeLock_;
    bool busyReported_ = false;

    // Transfers submitted and not yet finished, and the endpoints that a
    // STALL left halted.
    std::mutex flightMutex_;
    std::vector<std::shared_ptr<Flight>> flights_;
    std::vector<std::uint8_t> halted_;
};

}  // namespace platform::usbio
