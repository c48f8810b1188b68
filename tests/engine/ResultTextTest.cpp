#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "engine/Crc32.h"
#include "engine/FileTransfer.h"
#include "engine/Protocol.h"

namespace kestrup {
namespace {

std::string Text(std::int32_t status) {
    std::string text;
    FormatResultText(text, status);
    return text;
}

TEST(ResultTextTest, KnownStatusesHaveTheirTextsAndTheRestShowTheSignExtendedCode) {
    EXPECT_EQ(Text(5), "Packet Error\n");
    EXPECT_EQ(Text(9), "file size fail\n");
    EXPECT_EQ(Text(10), "CRC fail\n");
    EXPECT_EQ(Text(11), "flash erase fail\n");
    EXPECT_EQ(Text(12), "write to flash fail\n");
    EXPECT_EQ(Text(3), "unknown error; opcode is 0x3\n");
    EXPECT_EQ(Text(8), "unknown error; opcode is 0x8\n");
    EXPECT_EQ(Text(0), "unknown error; opcode is 0x0\n");
    EXPECT_EQ(Text(0x85), "unknown error; opcode is 0xFFFFFF85\n");
    EXPECT_EQ(Text(-123), "unknown error; opcode is 0xFFFFFF85\n");
    // Only the low byte counts.
    EXPECT_EQ(Text(0x10A), "CRC fail\n");
}

TEST(Crc32Test, MatchesAnIndependentImplementation) {
    std::vector<std::uint8_t> data(100000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 31 + (i >> 7));
    }
    for (std::size_t size : {0u, 1u, 63u, 64u, 8191u, 100000u}) {
        EXPECT_EQ(Crc32::Of(data.data(), size),
                  static_cast<std::uint32_t>(::crc32(0L, data.data(), static_cast<uInt>(size))))
            << size;
    }
    EXPECT_EQ(Crc32::Of(nullptr, 0), 0u);
}

TEST(ProtocolTest, AnnouncedSizeAndFrameLengthFollowThePaddingRule) {
    EXPECT_EQ(AnnouncedSize(0), 0u);
    EXPECT_EQ(AnnouncedSize(62), 62u);
    EXPECT_EQ(AnnouncedSize(63), 64u);
    EXPECT_EQ(AnnouncedSize(8127), 8128u);
    EXPECT_EQ(AnnouncedSize(8191), 8191u);
    EXPECT_EQ(AnnouncedSize(8191 + 63), 8191u + 64u);
    EXPECT_EQ(DataFrameLength(0), 1u);
    EXPECT_EQ(DataFrameLength(63), 65u);
    EXPECT_EQ(DataFrameLength(8190), 8191u);
    EXPECT_EQ(DataFrameLength(8191), 8192u);
}

}  // namespace
}  // namespace kestrup
