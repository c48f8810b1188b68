#include "usb/UsbTransferChannel.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "tests/support/TestDeadline.h"
#include "tests/support/UsbSimEnvironment.h"
#include "usb/SetupApiBinding.h"

using platform::TimeFacility;
namespace usbio = platform::usbio;
using Out = usbio::SimulatedFunction::OutResult;

namespace {

class UsbTransferChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetupApiBinding::Unload();
        list_ = CUsbDevice::CreateDeviceList(&kUsbioInterfaceGuid);
    }
    void TearDown() override { CUsbDevice::DestroyDeviceList(list_); }

    // What detection does before the engine transfers.
    void Connect(UsbTransferChannel& channel) {
        channel.CreatePipes();
        channel.SetDeviceList(list_);
        ASSERT_EQ(channel.Device().Open(0, list_, &kUsbioInterfaceGuid), 0u);
        ASSERT_EQ(channel.Configure(), 0u);
        channel.BindPipes();
    }

    std::size_t Requests(std::uint32_t code) { return sim_.Device().RequestCount(code); }

    TimeFacility::ScopedScale scale_{1};
    UsbSimEnvironment sim_;
    CUsbDevice::DeviceList list_ = 0;
};

TEST_F(UsbTransferChannelTest, ConfigureSendsTheRequestBuiltFromTheTable) {
    UsbTransferChannel channel;
    channel.CreatePipes();
    ASSERT_EQ(channel.Device().Open(0, list_, &kUsbioInterfaceGuid), 0u);
    ASSERT_EQ(channel.Configure(), 0u);
    std::vector<std::uint8_t> expected(260, 0);
    expected[2] = 1;   // one setting
    expected[4] = 0;   // interface 0
    expected[6] = 0;   // alternate setting 0
    expected[10] = 1;  // 65536 = 0x00010000
    EXPECT_EQ(sim_.Device().LastRequestInput(usbio::IOCTL_USBIO_SET_CONFIGURATION), expected);

    sim_.Device().FailRequest(usbio::IOCTL_USBIO_SET_CONFIGURATION, 0xE000101D);
    EXPECT_EQ(channel.Configure(), 0xE000101Du);

    UsbTransferChannel closed;
    EXPECT_EQ(closed.Configure(), 0xE0001102u);
}

TEST_F(UsbTransferChannelTest, BindPipesFollowsTheEndpointDirections) {
    sim_.Device().SetPipes({{0x81, 2, 512}, {0x01, 2, 512}, {0x02, 2, 64}});
    UsbTransferChannel channel;
    Connect(channel);
    EXPECT_TRUE(channel.InPipe()->IsOpen());
    EXPECT_TRUE(channel.OutPipe()->IsOpen());
    EXPECT_EQ(channel.InPipe()->PipeInfo().EndpointAddress(), 0x81);
    // 0x02 went to the out-pipe too: copied in, then its bind request was
    // refused by the driver (the handle is bound already) and ignored.
    EXPECT_EQ(Requests(usbio::IOCTL_USBIO_BIND_PIPE), 2u);
    EXPECT_EQ(sim_.Device().LastRequestInput(usbio::IOCTL_USBIO_BIND_PIPE),
              std::vector<std::uint8_t>{0x01});
    EXPECT_EQ(channel.OutPipe()->PipeInfo().EndpointAddress(), 0x02);
    EXPECT_EQ(channel.OutPipe()->PipeInfo().bytes[4], 64);

    // The out-pipe still writes to the endpoint it is bound to.
    std::array<std::uint8_t, 4> data{1, 2, 3, 4};
    std::uint32_t length = 4;
    EXPECT_EQ(channel.Send(data.data(), length, 5000), 0u);
    EXPECT_EQ(length, 4u);
}

TEST_F(UsbTransferChannelTest, AnOverFullConfigurationInfoIsReadOnlyWithinTheRecord) {
    sim_.Device().SetReportedPipeCount(40);
    UsbTransferChannel channel;
    Connect(channel);
    // The 30 empty entries inside the record are OUT endpoint 0: the out-pipe
    // gets a bind request for each, refused on its bound handle and ignored.
    EXPECT_EQ(channel.InPipe()->PipeInfo().EndpointAddress(), 0x81);
    EXPECT_EQ(channel.OutPipe()->PipeInfo().EndpointAddress(), 0x00);
    std::array<std::uint8_t, 2> data{1, 2};
    std::uint32_t length = 2;
    EXPECT_EQ(channel.Send(data.data(), length, 5000), 0u);
    EXPECT_EQ(sim_.Function().Written().size(), 1u);
}

TEST_F(UsbTransferChannelTest, ConfigurationInfoFailureLeavesThePipesAlone) {
    UsbTransferChannel channel;
    channel.CreatePipes();
    channel.SetDeviceList(list_);
    ASSERT_EQ(channel.Device().Open(0, list_, &kUsbioInterfaceGuid), 0u);
    sim_.Device().FailRequest(usbio::IOCTL_USBIO_GET_CONFIGURATION_INFO, 0xE0001006);
    channel.BindPipes();
    EXPECT_FALSE(channel.InPipe()->IsOpen());
    EXPECT_FALSE(channel.OutPipe()->IsOpen());
    EXPECT_EQ(Requests(usbio::IOCTL_USBIO_BIND_PIPE), 0u);
}

