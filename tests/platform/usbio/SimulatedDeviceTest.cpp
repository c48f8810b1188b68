#include "platform/usbio/SimulatedDevice.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/TimeFacility.h"
#include "tests/support/TestDeadline.h"
#include "tests/support/UsbSimEnvironment.h"
#include "tests/support/UsbioCalls.h"

using namespace usbio_calls;
using platform::Event;
using platform::TimeFacility;
using Out = SimulatedFunction::OutResult;

namespace {

class SimulatedDeviceTest : public ::testing::Test {
  protected:
    std::uint32_t Read(Handle h, std::vector<std::uint8_t>& data) {
        std::uint32_t n = 0;
        const std::uint32_t status =
            Transfer(h, true, data.data(), static_cast<std::uint32_t>(data.size()), &n);
        data.resize(n);
        return status;
    }

    std::uint32_t Write(Handle h, std::vector<std::uint8_t> data, std::uint32_t* n) {
        return Transfer(h, false, data.data(), static_cast<std::uint32_t>(data.size()), n);
    }

    TimeFacility::ScopedScale scale_{1};
    UsbSimEnvironment sim_;
};

TEST_F(SimulatedDeviceTest, DescriptorsAndConfigurationDescribeTheBulkInterface) {
    const Handle h = Open();
    std::array<std::uint8_t, 64> buffer{};
    std::uint32_t n = 0;
    const std::array<std::uint8_t, 8> device{0, 0, 0, 0, 1, 0, 0, 0};
    ASSERT_EQ(Request(h, IOCTL_USBIO_GET_DESCRIPTOR, device.data(), 8, buffer.data(), 64, &n), 0u);
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 18),
              sim_.Device().DeviceDescriptor());
    EXPECT_EQ(buffer[17], 1);  // one configuration

    const std::array<std::uint8_t, 8> config{0, 0, 0, 0, 2, 0, 0, 0};
    ASSERT_EQ(Request(h, IOCTL_USBIO_GET_DESCRIPTOR, config.data(), 8, buffer.data(), 64, &n), 0u);
    ASSERT_EQ(n, 32u);
    EXPECT_EQ(buffer[18 + 2], 0x81);
    EXPECT_EQ(buffer[18 + 4] | (buffer[18 + 5] << 8), 512);
    EXPECT_EQ(buffer[25 + 2], 0x01);

    // Before set configuration: no pipes; afterwards the two bulk pipes.
    std::array<std::uint8_t, 776> info{};
    ASSERT_EQ(Request(h, IOCTL_USBIO_GET_CONFIGURATION_INFO, nullptr, 0, info.data(), 776), 0u);
    EXPECT_EQ(info[4], 0);
    std::array<std::uint8_t, 260> set{};
    set[2] = 1;
    ASSERT_EQ(Request(h, IOCTL_USBIO_SET_CONFIGURATION, set.data(), 260), 0u);
    ASSERT_EQ(Request(h, IOCTL_USBIO_GET_CONFIGURATION_INFO, nullptr, 0, info.data(), 776), 0u);
    EXPECT_EQ(info[4], 2);
    EXPECT_EQ(info[264], 2);  // bulk
    EXPECT_EQ(info[264 + 10], 0x81);
    EXPECT_EQ(info[280 + 10], 0x01);
    UsbioDriver::CloseHandle(h);
}

TEST_F(SimulatedDeviceTest, MisbehaviourSwitchesForTheRequests) {
    const Handle h = Open();
    std::array<std::uint8_t, 776> info{};
    sim_.Device().SetDriverVersion(0x0110);
    ASSERT_EQ(Request(h, IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, info.data(), 12), 0u);
    EXPECT_EQ(info[0] | (info[1] << 8), 0x0110);

    std::array<std::uint8_t, 260> set{};
    sim_.Device().FailRequest(IOCTL_USBIO_SET_CONFIGURATION, 0xE000101D);
    EXPECT_EQ(Request(h, IOCTL_USBIO_SET_CONFIGURATION, set.data(), 260), 0xE000101Du);
    EXPECT_FALSE(sim_.Device().IsConfigured());
    sim_.Device().FailRequest(IOCTL_USBIO_SET_CONFIGURATION, 0);
    ASSERT_EQ(Request(h, IOCTL_USBIO_SET_CONFIGURATION, set.data(), 260), 0u);

    sim_.Device().SetReportedPipeCount(40);
    ASSERT_EQ(Request(h, IOCTL_USBIO_GET_CONFIGURATION_INFO, nullptr, 0, info.data(), 776), 0u);
    EXPECT_EQ(info[4], 40);

    // Never answered: the request ends only with a cancel from its thread.
    sim_.Device().SetRequestTiming(0, true);
    Overlapped ov;
    std::uint32_t n = 0;
    ASSERT_FALSE(UsbioDriver::DeviceIoControl(h, IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0,
                                              info.data(), 12, &n, &ov));
    ASSERT_EQ(UsbioDriver::GetLastError(), ERROR_IO_PENDING);
    UsbioDriver::CancelIo(h);
    EXPECT_EQ(ov.status.load(), ERROR_OPERATION_ABORTED);
    UsbioDriver::CloseHandle(h);
}

