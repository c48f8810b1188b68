#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/usbio/UsbioBackend.h"
#include "platform/usbio/UsbioRequest.h"
#include "platform/usbio/UsbioTypes.h"

namespace platform::usbio {

class UsbmonCapture;

// The stand-in for the kernel-mode USB driver: one process-wide instance that
// serves the Win32-style calls the transport makes (CreateFile, CloseHandle,
// DeviceIoControl, ReadFile, WriteFile, GetOverlappedResult, CancelIo and the
// per-thread last error) on the devices its back ends attach.
//
// Calls that fail set the calling thread's last error and return false (or
// kInvalidHandle); calls whose I/O goes on in the background return false
// with ERROR_IO_PENDING and complete through the overlapped record. All calls
// may be made from any thread.
//
// Device names: the path of an interface as the setupapi stand-in lists it,
// or "\\.\USBIO_Device<n>", which names the n-th attached interface.
//
// Per-handle rules: a handle is bound to at most one endpoint and an endpoint
// to at most one handle of a device (USBIO_ERR_ALREADY_BOUND); reads and
// writes need a bound handle (USBIO_ERR_NOT_BOUND) of the right direction
// (USBIO_ERR_INVALID_DIRECTION); a handle whose device was unplugged, even if
// plugged again since, gets USBIO_ERR_DEVICE_GONE. Closing a handle cancels
// whatever is pending on it.
//
// Capture: StartCapture writes every control request and bulk transfer that
// a device put on the bus, submission and completion, to a usbmon pcap file
// (see UsbmonCapture), with Linux's own status numbers.
class UsbioDriver {
  public:
    // Back ends. Installing the same back end twice has no effect.
    static void InstallBackend(std::shared_ptr<UsbioBackend> backend);
    static void RemoveBackend(const std::shared_ptr<UsbioBackend>& backend);
    static void RemoveAllBackends();
    // The attached interfaces, numbered from 0 across all back ends.
    static std::vector<std::shared_ptr<UsbioDevice>> AttachedDevices();
    // Only the devices the filter accepts are attached: every other one is
    // passed over as if absent (the device list, CreateFile). An empty filter
    // accepts every device. Called without driver locks, from any thread.
    using DeviceFilter = std::function<bool(const UsbioDevice&)>;
    static void SetDeviceFilter(DeviceFilter filter);

    static Handle CreateFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                             std::uint32_t disposition, std::uint32_t flags);
    static bool CloseHandle(Handle handle);
    static bool DeviceIoControl(Handle handle, std::uint32_t code, const void* input,
                                std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                                std::uint32_t* bytesReturned, Overlapped* overlapped);
    static bool ReadFile(Handle handle, void* data, std::uint32_t length, std::uint32_t* bytesRead,
                         Overlapped* overlapped);
    static bool WriteFile(Handle handle, const void* data, std::uint32_t length,
                          std::uint32_t* bytesWritten, Overlapped* overlapped);
    // With wait, blocks (without limit) until the I/O has completed.
    // Without wait, a pending I/O gives ERROR_IO_INCOMPLETE.
    static bool GetOverlappedResult(Handle handle, Overlapped* overlapped, std::uint32_t* bytes,
                                    bool wait);
    // Ends the pending I/O that the calling thread issued on handle; each
    // such I/O has completed (with ERROR_OPERATION_ABORTED unless it ended
    // first) when this returns.
    static bool CancelIo(Handle handle);

    static std::uint32_t GetLastError();
    static void SetLastError(std::uint32_t error);

    // Starts writing a capture to path (replacing a running capture); false
    // when the file cannot be created. StopCapture closes the file.
    static bool StartCapture(const std::string& path);
    static void StopCapture();
    // A standard control request that a back end sent to device on its own
    // (clearing a halt, selecting an alternate setting), with the driver
    // status it ended with: the capture shows it as the bus carried it. Any
    // thread, without locks of the back end that completions take.
    static void CaptureDeviceRequest(const UsbioDevice& device,
                                     const std::array<std::uint8_t, 8>& setup,
                                     std::uint32_t status);

    // For tests: handles open now.
    static std::size_t OpenHandleCount();

  private:
    friend class UsbioRequest;

    struct HandleState {
        std::shared_ptr<UsbioDevice> device;
        std::uint64_t session = 0;
        std::uint8_t boundEndpoint = 0;
        bool bound = false;
        std::vector<std::shared_ptr<UsbioRequest>> pending;
    };

    static UsbioDriver& Instance();
    UsbioDriver();
    ~UsbioDriver();

    static bool Fail(std::uint32_t error);  // sets the last error, returns false
    // Creates a pending request on an open handle (driver lock held).
    std::shared_ptr<UsbioRequest> NewRequest(Handle handle, UsbioRequest::Type type,
                                             Overlapped* overlapped);
    // Finds an open handle whose device is still attached; else the error.
    std::uint32_t Usable(Handle handle, HandleState*& state);
    // ReadFile and WriteFile: checks the handle's binding and direction, then
    // issues one bulk transfer.
    bool Bulk(Handle handle, UsbioRequest::Type type, std::uint8_t* in, const std::uint8_t* out,
              std::uint32_t length, std::uint32_t* bytes, Overlapped* overlapped);
    bool Issue(const std::shared_ptr<UsbioDevice>& device,
               const std::shared_ptr<UsbioRequest>& request, std::uint32_t* bytes);
    void CancelAll(const std::shared_ptr<UsbioDevice>& device,
                   const std::vector<std::shared_ptr<UsbioRequest>>& requests);
    // busStatus and busData: what the device said, before the driver's cut
    // to the length asked for.
    void OnCompleted(UsbioRequest& request, bool onBus, std::uint32_t busStatus,
                     std::span<const std::uint8_t> busData);
    void CaptureSubmission(const UsbioRequest& request, std::uint32_t busLength,
                           std::span<const std::uint8_t> outData);
    void CaptureCompletion(const UsbioRequest& request, std::uint32_t busStatus,
                           std::span<const std::uint8_t> busData);

    std::mutex mutex_;
    std::vector<std::shared_ptr<UsbioBackend>> backends_;
    DeviceFilter filter_;
    std::map<Handle, HandleState> handles_;
    Handle nextHandle_ = 1;
    std::uint64_t nextUrbId_ = 1;

    // Notified on every completion; GetOverlappedResult with wait blocks here.
    std::mutex completionMutex_;
    std::condition_variable completed_;

    std::mutex captureMutex_;
    std::unique_ptr<UsbmonCapture> capture_;
};

}  // namespace platform::usbio