TEST_F(UsbTransferChannelTest, BytesMoveBothWaysWithTheirTimeOuts) {
    sim_.Function().SetEcho(true);
    UsbTransferChannel channel;
    Connect(channel);
    TimeFacility::ScopedLog log;

    std::vector<std::uint8_t> frame(8192);
    std::iota(frame.begin(), frame.end(), 0);
    std::vector<std::uint8_t> received(8192);
    std::uint32_t got = 8192;
    std::uint32_t readStatus = 1;
    // The reader waits first, on its own thread, as the engine's reads may;
    // its time-out is the test's deadline, which the echo surely beats.
    sim_.Function().ScriptOut(Out{.delayMs = 1000});
    const std::uint32_t readTimeoutMs = testsupport::DeadlineMs();
    auto reader = platform::Thread::Start(
        [&] { readStatus = channel.InPipe()->ReadSync(received.data(), got, readTimeoutMs); });
    std::uint32_t length = 8192;
    EXPECT_EQ(channel.Send(frame.data(), length, 100000), 0u);
    EXPECT_EQ(length, 8192u);
    reader->Join();
    EXPECT_EQ(readStatus, 0u);
    EXPECT_EQ(got, 8192u);
    EXPECT_EQ(received, frame);
    EXPECT_EQ(log.TimeoutsOf(platform::Thread::CurrentId()), std::vector<std::uint32_t>{100000});
    // The reader waited with its time-out, unless the data was there first.
    const auto readerWaits = log.TimeoutsOf(reader->Id());
    EXPECT_TRUE(readerWaits.empty() || readerWaits == std::vector<std::uint32_t>{readTimeoutMs});

    // A send that the device never takes times out, cancelled before return.
    sim_.Function().SetEcho(false);
    sim_.Function().ScriptOut(Out{.accepted = 0, .neverCompletes = true});
    length = 1;
    EXPECT_EQ(channel.Send(frame.data(), length, 5000), 0xE000100Cu);
    EXPECT_EQ(length, 0u);
}

TEST_F(UsbTransferChannelTest, CloseTouchesOnlyTheDevice) {
    sim_.Function().SetEcho(true);
    UsbTransferChannel channel;
    Connect(channel);
    EXPECT_EQ(channel.InstanceNumber(), 0);
    channel.Close();
    channel.Close();
    EXPECT_EQ(channel.InstanceNumber(), -1);
    EXPECT_FALSE(channel.Device().IsOpen());

    std::array<std::uint8_t, 3> data{7, 8, 9};
    std::uint32_t length = 3;
    EXPECT_EQ(channel.Send(data.data(), length, 5000), 0u);
    std::array<std::uint8_t, 8> back{};
    length = 8;
    EXPECT_EQ(channel.InPipe()->ReadSync(back.data(), length, 5000), 0u);
    EXPECT_EQ(length, 3u);
}

TEST_F(UsbTransferChannelTest, CreatePipesKeepsOrRenewsThePipes) {
    UsbTransferChannel channel;
    channel.CreatePipes();
    CUsbPipe* in = channel.InPipe();
    CUsbPipe* out = channel.OutPipe();
    EXPECT_NE(in, out);
    EXPECT_EQ(in->Owner(), &channel);
    channel.CreatePipes();  // device closed: same pipes
    EXPECT_EQ(channel.InPipe(), in);
    EXPECT_EQ(channel.OutPipe(), out);

    Connect(channel);  // device open now
    ASSERT_TRUE(channel.InPipe()->IsOpen());
    channel.CreatePipes();
    EXPECT_FALSE(channel.Device().IsOpen());
    EXPECT_FALSE(channel.InPipe()->IsOpen());
    EXPECT_FALSE(channel.OutPipe()->IsOpen());
    EXPECT_EQ(channel.InPipe()->Owner(), &channel);
}

TEST_F(UsbTransferChannelTest, UseBeforeCreatePipesFailsCleanly) {
    UsbTransferChannel channel;
    std::array<std::uint8_t, 4> data{};
    std::uint32_t length = 4;
    EXPECT_EQ(channel.Send(data.data(), length, 5000), 0xE0001013u);
    EXPECT_EQ(length, 0u);
    ASSERT_NE(channel.InPipe(), nullptr);
    length = 4;
    EXPECT_EQ(channel.InPipe()->ReadSync(data.data(), length, 5000), usbio::ERROR_INVALID_HANDLE);
    length = 4;
    EXPECT_EQ(channel.OutPipe()->WriteSync(data.data(), length, 5000), usbio::ERROR_INVALID_HANDLE);
    EXPECT_EQ(channel.InPipe()->BindEndpoint(0, 0x81), 0xE0001013u);
    ASSERT_EQ(channel.Device().Open(0, list_, &kUsbioInterfaceGuid), 0u);
    channel.BindPipes();
    EXPECT_EQ(Requests(usbio::IOCTL_USBIO_GET_CONFIGURATION_INFO), 0u);
}

}  // namespace
