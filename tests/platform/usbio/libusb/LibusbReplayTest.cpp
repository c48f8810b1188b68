// The libusb back end against USB devices that umockdev makes up: a private
// sysfs with the devices' descriptors and device nodes that answer from a
// usbmon capture. Runs under umockdev's preload (the suite is registered
// with umockdev-wrapper) and skips without it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/AppChannel.h"
#include "engine/FileTransfer.h"
#include "engine/Protocol.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/UsbioDriver.h"
#include "platform/usbio/UsbmonCapture.h"
#include "platform/usbio/libusb/LibusbBackend.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/SimulatedRig.h"
#include "tests/support/UmockdevCapture.h"
#include "tests/support/UmockdevTestbed.h"
#include "usb/UsbTransferChannel.h"

namespace {

using platform::usbio::LibusbBackend;
using platform::usbio::UsbIdList;
using platform::usbio::UsbioDriver;
using platform::usbio::UsbmonCapture;
using Bytes = std::vector<std::uint8_t>;

// The simulated instrument's descriptors: device 1209:0001, one
// configuration (value 1) with interface 0 holding bulk IN 0x81 and bulk
// OUT 0x01 of 512 bytes.
Bytes Descriptors(std::uint16_t product = 0x0001) {
    Bytes d = {0x12,
               0x01,
               0x00,
               0x02,
               0x00,
               0x00,
               0x00,
               0x40,
               0x09,
               0x12,
               static_cast<std::uint8_t>(product),
               static_cast<std::uint8_t>(product >> 8),
               0x00,
               0x01,
               0x00,
               0x00,
               0x00,
               0x01};
    const Bytes config = {0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04,
                          0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x02,
                          0x00, 0x02, 0x00, 0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00};
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

// The test beds' own files go under a directory of the suite's, not the
// system's temporary directory (GLib reads TMPDIR once per process).
class SuiteTmpDir : public ::testing::Environment {
  public:
    void SetUp() override {
        char tmpl[] = "/tmp/kestrup-umockdev-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("TMPDIR", dir_.c_str(), 1);
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  private:
    std::string dir_;
};

[[maybe_unused]] ::testing::Environment* const g_suiteTmpDir =
    ::testing::AddGlobalTestEnvironment(new SuiteTmpDir);

class LibusbReplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kestrup-replay-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/";
        testbed_ = std::make_unique<testsupport::UmockdevTestbed>();
        if (!testsupport::UmockdevTestbed::Active()) {
            GTEST_SKIP() << "not running under umockdev's preload (umockdev-wrapper)";
        }
    }

    void TearDown() override {
        kestrup::AppChannel::Set(nullptr);
        if (channel_) {
            const auto list = channel_->DeviceList();
            channel_.reset();
            CUsbDevice::DestroyDeviceList(list);
        }
        if (backend_) {
            UsbioDriver::RemoveBackend(backend_);
            backend_.reset();
        }
        testbed_.reset();
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }

    // Starts the libusb back end for 1209:0001 on the test bed as it is now.
    void StartBackend(bool useHotplug = true) {
        UsbIdList ids;
        ids.Add("1209:0001");
        std::string error;
        backend_ = LibusbBackend::Create(ids, error, useHotplug);
        ASSERT_TRUE(backend_) << error;
        UsbioDriver::InstallBackend(backend_);
    }

    // What device detection and the channel do once the instrument is found.
    void Connect() {
        channel_ = std::make_unique<UsbTransferChannel>();
        channel_->CreatePipes();
        channel_->SetDeviceList(CUsbDevice::CreateDeviceList(&kUsbioInterfaceGuid));
        ASSERT_EQ(channel_->Device().Open(0, channel_->DeviceList(), &kUsbioInterfaceGuid), 0u);
        ASSERT_EQ(channel_->Configure(), 0u);
        channel_->BindPipes();
        kestrup::AppChannel::Set(channel_.get());
    }

    std::string WriteCapture(const std::string& name,
                             const std::vector<UsbmonCapture::Record>& records) {
        const std::string path = dir_ + name;
        auto capture = UsbmonCapture::Create(path);
        for (const auto& record : records) {
            capture->Write(record);
        }
        return path;
    }

    std::string dir_;
    std::unique_ptr<testsupport::UmockdevTestbed> testbed_;
    std::shared_ptr<LibusbBackend> backend_;
    std::unique_ptr<UsbTransferChannel> channel_;
};

UsbmonCapture::Record Bulk(std::uint64_t urb, char type, std::uint8_t endpoint,
                           std::uint32_t length, std::int32_t status = 0,
                           std::span<const std::uint8_t> data = {}) {
    UsbmonCapture::Record r;
    r.urbId = urb;
    r.type = type;
    r.transferType = 3;
    r.endpoint = endpoint;
    r.device = 2;
    r.status = type == 'S' ? UsbmonCapture::kInProgress : status;
    r.urbLength = length;
    r.data = data;
    const bool in = (endpoint & 0x80) != 0;
    r.dataFlag = type == 'S' ? (in ? '<' : 0) : (in ? 0 : '>');
    r.transferFlags = in ? 0x200 : 0;
    return r;
}

TEST_F(LibusbReplayTest, OnlyListedDevicesBecomeInterfaces) {
    testbed_->AddUsbDevice(2, Descriptors(0x0001));
    testbed_->AddUsbDevice(3, Descriptors(0x0002));  // same maker, not on the list
    StartBackend();
    const auto devices = UsbioDriver::AttachedDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]->Path(), "/dev/bus/usb/001/002");
    EXPECT_EQ(devices[0]->Address(), 2);

    // With nothing listed nothing appears, however many devices there are.
    std::string error;
    auto empty = LibusbBackend::Create(UsbIdList(), error);
    ASSERT_TRUE(empty) << error;
    EXPECT_TRUE(empty->AttachedDevices().empty());
}

