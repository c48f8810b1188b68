#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Event.h"
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
// |                    | with an asynchronous GET_DESCRIPTOR control transfer that   |
// |                    | libusb ends after kRequestBoundMs                           |
// | set configuration  | on the worker: selects the configuration by index, skipping |
// |                    | the set when it is already active; claims each listed       |
// |                    | interface (a kernel driver on it is detached and later      |
// |                    | reattached) and selects its alternate setting, 0 included   |
// | configuration info | one pipe entry per endpoint of the claimed interfaces       |
// | bind pipe          | accepts an endpoint of a claimed interface, else            |
// |                    | 0xE0001013 (pipe not found)                                 |
// | unbind pipe        | accepts                                                     |
//
// Where the work runs, so that nothing waits without bound:
// - libusb's synchronous requests (set configuration, set interface, clear
//   halt), which the kernel holds for up to 5 s each when a device does not
//   answer, and closing the libusb handle run on the context's worker, never
//   on a caller's thread nor under a lock that the driver's close takes.
// - A set-configuration request ends when the worker is done with it or,
//   whichever comes first, after kRequestBoundMs with USBIO_ERR_TIMEOUT (the
//   kernel may still be at it); a close ends it at once.
// - Cancel asks libusb to end the transfer and waits for its end at most
//   kCancelWaitMs (on the event thread not at all); after that the driver
//   ends the request itself, and a late end delivers nothing.
// - LastHandleClosed hands the handle to the worker and returns at once; the
//   worker waits for the handle's transfers, releases the interfaces,
//   reattaches kernel drivers and closes it.
// Closing a handle therefore takes at most kCancelWaitMs per transfer pending
// on it, and a request that a thread waits for ends within kRequestBoundMs.
//
// An IN transfer reads into a buffer of the length asked for rounded up to
// the endpoint's maximum packet size (one packet for 0), as the kernel wants
// it: a packet longer than asked for fills the buffer instead of overflowing
// it (which would halt the endpoint on some host controllers); the caller
// gets the bytes it asked for and USBIO_ERR_DATA_OVERRUN (the driver's rule).
// A transfer that ends in a STALL reports 0xE0000004 (a babble beyond the
// buffer 0xE0000008) and leaves its endpoint marked halted, under the same
// lock as the end of the transfer; a cancel waits for a transfer that is
// ending. The next transfer on a halted endpoint, or on one whose last
// transfer libusb has not finished yet (a cancel stopped waiting for it),
// goes through the worker: it waits for that transfer, clears a halt, then
// submits. When the device goes away everything pending ends with
// USBIO_ERR_DEVICE_GONE.
class LibusbDevice : public UsbioDevice, public std::enable_shared_from_this<LibusbDevice> {
  public:
    static constexpr std::uint32_t kRequestBoundMs = 1500;
    static constexpr std::uint32_t kCancelWaitMs = 500;

    // Takes a reference on device. session numbers this attachment. Always
    // owned by a shared_ptr.
    LibusbDevice(std::shared_ptr<LibusbContext> context, libusb_device* device,
                 std::uint64_t session);
    ~LibusbDevice() override;
    LibusbDevice(const LibusbDevice&) = delete;
    LibusbDevice& operator=(const LibusbDevice&) = delete;

    libusb_device* Raw() const { return device_; }
    bool IsPlugged() const { return session_.load() != 0; }
    // The device has gone: the driver's handles on it are dead from now on.
    // Any thread, also the event thread.
    void MarkGone() { session_.store(0); }
    // The device has gone: pending requests end with USBIO_ERR_DEVICE_GONE
    // and its transfers are cancelled. Any thread but the event thread.
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
    void Submit(const std::shared_ptr<Flight>& flight);
    // Runs work on the worker and completes the request with its status.
    void OnWorker(const std::shared_ptr<UsbioRequest>& request,
                  std::function<std::uint32_t()> work);

    // stateMutex_ held.
    // An open that comes right after this device's last handle was closed
    // (a detection pass opens each instrument to read its descriptor, then
    // the one it found) waits, up to kRequestBoundMs, for that close, which
    // holds the node's lock until it is done: the lock is its own, not
    // another copy's. Not on the worker, which runs the close. Call without
    // stateMutex_.
    void AwaitOwnClose();
    std::uint32_t EnsureOpen();
    std::vector<std::uint8_t> ConfigurationInfo() const;
    void RequestDescriptor(const std::shared_ptr<UsbioRequest>& request);
    // On the worker.
    std::uint32_t Configure(const std::shared_ptr<UsbioRequest>& request);
    std::uint32_t ClearHalt(libusb_device_handle* handle, std::uint8_t endpoint);
    void Release(libusb_device_handle* handle, const std::vector<Claimed>& claimed);
    // Waits for the handle's transfers, releases and closes it.
    void CloseHandle(libusb_device_handle* handle, const std::vector<Claimed>& claimed);

    const std::shared_ptr<LibusbContext> context_;
    libusb_device* const device_;
    const std::string path_;
    const std::uint8_t address_;
    const std::uint16_t bus_;
    const std::string port_;
    const std::string serial_;  // as sysfs has it
    std::atomic<std::uint64_t> session_;

    // The libusb handle and what it holds. Never held while waiting for the
    // event thread or the kernel, and never taken on the event thread.
    std::mutex stateMutex_;
    libusb_device_handle* handle_ = nullptr;
    bool configured_ = false;
    std::vector<Claimed> claimed_;
    std::vector<Endpoint> endpoints_;
    bool accessReported_ = false;
    // Held from the open to the close: see DeviceNodeLock.
    DeviceNodeLock nodeLock_;
    bool busyReported_ = false;
    // Set once the close of this device's last handle, which goes on on the
    // worker and keeps the node's lock until it is done, has ended; null when
    // none was posted.
    std::shared_ptr<Event> closed_;

    // Transfers submitted and not yet finished (ending ones included), the
    // requests the worker holds, and the endpoints that a STALL left halted.
    // The event thread takes it; nothing waits while holding it.
    std::mutex flightMutex_;
    std::vector<std::shared_ptr<Flight>> flights_;
    std::vector<std::shared_ptr<UsbioRequest>> waiting_;
    std::vector<std::uint8_t> halted_;
};

}  // namespace platform::usbio
