#include "platform/usbio/UsbioDriver.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/InstrumentId.h"
#include "tests/support/TestDeadline.h"
#include "tests/support/UsbSimEnvironment.h"
#include "tests/support/UsbioCalls.h"

using namespace platform::usbio;
using platform::Event;
using platform::TimeFacility;
using Out = SimulatedFunction::OutResult;

namespace {

using namespace usbio_calls;

class UsbioDriverTest : public ::testing::Test {
  protected:
    TimeFacility::ScopedScale scale_{1};
    UsbSimEnvironment sim_;
};

TEST_F(UsbioDriverTest, OpensByIndexNameOrPathAndRefusesUnknownNames) {
    const Handle byName = Open();
    ASSERT_NE(byName, kInvalidHandle);
    const Handle byPath = Open(sim_.Device().Path().c_str());
    ASSERT_NE(byPath, kInvalidHandle);
    EXPECT_NE(byName, byPath);  // shared access: two handles on one interface

    for (const char* name : {"\\\\.\\USBIO_Device1", "\\\\.\\USBIO_Device", "\\\\.\\USBIO_Device0x",
                             "\\\\.\\USBIO_Device-1", "/dev/usbio/none"}) {
        EXPECT_EQ(Open(name), kInvalidHandle) << name;
        EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_TRUE(UsbioDriver::CloseHandle(byName));
    EXPECT_TRUE(UsbioDriver::CloseHandle(byPath));
    EXPECT_FALSE(UsbioDriver::CloseHandle(byPath));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_INVALID_HANDLE);
}

// A run bound to one instrument: the driver lists it alone, by serial number
// or by port path, and every other device is as if absent (the interface
// numbers, the paths).
TEST_F(UsbioDriverTest, AFilterPassesOverEveryOtherDeviceAsIfAbsent) {
    auto second = sim_.Backend().AddDevice(std::make_shared<UsbScriptedFunction>(),
                                           {.serial = "TP-7", .port = "1-4.2"});
    EXPECT_EQ(sim_.Device().PortPath(), "1-1");  // the back end gives the first one its port
    const std::string first = sim_.Device().Path(), other = second->Path();
    const std::pair<const char*, std::string> cases[] = {
        {"TP-7", other}, {"1-4.2", other},
        {"1-1", first},  {"1-4", ""},  // a hub's port is not the device behind it
        {"1-4.2.1", ""}, {"tp-7", ""}};
    for (const auto& [text, only] : cases) {
        InstrumentId id;
        std::string error;
        ASSERT_TRUE(InstrumentId::Parse(text, id, error)) << error;
        UsbioDriver::SetDeviceFilter([&id](const UsbioDevice& d) { return id.Matches(d); });
        const auto attached = UsbioDriver::AttachedDevices();
        ASSERT_EQ(attached.size(), only.empty() ? 0u : 1u) << text;
        if (!only.empty()) {
            EXPECT_EQ(attached[0]->Path(), only) << text;
            EXPECT_EQ(Open("\\\\.\\USBIO_Device1"), kInvalidHandle) << text;
        }
        EXPECT_EQ(Open((only == first ? other : first).c_str()), kInvalidHandle) << text;
        EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    UsbioDriver::SetDeviceFilter(nullptr);
    EXPECT_EQ(UsbioDriver::AttachedDevices().size(), 2u);
    sim_.Backend().RemoveDevice(second);
}

// What an instrument ID is, and the file name it gives: the same for the
// same ID, never the same for two, never a path, never hidden, bounded.
TEST(InstrumentIdTest, PortPathsSerialNumbersAndTheirFileNames) {
    struct Case {
        const char* text;
        bool portPath;
        const char* fileName;
    };
    const Case cases[] = {{"1-2", true, "1-2"},          {"3-1.4.2", true, "3-1.4.2"},
                          {"01-2", false, "01-2"},  // sysfs writes no leading zero
                          {"1-2.", false, "1-2."},       {"1.2", false, "1.2"},
                          {"TP-0042", false, "TP-0042"}, {"..", false, "%2E."},
                          {".x", false, "%2Ex"},         {"a/b", false, "a%2Fb"},
                          {"a%2Fb", false, "a%252Fb"},   {"~x", false, "%7Ex"}};
    for (const Case& c : cases) {
        InstrumentId id;
        std::string error;
        ASSERT_TRUE(InstrumentId::Parse(c.text, id, error)) << c.text;
        EXPECT_EQ(id.IsPortPath(), c.portPath) << c.text;
        EXPECT_EQ(id.FileName(), c.fileName) << c.text;
    }
    InstrumentId a, b, id;
    std::string error;
    ASSERT_TRUE(InstrumentId::Parse(std::string(64, '/'), a, error));
    ASSERT_TRUE(InstrumentId::Parse(std::string(63, '/') + "?", b, error));
    EXPECT_EQ(a.FileName().size(), 17u);
    EXPECT_EQ(a.FileName()[0], '~');
    EXPECT_NE(a.FileName(), b.FileName());
    for (const std::string& refused : {std::string(), std::string(65, 'x'), std::string("TP 1"),
                                       std::string("TP\x1b"), std::string("TP\xc3\xa9")}) {
        EXPECT_FALSE(InstrumentId::Parse(refused, id, error)) << refused;
        EXPECT_FALSE(error.empty());
    }
    // A serial number that looks like a port path names nothing by serial.
    ASSERT_TRUE(InstrumentId::Parse("1-3", id, error));
    EXPECT_FALSE(id.Matches("1-3", "1-4"));
    EXPECT_TRUE(id.Matches("TP", "1-3"));
}

TEST_F(UsbioDriverTest, BindingRules) {
    const Handle a = Open();
    const Handle b = Open();
    std::uint8_t in = 0x81;
    std::uint8_t out = 0x01;
    std::array<std::uint8_t, 4> data{};
    Overlapped ov;
    std::uint32_t n = 0;

    // Not bound: reads and writes and unbinding fail at once.
    EXPECT_FALSE(UsbioDriver::ReadFile(a, data.data(), 4, &n, &ov));
    EXPECT_EQ(UsbioDriver::GetLastError(), USBIO_ERR_NOT_BOUND);
    EXPECT_EQ(Request(a, IOCTL_USBIO_UNBIND_PIPE, nullptr, 0), USBIO_ERR_NOT_BOUND);

    EXPECT_EQ(Request(a, IOCTL_USBIO_BIND_PIPE, &in, 1), 0u);
    EXPECT_EQ(Request(a, IOCTL_USBIO_BIND_PIPE, &out, 1), USBIO_ERR_ALREADY_BOUND);  // handle
    EXPECT_EQ(Request(b, IOCTL_USBIO_BIND_PIPE, &in, 1), USBIO_ERR_ALREADY_BOUND);   // pipe
    EXPECT_EQ(Request(b, IOCTL_USBIO_BIND_PIPE, &out, 1), 0u);

    // Direction.
    EXPECT_FALSE(UsbioDriver::WriteFile(a, data.data(), 4, &n, &ov));
    EXPECT_EQ(UsbioDriver::GetLastError(), USBIO_ERR_INVALID_DIRECTION);
    EXPECT_FALSE(UsbioDriver::ReadFile(b, data.data(), 4, &n, &ov));
    EXPECT_EQ(UsbioDriver::GetLastError(), USBIO_ERR_INVALID_DIRECTION);

    // A refused bind leaves the handle unbound; unbinding frees the endpoint.
    sim_.Device().FailRequest(IOCTL_USBIO_BIND_PIPE, 0xE0001013);
    const Handle c = Open();
    std::uint8_t other = 0x82;
    EXPECT_EQ(Request(c, IOCTL_USBIO_BIND_PIPE, &other, 1), 0xE0001013u);
    sim_.Device().FailRequest(IOCTL_USBIO_BIND_PIPE, 0);
    EXPECT_EQ(Request(a, IOCTL_USBIO_UNBIND_PIPE, nullptr, 0), 0u);
    EXPECT_EQ(Request(c, IOCTL_USBIO_BIND_PIPE, &in, 1), 0u);

    // Invalid handles give the platform error.
    EXPECT_FALSE(UsbioDriver::ReadFile(kNullHandle, data.data(), 4, &n, &ov));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Request(0x7777, IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, data.data(), 4),
              ERROR_INVALID_HANDLE);
    for (Handle h : {a, b, c}) {
        UsbioDriver::CloseHandle(h);
    }
}

TEST_F(UsbioDriverTest, RequestRecordsAreCheckedBeforeTheDeviceSeesThem) {
    const Handle h = Open();
    std::array<std::uint8_t, 776> out{};
    EXPECT_EQ(Request(h, IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, out.data(), 11), 0xE0001002u);
    EXPECT_EQ(Request(h, IOCTL_USBIO_GET_CONFIGURATION_INFO, nullptr, 0, out.data(), 775),
              0xE0001002u);
    EXPECT_EQ(Request(h, IOCTL_USBIO_GET_DESCRIPTOR, out.data(), 7, out.data(), 18), 0xE0001001u);
    EXPECT_EQ(Request(h, 0x80942000, nullptr, 0), USBIO_ERR_INVALID_IOCTL);
    EXPECT_EQ(sim_.Device().RequestCount(IOCTL_USBIO_GET_DRIVER_INFO), 0u);

    std::uint32_t count = 0;
    EXPECT_EQ(Request(h, IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, out.data(), 12, &count), 0u);
    EXPECT_EQ(count, 12u);
    EXPECT_EQ(out[0] | (out[1] << 8), 0x0200);
    UsbioDriver::CloseHandle(h);
}

TEST_F(UsbioDriverTest, PendingRequestCompletesThroughTheOverlappedRecord) {
    const Handle h = Open();
    // Answered only when the test says, so the request is pending until then.
    sim_.Device().SetRequestTiming(0, true);
    std::array<std::uint8_t, 18> descriptor{};
    const std::array<std::uint8_t, 8> request{0, 0, 0, 0, 1, 0, 0, 0};
    Overlapped ov;
    Event event(false, false);
    ov.event = &event;
    std::uint32_t n = 99;
    ASSERT_FALSE(UsbioDriver::DeviceIoControl(h, IOCTL_USBIO_GET_DESCRIPTOR, request.data(), 8,
                                              descriptor.data(), 18, &n, &ov));
    ASSERT_EQ(UsbioDriver::GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(n, 99u);
    EXPECT_FALSE(UsbioDriver::GetOverlappedResult(h, &ov, &n, false));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_IO_INCOMPLETE);

    sim_.Device().AnswerWaitingRequests();
    ASSERT_TRUE(testsupport::Await(event, "the transfer's completion"));
    ASSERT_TRUE(UsbioDriver::GetOverlappedResult(h, &ov, &n, false));
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(descriptor[0], 18);
    EXPECT_EQ(descriptor[8] | (descriptor[9] << 8), 0x1209);
    UsbioDriver::CloseHandle(h);
}

TEST_F(UsbioDriverTest, CancelEndsOnlyTheCallingThreadsIoAndDeliversNothingLater) {
    const Handle h = OpenBound(0x81);
    ASSERT_NE(h, kInvalidHandle);
    std::array<std::uint8_t, 8> mine{};
    std::array<std::uint8_t, 8> theirs{};
    Overlapped ovMine;
    Overlapped ovTheirs;
    std::uint32_t n = 0;
    ASSERT_FALSE(UsbioDriver::ReadFile(h, mine.data(), 8, &n, &ovMine));
    ASSERT_EQ(UsbioDriver::GetLastError(), ERROR_IO_PENDING);
    auto other = platform::Thread::Start([&] {
        std::uint32_t m = 0;
        UsbioDriver::ReadFile(h, theirs.data(), 8, &m, &ovTheirs);
    });
    other->Join();
    ASSERT_EQ(sim_.Device().PendingReads(), 2u);

    ASSERT_TRUE(UsbioDriver::CancelIo(h));
    EXPECT_FALSE(UsbioDriver::GetOverlappedResult(h, &ovMine, &n, false));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ovTheirs.status.load(), ERROR_IO_PENDING);

