#include "usb/CUsbPipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/UsbioDriver.h"
#include "tests/support/TestDeadline.h"
#include "tests/support/UsbSimEnvironment.h"
#include "usb/SetupApiBinding.h"
#include "usb/UsbTransferChannel.h"

using platform::TimeFacility;
using platform::usbio::SimulatedDevice;
namespace usbio = platform::usbio;
using Out = usbio::SimulatedFunction::OutResult;

namespace {

class CUsbPipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetupApiBinding::Unload();
        list_ = CUsbDevice::CreateDeviceList(&kUsbioInterfaceGuid);
        channel_.SetDeviceList(list_);
        channel_.CreatePipes();
        ASSERT_EQ(channel_.Device().Open(0, list_, &kUsbioInterfaceGuid), 0u);
        ASSERT_EQ(channel_.Configure(), 0u);
    }
    void TearDown() override { CUsbDevice::DestroyDeviceList(list_); }

    std::size_t Requests(std::uint32_t code) { return sim_.Device().RequestCount(code); }

    // The transfer waits this thread made, in order.
    std::vector<std::uint32_t> TransferWaits() {
        std::vector<std::uint32_t> waits;
        for (const auto& r : log_.Records()) {
            if (r.thread == platform::Thread::CurrentId() && r.what == "usb transfer") {
                waits.push_back(r.timeoutMs);
            }
        }
        return waits;
    }

    TimeFacility::ScopedScale scale_{1};
    TimeFacility::ScopedLog log_;
    UsbSimEnvironment sim_;
    UsbTransferChannel channel_;
    CUsbDevice::DeviceList list_ = 0;
};

