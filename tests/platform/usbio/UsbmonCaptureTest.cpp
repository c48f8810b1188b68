#include "platform/usbio/UsbmonCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/UsbioDriver.h"
#include "tests/support/UsbSimEnvironment.h"
#include "tests/support/UsbioCalls.h"

using namespace usbio_calls;

namespace {

std::uint64_t Le(const std::vector<std::uint8_t>& b, std::size_t at, int width) {
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

std::vector<std::string> RunLines(const std::string& command) {
    std::vector<std::string> lines;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return lines;
    }
    std::array<char, 512> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), pipe) != nullptr) {
        std::string text(line.data());
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        lines.push_back(text);
    }
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return lines;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<Packet> Parse(const std::vector<std::uint8_t>& file) {
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

class UsbmonCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("kestrup-usbmon-" +
                  std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap"))
                    .string();
    }
    void TearDown() override {
        UsbioDriver::StopCapture();
        if (std::getenv("KESTRUP_KEEP_CAPTURE") == nullptr) {
            std::filesystem::remove(path_);
        }
    }

    // Driver information, bind OUT, write 3 bytes, bind IN, read 8 (gets 3),
    // then a read that is cancelled.
    void ShortExchange() {
        ASSERT_TRUE(UsbioDriver::StartCapture(path_));
        ShortExchangeWithoutCapture();
        UsbioDriver::StopCapture();
    }

    void ShortExchangeWithoutCapture() {
        const Handle out = Open();
        std::array<std::uint8_t, 12> info{};
        ASSERT_EQ(Request(out, IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, info.data(), 12), 0u);
        const std::uint8_t outEp = 0x01;
        ASSERT_EQ(Request(out, IOCTL_USBIO_BIND_PIPE, &outEp, 1), 0u);
        std::array<std::uint8_t, 3> sent{0xA1, 0xB2, 0xC3};
        std::uint32_t n = 0;
        ASSERT_EQ(Transfer(out, false, sent.data(), 3, &n), 0u);

        const Handle in = OpenBound(0x81);
        sim_.Device().QueueIn(0x81, {0x04, 0x05, 0x06});
        std::array<std::uint8_t, 8> received{};
        ASSERT_EQ(Transfer(in, true, received.data(), 8, &n), 0u);
        ASSERT_EQ(n, 3u);

        Overlapped ov;
        ASSERT_FALSE(UsbioDriver::ReadFile(in, received.data(), 64, &n, &ov));
        UsbioDriver::CancelIo(in);
        UsbioDriver::CloseHandle(in);
        UsbioDriver::CloseHandle(out);
    }

    platform::TimeFacility::ScopedScale scale_{1};
    UsbSimEnvironment sim_;
    std::string path_;
};

