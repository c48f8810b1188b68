#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Little-endian fields in byte images: the driver's records, USB descriptors
// and the file transfer's frames all store multi-byte values this way.
namespace platform::le {

inline std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The same at an offset of a byte vector, which must be long enough.
inline void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
    Put16(out.data() + at, v);
}

inline void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    Put32(out.data() + at, v);
}

}  // namespace platform::le
