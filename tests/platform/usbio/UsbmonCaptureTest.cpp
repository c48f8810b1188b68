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
#include "tests/support/UsbmonRecords.h"

using namespace usbio_calls;
using testsupport::usbmon::Le;
using testsupport::usbmon::Parse;
using testsupport::usbmon::ReadAll;

namespace {

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

    // Driver information, the device descriptor, bind OUT, write 3 bytes,
    // bind IN, read 8 (gets 3), then a read that is cancelled; the device is
    // on bus 3.
    void ShortExchange() {
        ASSERT_TRUE(UsbioDriver::StartCapture(path_));
        ShortExchangeWithoutCapture();
        UsbioDriver::StopCapture();
    }

    void ShortExchangeWithoutCapture() {
        sim_.Device().SetBus(3);
        const Handle out = Open();
        std::array<std::uint8_t, 18> info{};
        ASSERT_EQ(Request(out, IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, info.data(), 12), 0u);
        const std::array<std::uint8_t, 8> device{0, 0, 0, 0, 1, 0, 0, 0};
        ASSERT_EQ(Request(out, IOCTL_USBIO_GET_DESCRIPTOR, device.data(), 8, info.data(), 18), 0u);
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

    // Only what went over the bus: the driver's own requests (driver
    // information, binding) never appear.
    const auto p = Parse(file);
    ASSERT_EQ(p.size(), 8u);
    const std::uint8_t address = sim_.Device().Address();
    for (std::size_t i = 0; i < p.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(p[i].type, i % 2 == 0 ? 'S' : 'C');
        EXPECT_EQ(p[i].bus, 3);
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
    // The device descriptor: a standard IN request, reply with the completion.
    EXPECT_EQ(p[0].transferType, 2);
    EXPECT_EQ(p[0].endpoint, 0x80);
    EXPECT_EQ(p[0].setupFlag, 0);
    EXPECT_EQ(p[0].setup, (std::vector<std::uint8_t>{0x80, 0x06, 0, 1, 0, 0, 18, 0}));
    EXPECT_EQ(p[0].dataFlag, '<');
    EXPECT_EQ(p[0].length, 18u);
    EXPECT_EQ(p[0].captured, 0u);
    EXPECT_EQ(p[0].transferFlags, 0x200u);
    EXPECT_EQ(p[1].status, 0);
    ASSERT_EQ(p[1].captured, 18u);
    EXPECT_EQ(p[1].data, sim_.Device().DeviceDescriptor());
    // Bulk OUT: data with the submission, none with the completion.
    EXPECT_EQ(p[2].transferType, 3);
    EXPECT_EQ(p[2].endpoint, 0x01);
    EXPECT_EQ(p[2].setupFlag, '-');
    EXPECT_EQ(p[2].dataFlag, 0);
    EXPECT_EQ(p[2].length, 3u);
    EXPECT_EQ(p[2].transferFlags, 0u);
    EXPECT_EQ(p[2].data, (std::vector<std::uint8_t>{0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(p[3].length, 3u);
    EXPECT_EQ(p[3].captured, 0u);
    EXPECT_EQ(p[3].dataFlag, '>');
    // Bulk IN: the host's buffer (8 asked for, one whole packet) with the
    // submission, the data with the completion.
    EXPECT_EQ(p[4].endpoint, 0x81);
    EXPECT_EQ(p[4].dataFlag, '<');
    EXPECT_EQ(p[4].length, 512u);
    EXPECT_EQ(p[4].captured, 0u);
    EXPECT_EQ(p[4].transferFlags, 0x200u);
    EXPECT_EQ(p[5].length, 3u);
    EXPECT_EQ(p[5].data, (std::vector<std::uint8_t>{4, 5, 6}));
    // The cancelled read: unlinked (-ECONNRESET) with nothing.
    EXPECT_EQ(p[6].length, 512u);
    EXPECT_EQ(p[7].status, -104);
    EXPECT_EQ(p[7].length, 0u);
    EXPECT_NE(p[6].urbId, p[4].urbId);

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

// A STALL leaves the endpoint halted; the host clears it before its next
// transfer there, and the capture shows the stall, the request that cleared
// it and the write that followed. A read given more than it asked for gets
// the bytes it asked for and an overflow, while the capture shows what the
// bus carried.
TEST_F(UsbmonCaptureTest, StallClearAndOverflowAppearAsTheBusCarriedThem) {
    ASSERT_TRUE(UsbioDriver::StartCapture(path_));
    const Handle out = OpenBound(0x01);
    sim_.Function().ScriptOut({.accepted = 512, .status = SimulatedDevice::kStallStatus});
    std::vector<std::uint8_t> bytes(700, 0x5A);
    std::uint32_t n = 0;
    EXPECT_EQ(Transfer(out, false, bytes.data(), 700, &n), SimulatedDevice::kStallStatus);
    EXPECT_EQ(n, 512u);
    EXPECT_TRUE(sim_.Device().IsHalted(0x01));
    EXPECT_EQ(Transfer(out, false, bytes.data(), 188, &n), 0u);
    EXPECT_FALSE(sim_.Device().IsHalted(0x01));
    EXPECT_EQ(sim_.Device().HaltsCleared(), 1u);

    const Handle in = OpenBound(0x81);
    sim_.Device().QueueIn(0x81, {7, 8, 9});
    std::array<std::uint8_t, 4> received{};
    EXPECT_EQ(Transfer(in, true, received.data(), 1, &n), SimulatedDevice::kOverflowStatus);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(received, (std::array<std::uint8_t, 4>{7, 0, 0, 0}));
    UsbioDriver::CloseHandle(in);
    UsbioDriver::CloseHandle(out);
    UsbioDriver::StopCapture();

    const auto p = Parse(ReadAll(path_));
    ASSERT_EQ(p.size(), 8u);
    EXPECT_EQ(p[1].status, -32);
    EXPECT_EQ(p[1].length, 512u);
    EXPECT_EQ(p[2].transferType, 2);
    EXPECT_EQ(p[2].setup, (std::vector<std::uint8_t>{0x02, 0x01, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(p[3].status, 0);
    EXPECT_EQ(p[4].length, 188u);
    EXPECT_EQ(p[6].length, 512u);
    EXPECT_EQ(p[7].status, 0);
    EXPECT_EQ(p[7].data, (std::vector<std::uint8_t>{7, 8, 9}));
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
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].substr(0, 5), "'S',0");  // URB_SUBMIT, control
    EXPECT_EQ(lines[2], "'S',0x03,0x01,3,a1b2c3");
    EXPECT_EQ(lines[3], "'C',0x03,0x01,3,");
    EXPECT_EQ(lines[4], "'S',0x03,0x81,512,");
    EXPECT_EQ(lines[5], "'C',0x03,0x81,3,040506");

    // Nothing in the capture trips the dissector.
    for (const std::string& text : RunLines("tshark -r '" + path_ + "' -V 2>&1")) {
        EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
        EXPECT_EQ(text.find("Expert Info (Error"), std::string::npos) << text;
    }
}

}  // namespace
