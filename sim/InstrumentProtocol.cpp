#include "sim/InstrumentProtocol.h"

#include <zlib.h>

#include <cstring>

#include "engine/Protocol.h"
#include "platform/FileSystem.h"
#include "platform/LittleEndian.h"

namespace sim {

using kestrup::OP_ACK;
using kestrup::OP_CRC_FAIL;
using kestrup::OP_FILE_OK;
using kestrup::OP_FILE_SIZE_FAIL;
using kestrup::OP_FLASH_ERASE_FAIL;
using kestrup::OP_FLASH_WRITE_FAIL;
using kestrup::OP_PACKET_ERROR;

InstrumentProtocol::InstrumentProtocol(Scenario scenario) : scenario_(std::move(scenario)) {}

std::vector<InstrumentProtocol::Reaction> InstrumentProtocol::OnFrame(const std::uint8_t* data,
                                                                      std::size_t size) {
    std::lock_guard lock(mutex_);
    const std::uint8_t opcode = size > 0 ? data[0] : 0;
    const bool inFile = state_ == State::Receiving || state_ == State::AwaitTrailer;
    log_.push_back(LogEntry{inFile ? files_.back().name : std::string(), opcode, size, {}});

    std::vector<Reaction> out;
    if (size == 1 && opcode == kestrup::OP_START_UPGRADE) {
        ++starts_;
        state_ = State::Started;
        if (scenario_.startAnswer) {
            out.push_back(Reaction{Reaction::Kind::Answer, *scenario_.startAnswer, 0});
        }
    } else if (size == 1 && opcode == kestrup::OP_END_UPGRADE) {
        ++ends_;
        state_ = State::Idle;
    } else if (opcode == kestrup::OP_FILE_HEADER && state_ != State::Idle) {
        out = Header(data, size);
    } else if (opcode == kestrup::OP_FILE_DATA && inFile) {
        out = Data(data, size);
    } else {
        // Out of order or unknown.
        out.push_back(Reaction{Reaction::Kind::Answer, OP_PACKET_ERROR, 0});
    }
    for (const Reaction& r : out) {
        if (r.kind == Reaction::Kind::Answer) {
            log_.back().answers.push_back(r.byte);
        }
    }
    return out;
}

std::vector<InstrumentProtocol::Reaction> InstrumentProtocol::Header(const std::uint8_t* data,
                                                                     std::size_t size) {
    std::vector<Reaction> out;
    state_ = State::Started;
    if (size != kestrup::kHeaderFrameSize) {
        out.push_back(Reaction{Reaction::Kind::Answer, OP_PACKET_ERROR, 0});
        return out;
    }
    const char* field = reinterpret_cast<const char*>(data + kestrup::kHeaderNameOffset);
    const void* zero = std::memchr(field, 0, kestrup::kHeaderNameField);
    if (zero == nullptr || field[0] == '\0') {
        out.push_back(Reaction{Reaction::Kind::Answer, OP_PACKET_ERROR, 0});
        return out;
    }
    File file;
    file.name = std::string(field);
    file.announced = platform::le::Get32(data + kestrup::kHeaderSizeOffset);
    file.crc = platform::le::Get32(data + kestrup::kHeaderCrcOffset);
    files_.push_back(file);
    if (file.announced > scenario_.capacity) {
        Answer(out, file.name, 0, OP_FILE_SIZE_FAIL);
        return out;
    }
    files_.back().bytes.reserve(file.announced);
    state_ = State::Receiving;
    Answer(out, file.name, 0, OP_ACK);
    return out;
}

std::vector<InstrumentProtocol::Reaction> InstrumentProtocol::Data(const std::uint8_t* data,
                                                                   std::size_t size) {
    std::vector<Reaction> out;
    File& file = files_.back();
    ++file.frames;
    const auto index = static_cast<std::uint32_t>(file.frames);

    if (state_ == State::AwaitTrailer) {
        // After a frame of 8191 or more bytes that completed the file, the
        // program sends one more frame with no data.
        if (size != 1) {
            state_ = State::Started;
            Answer(out, file.name, index, OP_PACKET_ERROR);
            return out;
        }
        Answer(out, file.name, index, OP_ACK);
        FinishFile(out);
        return out;
    }
    const bool padded = size < kestrup::kDataFrameSize && size % kestrup::kPadModulus == 0;
    const std::size_t n = size - 1;
    if (padded || size > kestrup::kDataFrameSize || file.bytes.size() + n > file.announced) {
        state_ = State::Started;
        Answer(out, file.name, index, OP_PACKET_ERROR);
        return out;
    }
    file.bytes.insert(file.bytes.end(), data + 1, data + size);
    if (file.bytes.size() < file.announced) {
        Answer(out, file.name, index, OP_ACK);
        return out;
    }
    // The whole file is here.
    if (file.crc != 0) {
        const auto crc = static_cast<std::uint32_t>(
            ::crc32(0L, file.bytes.data(), static_cast<uInt>(file.bytes.size())));
        if (crc != file.crc) {
            state_ = State::Started;
            Answer(out, file.name, index, OP_CRC_FAIL);
            return out;
        }
    }
    file.complete = true;
    Answer(out, file.name, index, OP_FILE_OK);
    if (size >= kestrup::kDataChunk) {
        state_ = State::AwaitTrailer;
        return out;
    }
    FinishFile(out);
    return out;
}

void InstrumentProtocol::FinishFile(std::vector<Reaction>& out) {
    File& file = files_.back();
    state_ = State::Started;
    if (!IsImage(file.name)) {
        return;
    }
    std::uint8_t result = OP_FILE_OK;
    switch (scenario_.FlashOutcomeFor(file.name)) {
        case Scenario::FlashOutcome::Ok:
            break;
        case Scenario::FlashOutcome::EraseFails:
            result = OP_FLASH_ERASE_FAIL;
            break;
        case Scenario::FlashOutcome::WriteFails:
            result = OP_FLASH_WRITE_FAIL;
            break;
    }
    const std::size_t before = out.size();
    Answer(out, file.name, Scenario::Point::kFlash, result, scenario_.flashTimeMs);
    if (out.size() > before && out.back().kind == Reaction::Kind::Answer) {
        file.flashAnswer = out.back().byte;
    }
}

void InstrumentProtocol::Answer(std::vector<Reaction>& out, const std::string& file,
                                std::uint32_t index, std::uint8_t normal,
                                std::uint32_t baseDelayMs) {
    const Scenario::Fault* fault = scenario_.FaultAt(file, index);
    Reaction r{Reaction::Kind::Answer, normal, baseDelayMs};
    if (fault != nullptr) {
        switch (fault->action) {
            case Scenario::Action::Answer:
                r.byte = fault->answer;
                break;
            case Scenario::Action::Silent:
                return;
            case Scenario::Action::Delay:
                r.delayMs += fault->delayMs;
                break;
            case Scenario::Action::Vanish:
                out.push_back(Reaction{Reaction::Kind::Vanish, 0, baseDelayMs});
                return;
            case Scenario::Action::Partial:
                break;  // applies to the write, not to the answer
        }
    }
    out.push_back(r);
}

std::optional<std::uint32_t> InstrumentProtocol::PartialWrite(const std::uint8_t* data,
                                                              std::size_t size) const {
    std::lock_guard lock(mutex_);
    if (size == 0 || data[0] != kestrup::OP_FILE_DATA || state_ != State::Receiving) {
        return std::nullopt;
    }
    const File& file = files_.back();
    const Scenario::Fault* fault =
        scenario_.FaultAt(file.name, static_cast<std::uint32_t>(file.frames + 1));
    if (fault == nullptr || fault->action != Scenario::Action::Partial || fault->bytes >= size) {
        return std::nullopt;
    }
    return fault->bytes;
}

std::vector<InstrumentProtocol::File> InstrumentProtocol::Files() const {
    std::lock_guard lock(mutex_);
    return files_;
}

std::vector<InstrumentProtocol::LogEntry> InstrumentProtocol::Log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

int InstrumentProtocol::StartCount() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

int InstrumentProtocol::EndCount() const {
    std::lock_guard lock(mutex_);
    return ends_;
}

bool InstrumentProtocol::WriteFlash(const std::string& directory, std::string& error) const {
    for (const File& file : Files()) {
        if (!file.complete) {
            continue;
        }
        if (file.name == "." || file.name == ".." || file.name.find('/') != std::string::npos) {
            continue;
        }
        const std::string path = directory + file.name;
        if (!platform::FileSystem::WriteAll(path,
                                            std::string(file.bytes.begin(), file.bytes.end()))) {
            error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

}  // namespace sim
