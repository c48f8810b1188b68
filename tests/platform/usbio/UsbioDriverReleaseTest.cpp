#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/usbio/SimulatedBackend.h"
#include "platform/usbio/UsbioDriver.h"
#include "tests/support/UsbioCalls.h"

using namespace platform::usbio;

namespace {

using namespace usbio_calls;

// A simulated device that counts how often the driver lets it go.
class ReleaseCountingDevice : public SimulatedDevice {
  public:
    ReleaseCountingDevice() : SimulatedDevice(nullptr, "/dev/usbio/release-test", 9) {}
    void LastHandleClosed() override { ++released; }
    std::atomic<int> released{0};
};

class ReleaseBackend : public UsbioBackend {
  public:
    std::vector<std::shared_ptr<UsbioDevice>> AttachedDevices() override { return {device}; }
    std::shared_ptr<ReleaseCountingDevice> device = std::make_shared<ReleaseCountingDevice>();
};

// A back end that holds a device for its handles (claimed interfaces) must
// learn when the last of them is gone, and only then.
TEST(UsbioDriverReleaseTest, DeviceIsLetGoWhenItsLastHandleCloses) {
    auto backend = std::make_shared<ReleaseBackend>();
    UsbioDriver::InstallBackend(backend);
    const Handle a = Open();
    const Handle b = Open();
    ASSERT_NE(a, kInvalidHandle);
    ASSERT_NE(b, kInvalidHandle);
    EXPECT_TRUE(UsbioDriver::CloseHandle(a));
    EXPECT_EQ(backend->device->released.load(), 0);
    EXPECT_TRUE(UsbioDriver::CloseHandle(b));
    EXPECT_EQ(backend->device->released.load(), 1);
    EXPECT_FALSE(UsbioDriver::CloseHandle(b));  // a stale handle releases nothing
    EXPECT_EQ(backend->device->released.load(), 1);

    const Handle c = Open();  // a fresh open and close is a fresh release
    EXPECT_TRUE(UsbioDriver::CloseHandle(c));
    EXPECT_EQ(backend->device->released.load(), 2);
    UsbioDriver::RemoveBackend(backend);
}

}  // namespace
