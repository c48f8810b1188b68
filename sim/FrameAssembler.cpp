#include "sim/FrameAssembler.h"

#include "engine/Protocol.h"

namespace sim {

FrameAssembler::Taken FrameAssembler::Take(const InstrumentProtocol& protocol,
                                           std::span<const std::uint8_t> data, std::size_t packet) {
    Taken taken;
    if (receiving_.empty() && !resuming_) {
        if (auto part = protocol.PartialWrite(data.data(), data.size())) {
            const std::size_t whole = *part - *part % packet;
            receiving_.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(whole));
            resuming_ = true;
            taken.stalledAfter = static_cast<std::uint32_t>(whole);
            return taken;
        }
    }
    resuming_ = false;
    receiving_.insert(receiving_.end(), data.begin(), data.end());
    while (receiving_.size() >= kestrup::kDataFrameSize) {
        const auto end = receiving_.begin() + static_cast<std::ptrdiff_t>(kestrup::kDataFrameSize);
        taken.frames.emplace_back(receiving_.begin(), end);
        receiving_.erase(receiving_.begin(), end);
    }
    const bool endsShort = data.size() % packet != 0 || data.empty();
    if (endsShort && !receiving_.empty()) {
        taken.frames.push_back(std::move(receiving_));
        receiving_.clear();
    }
    return taken;
}

}  // namespace sim
