#include "sim/InstrumentProtocol.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/Protocol.h"
#include "platform/usbio/SimulatedDevice.h"
#include "sim/SimulatedInstrument.h"

namespace sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Header(const std::string& name, std::uint32_t announced, std::uint32_t crc) {
    Bytes h(kestrup::kHeaderFrameSize, 0);
    h[0] = kestrup::OP_FILE_HEADER;
    std::memcpy(h.data() + 1, name.data(), name.size());
    for (int i = 0; i < 4; ++i) {
        h[44 + i] = static_cast<std::uint8_t>(announced >> (8 * i));
        h[48 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    return h;
}

// Answers of a frame, as bytes; a vanish shows as 0xFF.
Bytes Send(InstrumentProtocol& p, const Bytes& frame,
           std::vector<std::uint32_t>* delays = nullptr) {
    Bytes out;
    for (const auto& r : p.OnFrame(frame.data(), frame.size())) {
        out.push_back(r.kind == InstrumentProtocol::Reaction::Kind::Vanish ? 0xFF : r.byte);
        if (delays != nullptr) {
            delays->push_back(r.delayMs);
        }
    }
    return out;
}

// Sends a whole file the way the program frames it; returns every answer.
Bytes SendFile(InstrumentProtocol& p, const std::string& name, const Bytes& content, bool crc) {
    const std::uint64_t announced = kestrup::AnnouncedSize(content.size());
    Bytes padded = content;
    padded.resize(announced, 0);
    const std::uint32_t sum = crc ? static_cast<std::uint32_t>(::crc32(
                                        0L, padded.data(), static_cast<uInt>(padded.size())))
                                  : 0;
    Bytes answers = Send(p, Header(name, static_cast<std::uint32_t>(announced), sum));
    std::size_t offset = 0;
    while (true) {
        const std::size_t n = std::min(kestrup::kDataChunk, content.size() - offset);
        Bytes frame(kestrup::DataFrameLength(n), 0);
        frame[0] = kestrup::OP_FILE_DATA;
        std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(offset), n, frame.begin() + 1);
        offset += n;
        const Bytes a = Send(p, frame);
        answers.insert(answers.end(), a.begin(), a.end());
        if (frame.size() < kestrup::kDataChunk) {
            break;
        }
    }
    return answers;
}

Bytes Pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return b;
}

TEST(InstrumentProtocolTest, TakesAWholeRunAndKeepsEveryFile) {
    InstrumentProtocol p;
    EXPECT_EQ(Send(p, {kestrup::OP_START_UPGRADE}), Bytes{4});
    // 20000 bytes: three frames, ACK, ACK, FILE_OK.
    EXPECT_EQ(SendFile(p, "data.dat", Pattern(20000), true), (Bytes{4, 4, 4, 8}));
    // 8190 bytes: a frame of 8191 completes the file, the empty frame after it is acknowledged.
    EXPECT_EQ(SendFile(p, "b.dat", Pattern(8190), true), (Bytes{4, 8, 4}));
    // 63 bytes are announced as 64 with a pad byte.
    EXPECT_EQ(SendFile(p, "pad.dat", Pattern(63), true), (Bytes{4, 8}));
    // An empty file with checksum 0.
    EXPECT_EQ(SendFile(p, "empty", {}, true), (Bytes{4, 8}));
    // Images answer once more after flashing.
    EXPECT_EQ(SendFile(p, "boot.boot", Pattern(8191), false), (Bytes{4, 8, 4, 8}));
    EXPECT_EQ(SendFile(p, "app.bin", Pattern(1000), false), (Bytes{4, 8, 8}));
    EXPECT_TRUE(Send(p, {kestrup::OP_END_UPGRADE}).empty());

    auto files = p.Files();
    ASSERT_EQ(files.size(), 6u);
    EXPECT_EQ(files[0].bytes, Pattern(20000));
    EXPECT_EQ(files[0].frames, 3u);
    Bytes pad = Pattern(63);
    pad.push_back(0);
    EXPECT_EQ(files[2].bytes, pad);
    EXPECT_TRUE(files[3].complete);
    EXPECT_EQ(files[4].flashAnswer, std::optional<std::uint8_t>(8));
    EXPECT_EQ(p.StartCount(), 1);
    EXPECT_EQ(p.EndCount(), 1);
}

TEST(InstrumentProtocolTest, RefusesWhatBreaksTheRules) {
    InstrumentProtocol p;
    // Nothing but the opening request before a run.
    EXPECT_EQ(Send(p, Header("a", 1, 0)), Bytes{5});
    Send(p, {kestrup::OP_START_UPGRADE});
    // A data frame outside a file.
    EXPECT_EQ(Send(p, {kestrup::OP_FILE_DATA, 1}), Bytes{5});
    // A header whose name has no terminating zero, and one of the wrong length.
    Bytes bad = Header("x", 1, 0);
    std::memset(bad.data() + 1, 'n', 43);
    EXPECT_EQ(Send(p, bad), Bytes{5});
    EXPECT_EQ(Send(p, Bytes(51, 2)), Bytes{5});
    // A size the instrument cannot hold.
    EXPECT_EQ(Send(p, Header("huge.dat", 0xFFFFFFF0u, 0)), Bytes{9});
    // A frame shorter than 8192 whose length is a multiple of 64 breaks the padding rule.
    Send(p, Header("p.dat", 200, 0));
    Bytes frame(64, 0);
    frame[0] = kestrup::OP_FILE_DATA;
    EXPECT_EQ(Send(p, frame), Bytes{5});
    // More bytes than announced.
    Send(p, Header("q.dat", 2, 0));
    EXPECT_EQ(Send(p, {kestrup::OP_FILE_DATA, 1, 2, 3}), Bytes{5});
    // A wrong checksum.
    EXPECT_EQ(Send(p, Header("c.dat", 2, 0x12345678)), Bytes{4});
    EXPECT_EQ(Send(p, {kestrup::OP_FILE_DATA, 1, 2}), Bytes{10});
    EXPECT_FALSE(p.Files().back().complete);
}

