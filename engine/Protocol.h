#pragma once

#include <cstddef>
#include <cstdint>

// The file transfer protocol between the program and the instrument: one-byte
// requests and answers, a 52-byte file header and data frames of up to 8192
// bytes. Every multi-byte field is little-endian. Shared by the engine and by
// the simulated instrument.
namespace kestrup {

inline constexpr std::uint8_t OP_FILE_HEADER = 2;
inline constexpr std::uint8_t OP_FILE_DATA = 3;
inline constexpr std::uint8_t OP_ACK = 4;
inline constexpr std::uint8_t OP_PACKET_ERROR = 5;
inline constexpr std::uint8_t OP_END_UPGRADE = 6;
inline constexpr std::uint8_t OP_START_UPGRADE = 7;
inline constexpr std::uint8_t OP_FILE_OK = 8;
inline constexpr std::uint8_t OP_FILE_SIZE_FAIL = 9;
inline constexpr std::uint8_t OP_CRC_FAIL = 10;
inline constexpr std::uint8_t OP_FLASH_ERASE_FAIL = 11;
inline constexpr std::uint8_t OP_FLASH_WRITE_FAIL = 12;

// FileHeaderFrame: opcode, 43-byte zero-terminated name, announced size, checksum.
inline constexpr std::size_t kHeaderFrameSize = 52;
inline constexpr std::size_t kHeaderNameOffset = 1;
inline constexpr std::size_t kHeaderNameField = 43;
inline constexpr std::size_t kMaxHeaderName = 42;
inline constexpr std::size_t kHeaderSizeOffset = 44;
inline constexpr std::size_t kHeaderCrcOffset = 48;

// FileDataFrame: opcode and up to 8191 file bytes, plus a pad byte when the
// frame would otherwise be shorter than 8192 and a multiple of 64 bytes long.
inline constexpr std::size_t kDataFrameSize = 8192;
inline constexpr std::size_t kDataChunk = 8191;
inline constexpr std::size_t kPadModulus = 64;

// The largest announced size that can be sent with a checksum.
inline constexpr std::uint32_t kChecksumBufferSize = 1310720;  // 0x140000

// Time-outs in milliseconds.
inline constexpr std::uint32_t kStartWriteTimeoutMs = 1000;
inline constexpr std::uint32_t kStartReadTimeoutMs = 4000;
inline constexpr std::uint32_t kHeaderWriteTimeoutMs = 1000;
inline constexpr std::uint32_t kAnswerReadTimeoutMs = 100000;
inline constexpr std::uint32_t kDataWriteTimeoutMs = 10000;
inline constexpr std::uint32_t kFlashReadTimeoutMs = 1200000;
inline constexpr std::uint32_t kEndWriteTimeoutMs = 1000;
inline constexpr std::uint32_t kPauseAfterFileMs = 1000;

// Announced size of a file of `length` bytes: one more when its last data
// frame is padded.
constexpr std::uint64_t AnnouncedSize(std::uint64_t length) {
    return ((length % kDataChunk) + 1) % kPadModulus == 0 ? length + 1 : length;
}

// Length of a data frame carrying n file bytes, pad byte included.
constexpr std::size_t DataFrameLength(std::size_t n) {
    const std::size_t length = n + 1;
    return (length < kDataFrameSize && length % kPadModulus == 0) ? length + 1 : length;
}

}  // namespace kestrup
