// The libusb back end against USB devices that umockdev makes up: a private
// sysfs with the devices' descriptors and device nodes that answer from a
// usbmon capture. Runs under umockdev's preload (the suite is registered
// with umockdev-wrapper) and skips without it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/AppChannel.h"
#include "engine/DeviceDetection.h"
#include "engine/EngineShutdown.h"
#include "engine/FileTransfer.h"
#include "engine/Protocol.h"
#include "engine/UpgradeWorker.h"
#include "package/CKestrupDoc.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/PlainDispatcher.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/UsbioDriver.h"
#include "platform/usbio/UsbmonCapture.h"
#include "platform/usbio/libusb/LibusbBackend.h"
#include "sim/Scenario.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/SimulatedRig.h"
#include "tests/support/TestDeadline.h"
#include "tests/support/UmockdevKernel.h"
#include "tests/support/UmockdevTestbed.h"
#include "tests/support/UsbioCalls.h"
#include "tests/support/UsbmonRecords.h"
#include "usb/UsbTransferChannel.h"

namespace {

using platform::usbio::Handle;
using platform::usbio::IOCTL_USBIO_BIND_PIPE;
using platform::usbio::IOCTL_USBIO_SET_CONFIGURATION;
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
    EXPECT_TRUE(testsupport::AwaitCondition([] { return UsbioDriver::AttachedDevices().empty(); },
                                            "libusb's notice of the removal"));
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

    const auto records = testsupport::usbmon::Parse(testsupport::usbmon::ReadAll(recorded));
    ASSERT_FALSE(records.empty());
    const std::uint8_t address = records[0].device;
    std::string error;
    const std::string sysfs = testbed_->AddUsbDevice(address, Descriptors());
    ASSERT_TRUE(testbed_->LoadPcap(sysfs, recorded, error)) << error;
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
    ASSERT_TRUE(testsupport::AwaitCondition([&] { return device->TransfersInFlight() != 0; },
                                            "the read under way"));
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

// --- The kernel's own behaviour, emulated (UmockdevKernel) ---

// One byte out, and what the read of `length` bytes gets.
std::uint32_t Exchange(UsbTransferChannel& channel, std::uint8_t byte, std::uint8_t* answer,
                       std::uint32_t& length) {
    std::uint32_t sent = 1;
    if (const std::uint32_t status = channel.Send(&byte, sent, 5000); status != 0) {
        return status;
    }
    return channel.InPipe()->ReadSync(answer, length, 5000);
}

// An instrument on bus 3 that sends more than the program asks for: the read
// gets the byte it asked for and an overflow, the endpoint stays usable, and
// the next answer comes. A packet longer than the endpoint's (babble) halts
// it, and the next read clears it first. The capture shows what went over
// the bus: the set-interface request, the bulk transfers with the host's
// whole-packet buffers and Linux's statuses; neither the driver's own
// requests nor the set-configuration that was skipped.
TEST_F(LibusbReplayTest, AnswersLongerThanAskedForAreCutAndTheBusShowsWhatCame) {
    testsupport::UmockdevKernel kernel(*testbed_, 4, {}, 3);
    kernel.LongerAnswers(2);
    StartBackend();
    platform::TimeFacility::ScopedScale slower(200);
    const std::string capture = dir_ + "bus3.pcap";
    ASSERT_TRUE(UsbioDriver::StartCapture(capture));
    Connect();
    std::array<std::uint8_t, 4> answer{};
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        answer.fill(0xEE);
        std::uint32_t length = 1;
        EXPECT_EQ(Exchange(*channel_, kestrup::OP_START_UPGRADE, answer.data(), length),
                  0xE0000008u);
        EXPECT_EQ(length, 1u);
        EXPECT_EQ(answer, (std::array<std::uint8_t, 4>{kestrup::OP_ACK, 0xEE, 0xEE, 0xEE}));
    }
    kernel.LongerAnswers(600);
    std::uint32_t length = 1;
    EXPECT_EQ(Exchange(*channel_, kestrup::OP_START_UPGRADE, answer.data(), length), 0xE0000008u);
    kernel.LongerAnswers(0);
    length = 1;
    EXPECT_EQ(Exchange(*channel_, kestrup::OP_START_UPGRADE, answer.data(), length), 0u);
    EXPECT_EQ(answer[0], kestrup::OP_ACK);
    UsbioDriver::StopCapture();
    const auto calls = kernel.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "CLEAR_HALT 0x81"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "SETINTERFACE 0 0"), 1);

    std::vector<std::vector<std::uint8_t>> setups;
    std::vector<std::pair<char, std::int32_t>> inStatus;
    std::vector<std::uint32_t> inLengths;
    for (const auto& p : testsupport::usbmon::Parse(testsupport::usbmon::ReadAll(capture))) {
        EXPECT_EQ(p.bus, 3u) << "bus";
        EXPECT_EQ(p.device, 4u) << "device";
        if (p.type == 'S' && p.transferType == 2) {
            setups.push_back(p.setup);
        }
        if (p.transferType == 3 && p.endpoint == 0x81) {
            inStatus.emplace_back(p.type, p.status);
            if (p.type == 'S') {
                inLengths.push_back(p.length);
            }
        }
    }
    // The set-interface and the clear after the babble, nothing of the
    // driver's own.
    EXPECT_EQ(setups, (std::vector<std::vector<std::uint8_t>>{{0x01, 0x0B, 0, 0, 0, 0, 0, 0},
                                                              {0x02, 0x01, 0, 0, 0x81, 0, 0, 0}}));
    EXPECT_EQ(inLengths, std::vector<std::uint32_t>(4, 512));
    ASSERT_EQ(inStatus.size(), 8u);
    EXPECT_EQ(inStatus[1], std::make_pair('C', 0));
    EXPECT_EQ(inStatus[5], std::make_pair('C', -75));
}