TEST_F(LibusbReplayTest, WithoutHotplugEachListingEnumeratesAfresh) {
    const std::string listed = testbed_->AddUsbDevice(2, Descriptors(0x0001));
    testbed_->AddUsbDevice(3, Descriptors(0x0002));
    StartBackend(false);
    ASSERT_FALSE(backend_->FollowsHotplug());
    auto devices = UsbioDriver::AttachedDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]->Path(), "/dev/bus/usb/001/002");
    const std::uint64_t session = devices[0]->Session();
    EXPECT_NE(session, 0u);
    EXPECT_EQ(UsbioDriver::AttachedDevices()[0], devices[0]);  // the same attachment

    testbed_->Unplug(listed);
    // libusb learns of the removal on its own thread; the next listings show it.
    for (int i = 0; i < 200 && !UsbioDriver::AttachedDevices().empty(); ++i) {
        platform::TimeFacility::Sleep(10, "removal noticed");
    }
    EXPECT_TRUE(UsbioDriver::AttachedDevices().empty());
    EXPECT_EQ(devices[0]->Session(), 0u);  // handles on it are dead now
}

TEST_F(LibusbReplayTest, UpgradeRecordedOnTheSimulatorCompletesOnTheReplay) {
    const std::string file = dir_ + "notes.txt";
    ASSERT_TRUE(platform::FileSystem::WriteAll(file, std::string(9000, 'k')));
    const std::string recorded = dir_ + "recorded.pcap";
    std::vector<std::pair<std::int32_t, std::int64_t>> expected;
    {
        platform::TimeFacility::ScopedScale fast(1);
        testsupport::RecordingMessageBoxes boxes;
        testsupport::NotificationRecorder frame;
        testsupport::SimulatedRig rig;
        ASSERT_TRUE(rig.Connect());
        ASSERT_TRUE(UsbioDriver::StartCapture(recorded));
        std::uint8_t byte = kestrup::OP_START_UPGRADE;
        std::uint32_t length = 1;
        ASSERT_EQ(rig.Channel().Send(&byte, length, 5000), 0u);
        length = 1;
        ASSERT_EQ(rig.Channel().InPipe()->ReadSync(&byte, length, 5000), 0u);
        ASSERT_EQ(byte, kestrup::OP_ACK);
        kestrup::SendFile(file.c_str(), &frame, true);
        UsbioDriver::StopCapture();
        ASSERT_TRUE(rig.Protocol().Files().back().complete);
        expected = frame.Progress();
        ASSERT_TRUE(boxes.Texts().empty());
    }

    const std::string replay = dir_ + "replay.pcap";
    std::uint8_t address = 0;
    std::string error;
    ASSERT_TRUE(testsupport::UmockdevCapture::KeepBulk(recorded, replay, address, error)) << error;
    ASSERT_NE(address, 0);
    const std::string sysfs = testbed_->AddUsbDevice(address, Descriptors());
    ASSERT_TRUE(testbed_->LoadPcap(sysfs, replay, error)) << error;
    StartBackend();
    // The replay answers at once, but through more machinery than the
    // simulator; the time-outs get room for a loaded machine.
    platform::TimeFacility::ScopedScale slower(200);
    testsupport::RecordingMessageBoxes boxes;
    testsupport::NotificationRecorder frame;
    Connect();
    std::uint8_t byte = kestrup::OP_START_UPGRADE;
    std::uint32_t length = 1;
    ASSERT_EQ(channel_->Send(&byte, length, 5000), 0u);
    length = 1;
    ASSERT_EQ(channel_->InPipe()->ReadSync(&byte, length, 5000), 0u);
    EXPECT_EQ(byte, kestrup::OP_ACK);
    kestrup::SendFile(file.c_str(), &frame, true);
    EXPECT_EQ(frame.Progress(), expected);
    EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(LibusbReplayTest, StalledEndpointEndsTheReadWithTheStallStatusAndIsClearedForTheNext) {
    const std::uint8_t answer = kestrup::OP_ACK;
    const std::string pcap = WriteCapture(
        "stall.pcap",
        {Bulk(1, 'S', 0x81, 512), Bulk(1, 'C', 0x81, 0, -32 /* EPIPE */), Bulk(2, 'S', 0x81, 512),
         Bulk(2, 'C', 0x81, 1, 0, std::span<const std::uint8_t>(&answer, 1))});
    std::string error;
    ASSERT_TRUE(testbed_->LoadPcap(testbed_->AddUsbDevice(2, Descriptors()), pcap, error)) << error;
    StartBackend();
    platform::TimeFacility::ScopedScale slower(200);
    Connect();
    std::uint8_t byte = 0xEE;
    std::uint32_t length = 1;
    EXPECT_EQ(channel_->InPipe()->ReadSync(&byte, length, 5000), 0xE0000004u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(byte, 0xEE);
    length = 1;
    EXPECT_EQ(channel_->InPipe()->ReadSync(&byte, length, 5000), 0u);
    EXPECT_EQ(byte, kestrup::OP_ACK);
}

TEST_F(LibusbReplayTest, ReadThatTimesOutIsCancelledBeforeTheCallReturns) {
    const std::uint8_t answer = kestrup::OP_ACK;
    // The instrument never answers the first read; the second gets its byte.
    const std::string pcap = WriteCapture(
        "timeout.pcap", {Bulk(1, 'S', 0x81, 512), Bulk(2, 'S', 0x81, 512),
                         Bulk(2, 'C', 0x81, 1, 0, std::span<const std::uint8_t>(&answer, 1))});
    std::string error;
    ASSERT_TRUE(testbed_->LoadPcap(testbed_->AddUsbDevice(2, Descriptors()), pcap, error)) << error;
    StartBackend();
    platform::TimeFacility::ScopedScale slower(200);
    Connect();
    std::uint8_t byte = 0xEE;
    std::uint32_t length = 1;
    EXPECT_EQ(channel_->InPipe()->ReadSync(&byte, length, 100), 0xE000100Cu);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(byte, 0xEE);  // nothing of the cancelled read arrives
    length = 1;
    EXPECT_EQ(channel_->InPipe()->ReadSync(&byte, length, 5000), 0u);
    EXPECT_EQ(byte, kestrup::OP_ACK);
}

TEST_F(LibusbReplayTest, UnplugDuringAReadEndsItWithDeviceRemoved) {
    // The read is submitted and never answered: the device goes instead.
    const std::string pcap = WriteCapture("unplug.pcap", {Bulk(1, 'S', 0x81, 512)});
    std::string error;
    const std::string sysfs = testbed_->AddUsbDevice(2, Descriptors());
    ASSERT_TRUE(testbed_->LoadPcap(sysfs, pcap, error)) << error;
    StartBackend();
    ASSERT_TRUE(backend_->FollowsHotplug());
    platform::TimeFacility::ScopedScale slower(200);
    Connect();
    std::uint32_t status = 0;
    std::uint32_t length = 8;
    Bytes data(8, 0xEE);
    auto reader = platform::Thread::Start(
        [&] { status = channel_->InPipe()->ReadSync(data.data(), length, 100000); });
    const auto device = std::dynamic_pointer_cast<platform::usbio::LibusbDevice>(
        UsbioDriver::AttachedDevices().at(0));
    ASSERT_TRUE(device);
    for (int i = 0; i < 1000 && device->TransfersInFlight() == 0; ++i) {
        platform::TimeFacility::Sleep(5, "read under way");  // 1 ms at this scale
    }
    ASSERT_EQ(device->TransfersInFlight(), 1u);
    testbed_->Unplug(sysfs);
    reader->Join();
    EXPECT_EQ(status, 0xE000100Au);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(data, Bytes(8, 0xEE));
    EXPECT_TRUE(UsbioDriver::AttachedDevices().empty());
}

TEST_F(LibusbReplayTest, HotplugCallbackRunningAtShutdownNeverOutlivesTheBackEnd) {
    // A device leaves while the back end is being destroyed, over and over:
    // the removal's callback on the event thread either runs before the back
    // end goes or finds it gone, never half-destroyed.
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const std::string sysfs =
            testbed_->AddUsbDevice(static_cast<std::uint8_t>(2 + round), Descriptors());
        StartBackend();
        ASSERT_TRUE(backend_->FollowsHotplug());
        ASSERT_EQ(UsbioDriver::AttachedDevices().size(), 1u);
        testbed_->Unplug(sysfs);
        UsbioDriver::RemoveBackend(backend_);
        backend_.reset();
    }
}

TEST_F(LibusbReplayTest, BindingAcceptsOnlyEndpointsOfTheClaimedInterfaces) {
    std::string error;
    ASSERT_TRUE(testbed_->LoadPcap(testbed_->AddUsbDevice(2, Descriptors()),
                                   WriteCapture("empty.pcap", {}), error))
        << error;
    StartBackend();
    Connect();
    // The channel bound both pipes of interface 0; a third handle may bind
    // nothing else.
    CUsbPipe pipe;
    pipe.SetOwner(channel_.get());
    EXPECT_EQ(pipe.Bind(0, 0x82, channel_->DeviceList(), &kUsbioInterfaceGuid), 0xE0001013u);
    EXPECT_EQ(pipe.Bind(0, 0x81, channel_->DeviceList(), &kUsbioInterfaceGuid), 0xE0001008u);
}

}  // namespace
