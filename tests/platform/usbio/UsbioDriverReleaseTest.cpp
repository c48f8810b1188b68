#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/Event.h"
#include "platform/Thread.h"
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

// A back end whose going waits for a thread of its own that needs the
// driver (libusb's event thread completing a request, say).
class WaitingBackend : public UsbioBackend {
  public:
    WaitingBackend(bool& reached, std::unique_ptr<platform::Thread>& helper)
        : reached_(reached), helper_(helper) {}
    ~WaitingBackend() override {
        auto through = std::make_shared<platform::Event>(true, false);
        helper_ = platform::Thread::Start([through] {
            UsbioDriver::OpenHandleCount();  // takes the driver's lock
            through->Set();
        });
        // A deadline, so that the fault shows as a failure and not a hang.
        reached_ = through->Wait(2000, "driver lock free") == platform::WaitResult::Signaled;
    }
    std::vector<std::shared_ptr<UsbioDevice>> AttachedDevices() override { return {}; }

  private:
    bool& reached_;
    std::unique_ptr<platform::Thread>& helper_;
};

TEST(UsbioDriverReleaseTest, ABackEndGoesOutsideTheDriversLock) {
    for (const bool all : {false, true}) {
        bool reached = false;
        std::unique_ptr<platform::Thread> helper;
        auto backend = std::make_shared<WaitingBackend>(reached, helper);
        UsbioDriver::InstallBackend(backend);
        // Names the back end without owning it: the driver holds the last
        // reference.
        const std::shared_ptr<UsbioBackend> name(std::shared_ptr<void>(), backend.get());
        backend.reset();
        all ? UsbioDriver::RemoveAllBackends() : UsbioDriver::RemoveBackend(name);
        EXPECT_TRUE(reached) << (all ? "RemoveAllBackends" : "RemoveBackend");
        ASSERT_TRUE(helper);
        helper->Join();
    }
}

}  // namespace