// The event thread only notes a departure: the session is gone at once (its
// handles are dead), while what was pending on the device ends on the
// worker, here held up on purpose. Meanwhile the event thread goes on
// completing another instrument's transfers. The instrument comes back at a
// new address, and detection's next listing finds it there.
TEST_F(LibusbReplayTest, DepartureIsOnlyNotedOnTheEventThreadAndTheDeviceReturnsElsewhere) {
    testsupport::UmockdevKernel five(*testbed_, 5);
    testsupport::UmockdevKernel six(*testbed_, 6);
    testsupport::UmockdevKernel back(*testbed_, 9, {}, 1, false);
    StartBackend();
    ASSERT_TRUE(backend_->FollowsHotplug());
    platform::TimeFacility::ScopedScale slower(200);
    // The first interface leaves; the channel works on it.
    const auto gone = std::dynamic_pointer_cast<platform::usbio::LibusbDevice>(
        UsbioDriver::AttachedDevices().at(0));
    auto& leaving = gone->Path() == five.Node() ? five : six;
    auto& staying = &leaving == &five ? six : five;
    Connect();
    // Another instrument, through the driver itself: configured, one handle
    // per endpoint.
    const auto open = [](const std::string& path, std::uint8_t endpoint) {
        const Handle h = usbio_calls::Open(path.c_str());
        std::array<std::uint8_t, 260> configuration{};
        configuration[2] = 1;  // interface 0, alternate setting 0
        EXPECT_EQ(usbio_calls::Request(h, IOCTL_USBIO_SET_CONFIGURATION, configuration.data(), 260),
                  0u);
        EXPECT_EQ(usbio_calls::Request(h, IOCTL_USBIO_BIND_PIPE, &endpoint, 1), 0u);
        return h;
    };
    const auto exchange = [](Handle out, Handle in) {
        std::uint8_t byte = kestrup::OP_START_UPGRADE;
        std::uint32_t n = 0;
        EXPECT_EQ(usbio_calls::Transfer(out, false, &byte, 1, &n), 0u);
        byte = 0;
        EXPECT_EQ(usbio_calls::Transfer(in, true, &byte, 1, &n), 0u);
        return byte;
    };
    Handle out = open(staying.Node(), 0x01);
    Handle in = open(staying.Node(), 0x81);

    std::uint32_t status = 0;
    std::uint32_t length = 1;
    std::uint8_t byte = 0xEE;
    auto reader = platform::Thread::Start(
        [&] { status = channel_->InPipe()->ReadSync(&byte, length, 100000); });
    ASSERT_TRUE(testsupport::AwaitCondition([&] { return gone->TransfersInFlight() != 0; },
                                            "the read under way"));
    ASSERT_EQ(gone->TransfersInFlight(), 1u);

    platform::Event release(true, false);
    backend_->Context().Worker().Post(
        [&] { testsupport::Await(release, "the release of the held worker"); });
    testbed_->Unplug(leaving.SysfsPath());
    ASSERT_TRUE(testsupport::AwaitCondition([&] { return gone->Session() == 0; },
                                            "the callback's marking the session gone"));
    EXPECT_FALSE(reader->Finished()) << "the callback ended the read itself";
    EXPECT_EQ(exchange(out, in), kestrup::OP_ACK);  // the event thread is free
    release.Set();
    reader->Join();
    EXPECT_EQ(status, 0xE000100Au);
    EXPECT_EQ(byte, 0xEE);
    UsbioDriver::CloseHandle(out);
    UsbioDriver::CloseHandle(in);

    // Back, at another address: a new attachment that works.
    back.Plug();
    ASSERT_TRUE(testsupport::AwaitCondition(
        [&] {
            for (const auto& device : UsbioDriver::AttachedDevices()) {
                if (device->Path() == back.Node()) {
                    return true;
                }
            }
            return false;
        },
        "the instrument's arrival at its new address"));
    EXPECT_EQ(UsbioDriver::AttachedDevices().size(), 2u);
    out = open(back.Node(), 0x01);
    in = open(back.Node(), 0x81);
    EXPECT_EQ(exchange(out, in), kestrup::OP_ACK);
    EXPECT_EQ(back.Protocol().StartCount(), 1);
    UsbioDriver::CloseHandle(out);
    UsbioDriver::CloseHandle(in);
}

