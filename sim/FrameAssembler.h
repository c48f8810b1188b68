#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/InstrumentProtocol.h"

namespace sim {

// The instrument's bulk OUT endpoint: the frames of the file transfer
// conversation out of the packets the program writes. A frame ends with a
// short (or zero-length) packet or when it holds the largest frame's bytes:
// a frame of 8192 bytes is sixteen (or, in 64-byte packets, 128) full
// packets with nothing after them. A scenario's "partial" fault stalls a
// write after the whole packets within the bytes it names; the next write
// brings the rest of the frame. Not thread-safe: its owner serialises.
class FrameAssembler {
  public:
    struct Taken {
        std::vector<std::vector<std::uint8_t>> frames;  // whole frames, in order
        // The write stalled after this many bytes (whole packets).
        std::optional<std::uint32_t> stalledAfter;
    };

    // One write of packets of `packet` bytes.
    Taken Take(const InstrumentProtocol& protocol, std::span<const std::uint8_t> data,
               std::size_t packet);

  private:
    std::vector<std::uint8_t> receiving_;
    bool resuming_ = false;  // a stalled write's rest is coming
};

}  // namespace sim
