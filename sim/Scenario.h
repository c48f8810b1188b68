#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What the simulated instrument is told to do differently from a healthy
// instrument. Read from a small text file (see docs/simulated-instrument.md):
// one directive per line, "#" starts a comment.
struct Scenario {
    // Where in the conversation a fault applies.
    struct Point {
        std::string file = "*";  // a file name as announced in its header, or "*" for any
        // 0 is the header, 1 the first data frame, ...; kFlash is the flash result.
        std::uint32_t frame = 0;
        static constexpr std::uint32_t kFlash = 0xFFFFFFFFu;

        bool Matches(const std::string& name, std::uint32_t index) const {
            return (file == "*" || file == name) && frame == index;
        }
    };

    enum class Action { Answer, Silent, Delay, Vanish, Partial };

    struct Fault {
        Point at;
        Action action = Action::Answer;
        std::uint8_t answer = 0;    // Answer: the byte sent instead of the normal one
        std::uint32_t delayMs = 0;  // Delay: extra time before the normal answer
        std::uint32_t bytes = 0;    // Partial: bytes of the frame that go before the write stalls
    };

    enum class FlashOutcome { Ok, EraseFails, WriteFails };

    std::uint32_t attachDelayMs = 0;               // the instrument appears this long after start
    std::uint32_t flashTimeMs = 0;                 // how long writing an image to flash takes
    std::uint32_t capacity = 64u * 1024u * 1024u;  // the largest announced size accepted
    // The bulk endpoints' maximum packet size: 512 (high speed) or 64 (full
    // speed; the frames' padding rule is written for it).
    std::uint16_t packetSize = 512;
    // Answer to the opening request: OP_ACK unless told otherwise; nullopt
    // stays silent.
    std::optional<std::uint8_t> startAnswer = 4;
    std::vector<Fault> faults;
    struct FlashRule {
        std::string file = "*";
        FlashOutcome outcome = FlashOutcome::Ok;
    };
    std::vector<FlashRule> flash;
    // The serial number the instrument reports (empty: none), so that
    // several simulated instruments can be told apart.
    std::string serial;
    // Where the instrument keeps a copy of every complete file it received
    // when the session ends (an absolute directory path ending in "/"; empty:
    // nowhere), so that a run in another process can be checked.
    std::string flashDir;

    // The first fault at a point, if any.
    const Fault* FaultAt(const std::string& name, std::uint32_t frame) const;
    FlashOutcome FlashOutcomeFor(const std::string& name) const;

    // Parses a scenario text. On failure returns false with a message naming
    // the line.
    static bool Parse(const std::string& text, Scenario& out, std::string& error);
    static bool Load(const std::string& path, Scenario& out, std::string& error);
};

}  // namespace sim
