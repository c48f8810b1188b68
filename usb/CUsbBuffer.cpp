#include "usb/CUsbBuffer.h"

#include <atomic>
#include <new>

namespace {
std::atomic<int> g_eventFailures{0};
}

CUsbBuffer::CUsbBuffer() {
    if (g_eventFailures.load() == 0) {
        m_pEvent = platform::Event::Create(false, false);
    }
    m_Overlapped.event = m_pEvent.get();
}

CUsbBuffer::~CUsbBuffer() {
    m_Overlapped.event = nullptr;
    m_pEvent.reset();
    if (m_bOwnsData) {
        delete[] m_pData;
    }
}

void CUsbBuffer::Wrap(void* data, std::uint32_t size) {
    m_pData = static_cast<std::uint8_t*>(data);
    m_nDataSize = size;
}

bool CUsbBuffer::Allocate(std::uint32_t size) {
    auto* data = new (std::nothrow) std::uint8_t[size];
    if (data == nullptr) {
        return false;
    }
    if (m_bOwnsData) {
        delete[] m_pData;
    }
    m_pData = data;
    m_nDataSize = size;
    m_bOwnsData = true;
    return true;
}

CUsbBuffer::ScopedEventFailure::ScopedEventFailure() {
    ++g_eventFailures;
}

CUsbBuffer::ScopedEventFailure::~ScopedEventFailure() {
    --g_eventFailures;
}
