#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/Scenario.h"

namespace sim {

// The instrument's side of the file transfer conversation, without any USB:
// it takes each frame the program writes and says what the instrument answers
// and when. A healthy instrument answers the opening request with OP_ACK,
// checks each header (terminating zero of the name, announced size), checks
// each data frame against the padding rule, collects the bytes, answers
// OP_FILE_OK once the announced count has arrived with a matching CRC-32 (a
// checksum of 0 is not checked) and, for a file whose name contains ".bin" or
// ".boot", answers once more after writing it to flash. The scenario bends
// this (other answers, silence, delays, vanishing, flash failures).
//
// Thread-safe: the USB side feeds frames on its thread while tests read what
// was received from theirs.
class InstrumentProtocol {
  public:
    struct Reaction {
        enum class Kind { Answer, Vanish };
        Kind kind = Kind::Answer;
        std::uint8_t byte = 0;
        std::uint32_t delayMs = 0;  // after the frame that caused it
    };

    struct File {
        std::string name;
        std::uint32_t announced = 0;
        std::uint32_t crc = 0;
        std::vector<std::uint8_t> bytes;          // the announced bytes, pad byte included
        std::size_t frames = 0;                   // data frames received
        bool complete = false;                    // the announced count arrived and was accepted
        std::optional<std::uint8_t> flashAnswer;  // the answer after flashing, for images
    };

    struct LogEntry {
        std::string file;     // the file being received, empty outside a file
        std::uint8_t opcode;  // first byte of the frame (0 for an empty write)
        std::size_t length;
        std::vector<std::uint8_t> answers;  // the bytes answered (not those left out)
    };

    explicit InstrumentProtocol(Scenario scenario = {});

    // One frame as the program wrote it. Returns the instrument's reactions
    // in order.
    std::vector<Reaction> OnFrame(const std::uint8_t* data, std::size_t size);

    // When the scenario makes the write of this frame stall part-way: how
    // many of its bytes go before it stalls.
    std::optional<std::uint32_t> PartialWrite(const std::uint8_t* data, std::size_t size) const;

    std::vector<File> Files() const;
    std::vector<LogEntry> Log() const;
    int StartCount() const;
    int EndCount() const;
    const Scenario& GetScenario() const { return scenario_; }

    // Writes every complete file into `directory` (the instrument's "flash")
    // under its announced name. Names that are not plain file names are
    // skipped. Returns false when a file cannot be written.
    bool WriteFlash(const std::string& directory, std::string& error) const;

    static bool IsImage(const std::string& name) {
        return name.find(".bin") != std::string::npos || name.find(".boot") != std::string::npos;
    }

  private:
    enum class State { Idle, Started, Receiving, AwaitTrailer };

    std::vector<Reaction> Header(const std::uint8_t* data, std::size_t size);
    std::vector<Reaction> Data(const std::uint8_t* data, std::size_t size);
    // The answer to frame `index` of the current file with the scenario's
    // faults applied; pushes to `out`.
    void Answer(std::vector<Reaction>& out, const std::string& file, std::uint32_t index,
                std::uint8_t normal, std::uint32_t baseDelayMs = 0);
    void FinishFile(std::vector<Reaction>& out);

    const Scenario scenario_;
    mutable std::mutex mutex_;
    State state_ = State::Idle;
    std::vector<File> files_;
    std::vector<LogEntry> log_;
    int starts_ = 0;
    int ends_ = 0;
};

}  // namespace sim
