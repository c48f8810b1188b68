#pragma once

#include <cstdint>
#include <memory>

#include "platform/Event.h"
#include "platform/usbio/UsbioTypes.h"

// The descriptor of one transfer: the memory it reads into or writes from,
// the byte counts, its status and its overlapped record with an event of its
// own (auto-reset, created non-signalled). The status reads 0 once the
// transfer completed successfully, ERROR_IO_PENDING (997) while it is in
// flight, else the error or driver status that ended it.
//
// A descriptor must outlive its transfer: destroy it only once the transfer
// has completed.
class CUsbBuffer {
  public:
    // Zeroes every field and creates the event (left null if that fails).
    CUsbBuffer();
    // Closes the event and frees the data memory if the descriptor owns it.
    ~CUsbBuffer();
    CUsbBuffer(const CUsbBuffer&) = delete;
    CUsbBuffer& operator=(const CUsbBuffer&) = delete;

    // Uses the caller's memory (not owned).
    void Wrap(void* data, std::uint32_t size);
    // Allocates owned memory of size bytes; false when that fails.
    bool Allocate(std::uint32_t size);

    std::uint32_t m_nRequested = 0;
    std::uint32_t m_nTransferred = 0;
    std::uint32_t m_nStatus = 0;
    std::uint8_t* m_pData = nullptr;
    std::uint32_t m_nDataSize = 0;
    platform::usbio::Overlapped m_Overlapped;
    bool m_bOwnsData = false;

    // Test control: while alive, new descriptors get no event (as when the
    // system cannot create one).
    class ScopedEventFailure {
      public:
        ScopedEventFailure();
        ~ScopedEventFailure();
        ScopedEventFailure(const ScopedEventFailure&) = delete;
        ScopedEventFailure& operator=(const ScopedEventFailure&) = delete;
    };

  private:
    std::unique_ptr<platform::Event> m_pEvent;
};
