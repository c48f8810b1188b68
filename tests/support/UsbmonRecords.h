#pragma once

// The records of a usbmon capture (a pcap file of link type 220) read back
// field by field, for the suites that check what went over the bus.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport::usbmon {

inline std::uint64_t Le(const std::vector<std::uint8_t>& b, std::size_t at, int width) {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) {
        v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    }
    return v;
}

struct Packet {
    std::uint32_t inclLen, origLen;
    std::uint64_t urbId;
    char type;
    std::uint8_t transferType, endpoint, device;
    std::uint16_t bus;
    std::uint8_t setupFlag, dataFlag;
    std::int32_t status;
    std::uint32_t length, captured;
    std::vector<std::uint8_t> setup;
    std::uint32_t transferFlags;
    std::vector<std::uint8_t> data;
};

inline std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The records, in order; a capture that ends inside one fails the test.
inline std::vector<Packet> Parse(const std::vector<std::uint8_t>& file) {
    std::vector<Packet> packets;
    std::size_t at = 24;
    while (at + 16 + 64 <= file.size()) {
        Packet p;
        p.inclLen = static_cast<std::uint32_t>(Le(file, at + 8, 4));
        p.origLen = static_cast<std::uint32_t>(Le(file, at + 12, 4));
        const std::size_t h = at + 16;
        p.urbId = Le(file, h, 8);
        p.type = static_cast<char>(file[h + 8]);
        p.transferType = file[h + 9];
        p.endpoint = file[h + 10];
        p.device = file[h + 11];
        p.bus = static_cast<std::uint16_t>(Le(file, h + 12, 2));
        p.setupFlag = file[h + 14];
        p.dataFlag = file[h + 15];
        p.status = static_cast<std::int32_t>(Le(file, h + 28, 4));
        p.length = static_cast<std::uint32_t>(Le(file, h + 32, 4));
        p.captured = static_cast<std::uint32_t>(Le(file, h + 36, 4));
        p.setup.assign(file.begin() + static_cast<long>(h + 40),
                       file.begin() + static_cast<long>(h + 48));
        p.transferFlags = static_cast<std::uint32_t>(Le(file, h + 56, 4));
        p.data.assign(file.begin() + static_cast<long>(h + 64),
                      file.begin() + static_cast<long>(h + 64 + p.captured));
        packets.push_back(p);
        at += 16 + p.inclLen;
    }
    EXPECT_EQ(at, file.size());
    return packets;
}

}  // namespace testsupport::usbmon
