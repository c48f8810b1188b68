#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrup {

// CRC-32 as in IEEE 802.3: reflected polynomial 0xEDB88320, table-driven one
// byte at a time, initial value 0xFFFFFFFF, result complemented.
class Crc32 {
  public:
    static constexpr std::uint32_t kInitial = 0xFFFFFFFFu;

    // Feeds bytes into a running (not yet complemented) value.
    static std::uint32_t Update(std::uint32_t running, const std::uint8_t* data, std::size_t size);
    // The whole checksum of a block.
    static std::uint32_t Of(const std::uint8_t* data, std::size_t size) {
        return ~Update(kInitial, data, size);
    }
};

}  // namespace kestrup
