#include "tests/support/UmockdevCapture.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace testsupport {
namespace {

std::uint32_t Le32(const std::vector<char>& v, std::size_t at) {
    std::uint32_t x = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        x |= static_cast<std::uint32_t>(static_cast<unsigned char>(v[at + i])) << (8 * i);
    }
    return x;
}

}  // namespace

bool UmockdevCapture::KeepBulk(const std::string& in, const std::string& out, std::uint8_t& device,
                               std::string& error) {
    std::ifstream file(in, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    constexpr std::size_t kFileHeader = 24;
    constexpr std::size_t kRecordHeader = 16;
    constexpr std::size_t kUsbmonHeader = 64;
    if (bytes.size() < kFileHeader || Le32(bytes, 0) != 0xA1B2C3D4 || Le32(bytes, 20) != 220) {
        error = in + ": not a usbmon capture";
        return false;
    }
    std::vector<char> kept(bytes.begin(), bytes.begin() + kFileHeader);
    device = 0;
    std::size_t at = kFileHeader;
    while (at < bytes.size()) {
        if (bytes.size() - at < kRecordHeader) {
            error = in + ": cut-off record";
            return false;
        }
        const std::uint32_t captured = Le32(bytes, at + 8);
        if (captured < kUsbmonHeader || bytes.size() - at - kRecordHeader < captured) {
            error = in + ": cut-off record";
            return false;
        }
        const std::size_t usbmon = at + kRecordHeader;
        if (bytes[usbmon + 8] == 'E') {
            error = in + ": holds an error record";
            return false;
        }
        if (bytes[usbmon + 9] == 3) {  // bulk
            kept.insert(kept.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(usbmon + captured));
            device = static_cast<std::uint8_t>(bytes[usbmon + 11]);
        }
        at = usbmon + captured;
    }
    std::ofstream(out, std::ios::binary)
        .write(kept.data(), static_cast<std::streamsize>(kept.size()));
    return true;
}

}  // namespace testsupport