TEST(InstrumentProtocolTest, ScenarioBendsTheAnswers) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(
        Scenario::Parse("flash-time 20000\n"
                        "answer data.dat 2 0x85\n"
                        "silent quiet.dat 1\n"
                        "delay slow.dat header 3000\n"
                        "flash-result app.bin write-fail\n"
                        "vanish gone.boot flash\n",
                        s, error))
        << error;
    InstrumentProtocol p(s);
    Send(p, {kestrup::OP_START_UPGRADE});
    EXPECT_EQ(SendFile(p, "data.dat", Pattern(20000), true), (Bytes{4, 4, 0x85, 8}));
    EXPECT_EQ(SendFile(p, "quiet.dat", Pattern(10), true), (Bytes{4}));
    std::vector<std::uint32_t> delays;
    Send(p, Header("slow.dat", 1, 0), &delays);
    EXPECT_EQ(delays, std::vector<std::uint32_t>{3000});

    Send(p, Header("app.bin", 10, 0));
    delays.clear();
    Bytes frame(11, 0);
    frame[0] = kestrup::OP_FILE_DATA;
    EXPECT_EQ(Send(p, frame, &delays), (Bytes{8, 12}));
    EXPECT_EQ(delays, (std::vector<std::uint32_t>{0, 20000}));
    EXPECT_EQ(SendFile(p, "gone.boot", Pattern(5), false), (Bytes{4, 8, 0xFF}));
}

TEST(InstrumentProtocolTest, RefusedStartAndFlashWrittenToADirectory) {
    Scenario s;
    s.startAnswer = 9;
    InstrumentProtocol p(s);
    EXPECT_EQ(Send(p, {kestrup::OP_START_UPGRADE}), Bytes{9});
    SendFile(p, "a.dat", Pattern(100), true);
    SendFile(p, "../evil", Pattern(3), true);

    char tmpl[] = "/tmp/kestrup-flash-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = std::string(tmpl) + "/";
    std::string error;
    ASSERT_TRUE(p.WriteFlash(dir, error)) << error;
    std::string content;
    FILE* f = std::fopen((dir + "a.dat").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    Bytes got(200);
    got.resize(std::fread(got.data(), 1, got.size(), f));
    std::fclose(f);
    EXPECT_EQ(got, Pattern(100));
    EXPECT_EQ(std::fopen((std::string(tmpl) + "/../evil").c_str(), "rb"), nullptr);
    std::remove((dir + "a.dat").c_str());
    ::rmdir(tmpl);
}

// In 512-byte (high-speed) and 64-byte (full-speed) packets alike.
TEST(InstrumentProtocolTest, OnTheBusAFrameEndsWithAShortPacketOrAtTheLargestFrame) {
    for (const std::uint16_t size : {512, 64}) {
        SCOPED_TRACE(size);
        Scenario s;
        std::string error;
        ASSERT_TRUE(Scenario::Parse(
            "partial big.dat 2 1000\npacket-size " + std::to_string(size) + "\n", s, error))
            << error;
        auto instrument = std::make_shared<SimulatedInstrument>(s);
        platform::usbio::SimulatedDevice device(instrument, "sim", 2);
        EXPECT_EQ(device.MaxPacketSize(0x01), size);
        EXPECT_EQ(device.MaxPacketSize(0x81), size);
        const auto write = [&](const Bytes& bytes) { return instrument->OnBulkOut(0x01, bytes); };
        const auto frames = [&] { return instrument->Protocol().Log().size(); };
        write({kestrup::OP_START_UPGRADE});
        write(Header("big.dat", 30000, 0));
        ASSERT_EQ(frames(), 2u);

        // Full packets end the largest frame without a zero-length packet.
        Bytes frame(kestrup::kDataFrameSize, 0x11);
        frame[0] = kestrup::OP_FILE_DATA;
        write(frame);
        ASSERT_EQ(frames(), 3u);
        EXPECT_EQ(instrument->Protocol().Log().back().length, kestrup::kDataFrameSize);

        // A stall after the whole packets within 1000 bytes; the rest follows.
        const auto stalled = write(frame);
        const std::uint32_t whole = 1000 - 1000 % size;
        EXPECT_EQ(stalled.accepted, whole);
        EXPECT_EQ(stalled.status, platform::usbio::SimulatedDevice::kStallStatus);
        EXPECT_EQ(frames(), 3u);
        write(Bytes(frame.begin() + whole, frame.end()));
        ASSERT_EQ(frames(), 4u);
        EXPECT_EQ(instrument->Protocol().Log().back().length, kestrup::kDataFrameSize);

        // A shorter frame of whole packets does not end until a short packet
        // comes, which is why no shorter frame is a multiple of 64 bytes long.
        write(Bytes(frame.begin(), frame.begin() + 1024));
        EXPECT_EQ(frames(), 4u);
        write(Bytes(3, 0x22));
        ASSERT_EQ(frames(), 5u);
        EXPECT_EQ(instrument->Protocol().Log().back().length, 1027u);
    }
}

}  // namespace
}  // namespace sim