TEST_F(CUsbPipeTest, ReadCompletedAtOnceReturnsWithoutWaiting) {
    CUsbPipe& in = *channel_.InPipe();
    ASSERT_EQ(in.BindEndpoint(0, 0x81), 0u);
    sim_.Device().QueueIn(0x81, {1, 2, 3});
    std::array<std::uint8_t, 16> data{};
    std::uint32_t length = 16;
    EXPECT_EQ(in.ReadSync(data.data(), length, 100000), 0u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(data[2], 3);
    EXPECT_TRUE(TransferWaits().empty());
}

TEST_F(CUsbPipeTest, ReadFailingAtOnceReturnsTheErrorWithoutWaiting) {
    std::array<std::uint8_t, 16> data{};
    std::uint32_t length = 16;
    CUsbPipe unbound;
    ASSERT_EQ(unbound.Open(0, 0, &kUsbioInterfaceGuid), 0u);
    EXPECT_EQ(unbound.ReadSync(data.data(), length, 100000), 0xE0001009u);
    EXPECT_EQ(length, 0u);

    CUsbPipe neverOpened;
    length = 16;
    EXPECT_EQ(neverOpened.WriteSync(data.data(), length, 100000), usbio::ERROR_INVALID_HANDLE);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(TransferWaits().empty());
}

TEST_F(CUsbPipeTest, TimeOutCancelsAndDrainsBeforeReturning) {
    CUsbPipe& in = *channel_.InPipe();
    ASSERT_EQ(in.BindEndpoint(0, 0x81), 0u);
    std::array<std::uint8_t, 8> old{};
    std::uint32_t length = 8;
    EXPECT_EQ(in.ReadSync(old.data(), length, 0), 0xE000100Cu);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(sim_.Device().PendingReads(), 0u);  // the cancel has completed
    EXPECT_EQ(TransferWaits(), (std::vector<std::uint32_t>{0, platform::kInfinite}));

    // The next read is a fresh transfer; nothing reaches the old memory.
    // (The read's time-out is the test's deadline: the packet comes first.)
    sim_.Device().QueueIn(0x81, {5, 6, 7}, 1000);
    std::array<std::uint8_t, 8> fresh{};
    length = 8;
    EXPECT_EQ(in.ReadSync(fresh.data(), length, testsupport::DeadlineMs()), 0u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(fresh[0], 5);
    EXPECT_EQ(old, (std::array<std::uint8_t, 8>{}));
}

TEST_F(CUsbPipeTest, WriteEndingPartWayReportsTheWholePacketsThatWent) {
    CUsbPipe& out = *channel_.OutPipe();
    ASSERT_EQ(out.BindEndpoint(0, 0x01), 0u);
    // The device stops taking packets: the write runs into its time-out.
    sim_.Function().ScriptOut(Out{.accepted = 3000});
    std::vector<std::uint8_t> data(8192, 0x5A);
    std::uint32_t length = 8192;
    EXPECT_EQ(out.WriteSync(data.data(), length, 100000), 0xE000100Cu);
    EXPECT_EQ(length, 2560u);
    EXPECT_EQ(TransferWaits(), (std::vector<std::uint32_t>{100000, platform::kInfinite}));

    // A stall at once: the failure still says what went, without a wait.
    sim_.Function().ScriptOut(
        Out{.accepted = 1500, .status = platform::usbio::SimulatedDevice::kStallStatus});
    length = 8192;
    EXPECT_EQ(out.WriteSync(data.data(), length, 100000), 0xE0000004u);
    EXPECT_EQ(length, 1024u);
    EXPECT_EQ(TransferWaits().size(), 2u);
}

TEST_F(CUsbPipeTest, BindingAnOpenHandleSendsOnlyTheBindRequest) {
    CUsbPipe pipe;
    ASSERT_EQ(pipe.Open(0, list_, &kUsbioInterfaceGuid), 0u);
    const std::size_t infos = Requests(usbio::IOCTL_USBIO_GET_DRIVER_INFO);
    EXPECT_EQ(pipe.Bind(7, 0x81, 0, nullptr), 0u);
    EXPECT_EQ(Requests(usbio::IOCTL_USBIO_GET_DRIVER_INFO), infos);
    EXPECT_EQ(Requests(usbio::IOCTL_USBIO_BIND_PIPE), 1u);
    EXPECT_EQ(sim_.Device().LastRequestInput(usbio::IOCTL_USBIO_BIND_PIPE),
              std::vector<std::uint8_t>{0x81});
}

TEST_F(CUsbPipeTest, AbsentEndpointKeepsThePipeInformationCopiedBefore) {
    CUsbPipe& pipe = *channel_.OutPipe();
    UsbPipeInfo before;
    before.bytes[0] = 2;
    before.bytes[10] = 0x05;
    before.bytes[15] = 0xEE;
    pipe.PipeInfo() = before;
    EXPECT_EQ(pipe.BindEndpoint(0, 0x05), 0u);
    EXPECT_EQ(pipe.PipeInfo().bytes, before.bytes);

    // A listed endpoint replaces it with the driver's entry.
    CUsbPipe& in = *channel_.InPipe();
    in.PipeInfo() = before;
    ASSERT_EQ(in.BindEndpoint(0, 0x81), 0u);
    EXPECT_EQ(in.PipeInfo().EndpointAddress(), 0x81);
    EXPECT_EQ(in.PipeInfo().bytes[15], 0);
}

TEST_F(CUsbPipeTest, BindingFailures) {
    CUsbPipe& in = *channel_.InPipe();
    // A pipe type outside 0..3: unbound again, "Operation failed.".
    sim_.Device().SetPipes({{0x81, 7, 512}, {0x01, 2, 512}});
    EXPECT_EQ(in.BindEndpoint(0, 0x81), 0xE0001000u);
    EXPECT_EQ(Requests(usbio::IOCTL_USBIO_UNBIND_PIPE), 1u);
    std::array<std::uint8_t, 4> data{};
    std::uint32_t length = 4;
    EXPECT_EQ(in.ReadSync(data.data(), length, 100), 0xE0001009u);

    // The configuration query fails: unbound again, its status returned.
    sim_.Device().SetPipes({{0x81, 2, 512}, {0x01, 2, 512}});
    sim_.Device().FailRequest(usbio::IOCTL_USBIO_GET_CONFIGURATION_INFO, 0xE0001006);
    EXPECT_EQ(in.BindEndpoint(0, 0x81), 0xE0001006u);
    EXPECT_EQ(Requests(usbio::IOCTL_USBIO_UNBIND_PIPE), 2u);
    sim_.Device().FailRequest(usbio::IOCTL_USBIO_GET_CONFIGURATION_INFO, 0);

    // The bind request fails: returned unchanged, no unbind.
    sim_.Device().FailRequest(usbio::IOCTL_USBIO_BIND_PIPE, 0xE0001013);
    EXPECT_EQ(in.BindEndpoint(0, 0x81), 0xE0001013u);
    EXPECT_EQ(Requests(usbio::IOCTL_USBIO_UNBIND_PIPE), 2u);

    // Without an owner there is nothing to bind through.
    CUsbPipe orphan;
    EXPECT_EQ(orphan.BindEndpoint(0, 0x81), 0xE0001013u);
    EXPECT_FALSE(orphan.IsOpen());
}

TEST_F(CUsbPipeTest, CountAbove32ReadsOnlyTheEntriesInTheRecord) {
    std::vector<SimulatedDevice::Pipe> pipes;
    for (std::uint8_t i = 1; i <= 32; ++i) {
        pipes.push_back({static_cast<std::uint8_t>(i == 32 ? 0x81 : 0x40 + i), 2, 512});
    }
    sim_.Device().SetPipes(pipes);
    sim_.Device().SetReportedPipeCount(0xFFFFFFFF - 1);
    CUsbPipe& in = *channel_.InPipe();
    ASSERT_EQ(in.BindEndpoint(0, 0x81), 0u);
    EXPECT_EQ(in.PipeInfo().EndpointAddress(), 0x81);
}

TEST_F(CUsbPipeTest, AWaitThatCannotBeMadeEndsTheTransferBeforeReturning) {
    CUsbPipe& in = *channel_.InPipe();
    ASSERT_EQ(in.BindEndpoint(0, 0x81), 0u);
    CUsbBuffer::ScopedEventFailure noEvents;
    std::array<std::uint8_t, 8> data{};
    std::uint32_t length = 8;
    EXPECT_EQ(in.ReadSync(data.data(), length, 100000), usbio::ERROR_OPERATION_ABORTED);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(sim_.Device().PendingReads(), 0u);

    // Completed at once, a transfer needs no wait at all.
    sim_.Device().QueueIn(0x81, {1});
    length = 8;
    EXPECT_EQ(in.ReadSync(data.data(), length, 100000), 0u);
    EXPECT_EQ(length, 1u);
}

TEST_F(CUsbPipeTest, DeviceVanishingDuringATimedReadEndsIt) {
    CUsbPipe& in = *channel_.InPipe();
    ASSERT_EQ(in.BindEndpoint(0, 0x81), 0u);
    sim_.Device().UnplugAfter(500);
    std::array<std::uint8_t, 8> data{};
    std::uint32_t length = 8;
    EXPECT_EQ(in.ReadSync(data.data(), length, testsupport::DeadlineMs()), 0xE000100Au);
    EXPECT_EQ(length, 0u);
    sim_.Device().Plug();
    length = 8;
    EXPECT_EQ(in.ReadSync(data.data(), length, 100000), 0xE000100Au);  // the old handle is dead
}

}  // namespace