TEST_F(UsbmonCaptureTest, ShortExchangeReadsBackFieldByField) {
    ShortExchange();
    const auto file = ReadAll(path_);
    ASSERT_GE(file.size(), 24u);
    EXPECT_EQ(Le(file, 0, 4), 0xA1B2C3D4u);
    EXPECT_EQ(Le(file, 4, 2), 2u);
    EXPECT_EQ(Le(file, 6, 2), 4u);
    EXPECT_EQ(Le(file, 16, 4), UsbmonCapture::kSnapLength);
    EXPECT_EQ(Le(file, 20, 4), 220u);

    const auto p = Parse(file);
    ASSERT_EQ(p.size(), 12u);
    const std::uint8_t address = sim_.Device().Address();
    for (std::size_t i = 0; i < p.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(p[i].type, i % 2 == 0 ? 'S' : 'C');
        EXPECT_EQ(p[i].bus, SimulatedDevice::kBus);
        EXPECT_EQ(p[i].device, address);
        EXPECT_EQ(p[i].inclLen, 64 + p[i].captured);
        EXPECT_EQ(p[i].origLen, 64 + p[i].captured);  // nothing was left out
        if (i % 2 == 1) {
            EXPECT_EQ(p[i].urbId, p[i - 1].urbId);
            EXPECT_EQ(p[i].setupFlag, '-');
            EXPECT_EQ(p[i].setup, std::vector<std::uint8_t>(8, 0));
        } else {
            EXPECT_EQ(p[i].status, -115);
        }
    }
    // Driver information: a vendor IN request, reply with the completion.
    EXPECT_EQ(p[0].transferType, 2);
    EXPECT_EQ(p[0].endpoint, 0x80);
    EXPECT_EQ(p[0].setupFlag, 0);
    EXPECT_EQ(p[0].setup, (std::vector<std::uint8_t>{0xC0, 0x1B, 0, 0, 0, 0, 12, 0}));
    EXPECT_EQ(p[0].dataFlag, '<');
    EXPECT_EQ(p[0].length, 12u);
    EXPECT_EQ(p[0].captured, 0u);
    EXPECT_EQ(p[0].transferFlags, 0x200u);
    EXPECT_EQ(p[1].status, 0);
    EXPECT_EQ(p[1].length, 12u);
    ASSERT_EQ(p[1].captured, 12u);
    EXPECT_EQ(p[1].data[1], 0x02);
    // Bind 0x01: a vendor OUT request without data.
    EXPECT_EQ(p[2].endpoint, 0x00);
    EXPECT_EQ(p[2].setup, (std::vector<std::uint8_t>{0x40, 0x1E, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(p[2].transferFlags, 0u);
    EXPECT_EQ(p[3].dataFlag, '>');
    // Bulk OUT: data with the submission, none with the completion.
    EXPECT_EQ(p[4].transferType, 3);
    EXPECT_EQ(p[4].endpoint, 0x01);
    EXPECT_EQ(p[4].setupFlag, '-');
    EXPECT_EQ(p[4].dataFlag, 0);
    EXPECT_EQ(p[4].length, 3u);
    EXPECT_EQ(p[4].data, (std::vector<std::uint8_t>{0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(p[5].length, 3u);
    EXPECT_EQ(p[5].captured, 0u);
    EXPECT_EQ(p[5].dataFlag, '>');
    // Bind 0x81, then bulk IN: the length asked for with the submission, the
    // data with the completion.
    EXPECT_EQ(p[6].setup[4], 0x81);
    EXPECT_EQ(p[8].endpoint, 0x81);
    EXPECT_EQ(p[8].dataFlag, '<');
    EXPECT_EQ(p[8].length, 8u);
    EXPECT_EQ(p[8].captured, 0u);
    EXPECT_EQ(p[8].transferFlags, 0x200u);
    EXPECT_EQ(p[9].length, 3u);
    EXPECT_EQ(p[9].data, (std::vector<std::uint8_t>{4, 5, 6}));
    // The cancelled read: asked for 64, killed (-ENOENT) with nothing.
    EXPECT_EQ(p[10].length, 64u);
    EXPECT_EQ(p[11].status, -2);
    EXPECT_EQ(p[11].length, 0u);
    EXPECT_NE(p[10].urbId, p[8].urbId);

    // Data beyond the snap length is left out, and the original length says
    // how much there was.
    const std::vector<std::uint8_t> big(UsbmonCapture::kSnapLength, 0x33);
    {
        auto capture = UsbmonCapture::Create(path_);
        UsbmonCapture::Record record;
        record.type = 'C';
        record.endpoint = 0x81;
        record.urbLength = static_cast<std::uint32_t>(big.size());
        record.data = big;
        capture->Write(record);
    }
    const auto cut = Parse(ReadAll(path_));
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].inclLen, UsbmonCapture::kSnapLength);
    EXPECT_EQ(cut[0].origLen, 64 + UsbmonCapture::kSnapLength);
}

TEST_F(UsbmonCaptureTest, ReadRacingACloseIsRecordedInOrderAndNeverReachesTheDevice) {
    // Whichever comes first, the read ends without the device keeping it:
    // the next packet goes to the next reader, not to a dead request. The
    // capture shows each submission before its completion.
    ASSERT_TRUE(UsbioDriver::StartCapture(path_));
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        const Handle h = OpenBound(0x81);
        ASSERT_NE(h, kInvalidHandle);
        std::array<std::uint8_t, 8> data{};
        Overlapped ov;
        auto racing = platform::Thread::Start([&] {
            std::uint32_t m = 0;
            UsbioDriver::ReadFile(h, data.data(), 8, &m, &ov);
        });
        UsbioDriver::CloseHandle(h);
        racing->Join();
        EXPECT_EQ(sim_.Device().PendingReads(), 0u);

        const Handle next = OpenBound(0x81);
        ASSERT_NE(next, kInvalidHandle);
        const auto byte = static_cast<std::uint8_t>(round);
        sim_.Device().QueueIn(0x81, {byte});
        std::uint32_t n = 0;
        ASSERT_EQ(Transfer(next, true, data.data(), 8, &n), 0u);
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(data[0], byte);
        UsbioDriver::CloseHandle(next);
    }
    UsbioDriver::StopCapture();
    std::map<std::uint64_t, char> seen;
    for (const auto& p : Parse(ReadAll(path_))) {
        if (p.type == 'C') {
            EXPECT_EQ(seen[p.urbId], 'S') << "URB " << p.urbId;
        }
        seen[p.urbId] = p.type;
    }
}

TEST_F(UsbmonCaptureTest, NothingIsWrittenWithoutACaptureAndABadPathIsRefused) {
    EXPECT_FALSE(UsbioDriver::StartCapture("/nonexistent-dir/capture.pcap"));
    ShortExchangeWithoutCapture();
    EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(UsbmonCaptureTest, TsharkDecodesTheCapture) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed";
    }
    ShortExchange();
    const std::string command =
        "tshark -r '" + path_ +
        "' -T fields -E separator=, -e usb.urb_type -e usb.transfer_type -e usb.endpoint_address "
        "-e usb.urb_len -e usb.capdata 2>/dev/null";
    const auto lines = RunLines(command);
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0].substr(0, 5), "'S',0");  // URB_SUBMIT, control
    EXPECT_EQ(lines[4], "'S',0x03,0x01,3,a1b2c3");
    EXPECT_EQ(lines[5], "'C',0x03,0x01,3,");
    EXPECT_EQ(lines[8], "'S',0x03,0x81,8,");
    EXPECT_EQ(lines[9], "'C',0x03,0x81,3,040506");

    // Nothing in the capture trips the dissector.
    for (const std::string& text : RunLines("tshark -r '" + path_ + "' -V 2>&1")) {
        EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
        EXPECT_EQ(text.find("Expert Info (Error"), std::string::npos) << text;
    }
}

}  // namespace