// Closing while detection configures an instrument that answers no control
// request (the kernel holds its set-interface for 5 s): the close still ends
// within its bound, since the request ends after its own bound and nothing
// of the close waits for the kernel.
TEST_F(LibusbReplayTest, CloseKeepsItsBoundWithAnInstrumentThatAnswersNoControlRequest) {
    testsupport::UmockdevKernel kernel(*testbed_, 2);
    kernel.Mute();
    StartBackend();
    platform::TimeFacility::ScopedScale slower(200);
    platform::PlainDispatcher dispatcher;
    testsupport::NotificationRecorder frame;
    UsbTransferChannel channel;
    platform::Event stop(false, false);
    platform::Event done(false, true);
    CKestrupDoc document;
    kestrup::EngineThreads threads;
    threads.detection =
        kestrup::StartDetection(document, 0, {&channel, &stop, &done, &frame, nullptr, {}});
    ASSERT_NE(threads.detection, nullptr);
    ASSERT_TRUE(kernel.WaitForCall("SETINTERFACE", 60000)) << "detection never configured";
    const std::uint64_t from = platform::TimeFacility::NowMs();
    kestrup::CloseEngine(threads, {&channel, &stop, &done});
    EXPECT_LE(platform::TimeFacility::NowMs() - from, kestrup::kCloseBoundMs);
    EXPECT_EQ(threads.detection, nullptr);
    kestrup::g_bConnected.store(0);
    CUsbDevice::DestroyDeviceList(channel.DeviceList());
}

