#include "platform/usbio/UsbmonCapture.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace platform::usbio {
namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

void Put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

}  // namespace

std::unique_ptr<UsbmonCapture> UsbmonCapture::Create(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return nullptr;
    }
    std::vector<std::uint8_t> header;
    Put32(header, 0xA1B2C3D4u);
    Put16(header, 2);
    Put16(header, 4);
    Put32(header, 0);  // time zone
    Put32(header, 0);  // accuracy
    Put32(header, kSnapLength);
    Put32(header, kLinkType);
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size() ||
        std::fflush(file) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return std::unique_ptr<UsbmonCapture>(new UsbmonCapture(file));
}

UsbmonCapture::~UsbmonCapture() {
    std::fclose(file_);
}

void UsbmonCapture::Write(const Record& record) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    const auto seconds = static_cast<std::uint64_t>(micros / 1000000);
    const auto usec = static_cast<std::uint32_t>(micros % 1000000);

    const std::uint32_t captured = static_cast<std::uint32_t>(
        std::min<std::size_t>(record.data.size(), kSnapLength - kHeaderSize));

    std::vector<std::uint8_t> out;
    out.reserve(16 + kHeaderSize + captured);
    // pcap record header.
    Put32(out, static_cast<std::uint32_t>(seconds));
    Put32(out, usec);
    Put32(out, kHeaderSize + captured);
    // Original length: what the record carries plus the data it left out.
    Put32(out, static_cast<std::uint32_t>(kHeaderSize + record.data.size()));
    // usbmon header.
    Put64(out, record.urbId);
    out.push_back(static_cast<std::uint8_t>(record.type));
    out.push_back(record.transferType);
    out.push_back(record.endpoint);
    out.push_back(record.device);
    Put16(out, record.bus);
    out.push_back(record.hasSetup ? 0 : static_cast<std::uint8_t>('-'));
    out.push_back(captured > 0 ? 0 : static_cast<std::uint8_t>(record.dataFlag));
    Put64(out, seconds);
    Put32(out, usec);
    Put32(out, static_cast<std::uint32_t>(record.status));
    Put32(out, record.urbLength);
    Put32(out, captured);
    for (std::uint8_t b : record.hasSetup ? record.setup : std::array<std::uint8_t, 8>{}) {
        out.push_back(b);
    }
    Put32(out, 0);  // interval
    Put32(out, 0);  // start frame
    Put32(out, record.transferFlags);
    Put32(out, 0);  // ISO descriptors
    out.insert(out.end(), record.data.begin(), record.data.begin() + captured);
    std::fwrite(out.data(), 1, out.size(), file_);
    std::fflush(file_);
}

}  // namespace platform::usbio
