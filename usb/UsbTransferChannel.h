#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "usb/CUsbDevice.h"
#include "usb/CUsbPipe.h"

// The one channel to the instrument: a device handle for configuration and
// descriptor queries, and an in-pipe and an out-pipe bound to the endpoints
// the driver lists. It configures the device with a fixed interface table and
// sends bytes with a time-out; the engine receives with InPipe()->ReadSync.
//
// Detection runs CreatePipes, opens Device() on instance 0 of the list it
// stores with SetDeviceList, then Configure and BindPipes, all on its own
// thread; afterwards the upgrade worker alone sends and reads. Close runs on
// the user-interface thread and touches only the device handle.
//
// Used before CreatePipes, the channel fails cleanly: Send returns 0xE0001013
// ("Pipe not found."), BindPipes does nothing, and InPipe()/OutPipe() give a
// pipe that was never opened (its transfers fail with ERROR_INVALID_HANDLE,
// its binding with 0xE0001013).
class UsbTransferChannel {
  public:
    struct InterfaceEntry {
        std::uint32_t enabled;
        std::uint32_t interfaceNumber;
        std::uint16_t alternateSetting;
        std::uint32_t maxTransferSize;
    };
    static constexpr int kInterfaceEntries = 6;

    UsbTransferChannel();
    // Destroys the in-pipe, then the out-pipe, then the device.
    ~UsbTransferChannel();
    UsbTransferChannel(const UsbTransferChannel&) = delete;
    UsbTransferChannel& operator=(const UsbTransferChannel&) = delete;

    void CreatePipes();
    std::uint32_t Configure();
    void BindPipes();
    // One write of the whole length on the out-pipe; length in/out.
    std::uint32_t Send(const void* data, std::uint32_t& length, std::uint32_t timeoutMs);
    CUsbPipe* InPipe();
    CUsbPipe* OutPipe();
    // Closes the device and sets the instance number to -1; the pipes stay.
    void Close();
    // Closes the pipes' handles, so that a transfer another thread is waiting
    // for ends at once (cancelled) and every later one fails at once. Any
    // thread, while the pipes are not being created or bound.
    void CancelTransfers();

    CUsbDevice& Device() { return m_Device; }
    CUsbDevice::DeviceList DeviceList() const { return m_hDeviceList; }
    void SetDeviceList(CUsbDevice::DeviceList list) { m_hDeviceList = list; }
    int InstanceNumber() const { return m_nInstance; }
    const std::array<InterfaceEntry, kInterfaceEntries>& InterfaceTable() const {
        return m_InterfaceTable;
    }

  private:
    std::array<InterfaceEntry, kInterfaceEntries> m_InterfaceTable;
    std::uint32_t m_nConfigurationIndex = 0;
    CUsbDevice m_Device;
    CUsbDevice::DeviceList m_hDeviceList = 0;
    int m_nInstance = 0;
    std::unique_ptr<CUsbPipe> m_pInPipe;
    std::unique_ptr<CUsbPipe> m_pOutPipe;
    CUsbPipe m_NoPipe;  // what InPipe()/OutPipe() give before CreatePipes
};