// An open right after the close of the program's last handle on the
// instrument, as a detection pass makes it (it opens each instrument to read
// its descriptor, then the one it found): that close goes on on the worker
// and keeps the node's lock until it is done, so the open waits for it
// instead of taking the lock for another copy's and passing the instrument
// over.
TEST_F(LibusbReplayTest, AnOpenRightAfterACloseWaitsForItsOwnCloseNotForAnotherCopy) {
    testsupport::UmockdevKernel kernel(*testbed_, 3);
    StartBackend();
    // The open waits at most kRequestBoundMs: many real seconds here.
    platform::TimeFacility::ScopedScale slower(10000);
    platform::TimeFacility::ScopedLog log;
    std::array<std::uint8_t, platform::usbio::kDriverInfoSize> info{};
    const Handle first = usbio_calls::Open(kernel.Node().c_str());
    ASSERT_EQ(usbio_calls::Request(first, platform::usbio::IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0,
                                   info.data(), platform::usbio::kDriverInfoSize),
              0u);
    // The worker is held: the close of that handle waits behind.
    platform::Event release(true, false);
    backend_->Context().Worker().Post(
        [&] { testsupport::Await(release, "the release of the held worker"); });
    UsbioDriver::CloseHandle(first);
    std::uint32_t status = 1;
    auto opener = platform::Thread::Start([&] {
        const Handle again = usbio_calls::Open(kernel.Node().c_str());
        status = usbio_calls::Request(again, platform::usbio::IOCTL_USBIO_GET_DRIVER_INFO, nullptr,
                                      0, info.data(), platform::usbio::kDriverInfoSize);
        UsbioDriver::CloseHandle(again);
    });
    ASSERT_TRUE(opener);
    const auto waitsForTheClose = [](const std::vector<platform::TimeFacility::Record>& records) {
        return std::any_of(records.begin(), records.end(),
                           [](const auto& r) { return r.what == "the close of the last handle"; });
    };
    ASSERT_TRUE(testsupport::AwaitCondition(
        [&] { return opener->Finished() || waitsForTheClose(log.Records()); },
        "the open, waiting for the close or done"));
    release.Set();
    opener->Join();
    EXPECT_EQ(status, 0u);
}

// Every write stalls and its wait ends at once or nearly: whether a cancel
// meets the transfer before, while or after it ends, the halt is known by
// the next write, which clears it first; nothing is ever sent to an
// endpoint that is still halted.
TEST_F(LibusbReplayTest, NoTransferGoesToAHaltedEndpointWhateverTheCancelMeets) {
    testsupport::UmockdevKernel kernel(*testbed_, 2);
    StartBackend();
    platform::TimeFacility::ScopedScale slower(200);
    Connect();
    kernel.StallWrites();
    std::vector<std::uint8_t> frame(8192, 0x33);
    for (int round = 0; round < 100; ++round) {
        std::uint32_t length = 8192;
        const std::uint32_t status = channel_->Send(frame.data(), length, round % 2);
        EXPECT_TRUE(status == 0xE0000004u || status == 0xE000100Cu) << std::hex << status;
    }
    const auto calls = kernel.Calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& c) { return c.rfind("EPIPE", 0) == 0; }),
              0);
    EXPECT_GE(std::count(calls.begin(), calls.end(), "CLEAR_HALT 0x01"), 1);
}

// An instrument this user may not open: access is refused, and the program
// says once who may open it and the ways for this user (the local seat, or
// the group, after the rule it lacks here).
TEST_F(LibusbReplayTest, AnInstrumentThisUserMayNotOpenIsExplainedOnce) {
    testsupport::UmockdevKernel kernel(*testbed_, 7);
    ASSERT_EQ(::chmod(testbed_->NodePath(7).c_str(), 0), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_TRUE(testbed_->OpenToOtherUsers());
    }
    StartBackend();
    ::testing::internal::CaptureStderr();
    if (root) {
        ASSERT_EQ(::seteuid(65534), 0);  // every thread, the back end's included
    }
    std::array<std::uint8_t, 12> info{};
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Handle h = usbio_calls::Open();
        EXPECT_EQ(usbio_calls::Request(h, platform::usbio::IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0,
                                       info.data(), 12),
                  5u);  // ERROR_ACCESS_DENIED
        UsbioDriver::CloseHandle(h);
    }
    if (root) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string said =
        "kestrup: no permission to open USB device /dev/bus/usb/001/007 (1209:0001): the "
        "instrument rules do not cover it (group root, mode 0000); add its rule and reload the "
        "rules:\n  echo '";
    EXPECT_EQ(err.find(said), 0u) << err;
    EXPECT_EQ(err.find(said), err.rfind(said)) << err;
    for (const char* way : {"GROUP=\"kestrup\", MODE=\"0660\", TAG+=\"uaccess\"",
                            "\n  run kestrup in a session at the local seat, or\n",
                            "\n  add this user to the group kestrup: sudo usermod -aG kestrup "}) {
        EXPECT_NE(err.find(way), std::string::npos) << way << "\n" << err;
    }
}

}  // namespace