    // The data goes to the read still pending; the cancelled buffer stays untouched.
    sim_.Device().QueueIn(0x81, {1, 2, 3});
    ASSERT_TRUE(UsbioDriver::GetOverlappedResult(h, &ovTheirs, &n, true));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(theirs[2], 3);
    EXPECT_EQ(mine, (std::array<std::uint8_t, 8>{}));
    UsbioDriver::CloseHandle(h);
}

TEST_F(UsbioDriverTest, ClosingAHandleEndsItsPendingIo) {
    const Handle h = OpenBound(0x81);
    ASSERT_NE(h, kInvalidHandle);
    std::array<std::uint8_t, 8> data{};
    Overlapped ov;
    std::uint32_t n = 0;
    ASSERT_FALSE(UsbioDriver::ReadFile(h, data.data(), 8, &n, &ov));
    UsbioDriver::CloseHandle(h);
    EXPECT_EQ(ov.status.load(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(sim_.Device().PendingReads(), 0u);
}

TEST_F(UsbioDriverTest, UnplugEndsPendingIoAndKillsOldHandlesEvenAfterReplug) {
    const Handle h = OpenBound(0x81);
    ASSERT_NE(h, kInvalidHandle);
    std::array<std::uint8_t, 8> data{};
    Overlapped ov;
    std::uint32_t n = 0;
    ASSERT_FALSE(UsbioDriver::ReadFile(h, data.data(), 8, &n, &ov));
    sim_.Device().Unplug();
    EXPECT_FALSE(UsbioDriver::GetOverlappedResult(h, &ov, &n, true));
    EXPECT_EQ(UsbioDriver::GetLastError(), USBIO_ERR_DEVICE_GONE);

    EXPECT_EQ(Open(), kInvalidHandle);
    EXPECT_TRUE(UsbioDriver::AttachedDevices().empty());
    sim_.Device().Plug();
    EXPECT_FALSE(UsbioDriver::ReadFile(h, data.data(), 8, &n, &ov));
    EXPECT_EQ(UsbioDriver::GetLastError(), USBIO_ERR_DEVICE_GONE);

    const Handle fresh = OpenBound(0x81);  // the old binding died with the old attachment
    sim_.Device().QueueIn(0x81, {7});
    EXPECT_TRUE(UsbioDriver::ReadFile(fresh, data.data(), 8, &n, &ov));
    EXPECT_EQ(n, 1u);
    UsbioDriver::CloseHandle(h);
    UsbioDriver::CloseHandle(fresh);
}

}  // namespace