TEST_F(SimulatedDeviceTest, ReadsEndOnShortPacketsOrFullBuffersAndOverflowOnBabble) {
    const Handle h = OpenBound(0x81);
    ASSERT_NE(h, kInvalidHandle);
    // A packet larger than the read: the bytes that fit, an overflow, and
    // the rest of the packet is gone (the next read gets the next packet).
    sim_.Device().QueueIn(0x81, {1, 2, 3, 4, 5});
    sim_.Device().QueueIn(0x81, {});
    std::vector<std::uint8_t> data(3);
    EXPECT_EQ(Read(h, data), SimulatedDevice::kOverflowStatus);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{1, 2, 3}));
    data.resize(8);
    ASSERT_EQ(Read(h, data), 0u);  // the zero-length packet
    EXPECT_TRUE(data.empty());

    // Full packets do not end a larger read; a short packet, a zero-length
    // packet or a full buffer does.
    const std::vector<std::uint8_t> two(1024, 0x22);
    struct Case {
        std::vector<std::vector<std::uint8_t>> queued;
        std::uint32_t readLength;
        std::size_t received;
    };
    for (const Case& c : {Case{{two}, 1024, 1024}, Case{{two, {7}}, 2048, 1025},
                          Case{{std::vector<std::uint8_t>(512, 1), {}}, 2048, 512},
                          Case{{std::vector<std::uint8_t>(700, 1)}, 2048, 700}}) {
        SCOPED_TRACE(c.readLength);
        for (const auto& bytes : c.queued) {
            sim_.Device().QueueIn(0x81, bytes);
        }
        data.assign(c.readLength, 0);
        EXPECT_EQ(Read(h, data), 0u);
        EXPECT_EQ(data.size(), c.received);
        EXPECT_EQ(sim_.Device().PendingReads(), 0u);
    }

    // A read holding full packets waits for more; its cancel reports them.
    sim_.Device().QueueIn(0x81, two);
    std::vector<std::uint8_t> buffer(4096);
    Overlapped ov;
    std::uint32_t n = 0;
    ASSERT_FALSE(UsbioDriver::ReadFile(h, buffer.data(), 4096, &n, &ov));
    EXPECT_EQ(sim_.Device().PendingReads(), 1u);
    UsbioDriver::CancelIo(h);
    EXPECT_FALSE(UsbioDriver::GetOverlappedResult(h, &ov, &n, false));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 1024u);
    EXPECT_EQ(buffer[1023], 0x22);

    // A delayed packet: the read stays pending until it is ready (its delay
    // runs from the queueing, so the time is taken before it).
    const auto start = TimeFacility::NowMs();
    sim_.Device().QueueIn(0x81, {9}, 20000);
    Event event(false, false);
    ov.event = &event;
    ASSERT_FALSE(UsbioDriver::ReadFile(h, buffer.data(), 4, &n, &ov));
    ASSERT_TRUE(testsupport::Await(event, "the delayed packet"));
    EXPECT_GE(TimeFacility::NowMs() - start, 19000u);
    ASSERT_TRUE(UsbioDriver::GetOverlappedResult(h, &ov, &n, false));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buffer[0], 9);
    UsbioDriver::CloseHandle(h);
}

TEST_F(SimulatedDeviceTest, WritesMoveWholePacketsAndEndShortOnlyByStallOrCancel) {
    const Handle h = OpenBound(0x01);
    ASSERT_NE(h, kInvalidHandle);
    std::uint32_t n = 0;
    EXPECT_EQ(Write(h, {1, 2, 3}, &n), 0u);
    EXPECT_EQ(n, 3u);

    // A stall after whole packets, at once or later: the failure carries the
    // packets that went (a partly taken packet did not go).
    sim_.Function().ScriptOut(Out{.accepted = 1100, .status = SimulatedDevice::kStallStatus});
    n = 99;
    EXPECT_EQ(Write(h, std::vector<std::uint8_t>(1500, 1), &n), SimulatedDevice::kStallStatus);
    EXPECT_EQ(n, 1024u);
    sim_.Function().ScriptOut(Out{.status = SimulatedDevice::kStallStatus, .delayMs = 500});
    EXPECT_EQ(Write(h, {1}, &n), SimulatedDevice::kStallStatus);
    EXPECT_EQ(n, 0u);

    // A device that takes fewer bytes without an error does not end the
    // write: it waits until cancelled, which reports the whole packets.
    for (const Out& out : {Out{.accepted = 700}, Out{.accepted = 700, .neverCompletes = true},
                           Out{.accepted = 700, .delayMs = 5}}) {
        sim_.Function().ScriptOut(out);
        std::vector<std::uint8_t> big(1000, 7);
        Overlapped ov;
        ASSERT_FALSE(UsbioDriver::WriteFile(h, big.data(), 1000, &n, &ov));
        ASSERT_EQ(UsbioDriver::GetLastError(), ERROR_IO_PENDING);
        TimeFacility::Sleep(20, "a completion that must not come");
        EXPECT_EQ(ov.status.load(), ERROR_IO_PENDING);
        UsbioDriver::CancelIo(h);
        EXPECT_FALSE(UsbioDriver::GetOverlappedResult(h, &ov, &n, false));
        EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_OPERATION_ABORTED);
        EXPECT_EQ(n, 512u);
    }
    EXPECT_EQ(sim_.Function().Written().size(), 6u);
    UsbioDriver::CloseHandle(h);
}

TEST_F(SimulatedDeviceTest, VanishingMidTransfer) {
    const Handle h = OpenBound(0x01);
    ASSERT_NE(h, kInvalidHandle);
    sim_.Function().SetHandler([&](std::uint8_t, std::span<const std::uint8_t>) {
        sim_.Device().Unplug();
        return Out{.accepted = 100};
    });
    std::uint32_t n = 99;
    EXPECT_EQ(Write(h, std::vector<std::uint8_t>(300, 1), &n), USBIO_ERR_DEVICE_GONE);
    EXPECT_EQ(n, 0u);  // no whole packet went
    EXPECT_EQ(Write(h, {1}, &n), USBIO_ERR_DEVICE_GONE);
    UsbioDriver::CloseHandle(h);
}

}  // namespace
