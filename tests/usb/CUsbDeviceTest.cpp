#include "usb/CUsbDevice.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/usbio/ModuleRegistry.h"
#include "platform/usbio/UsbioDriver.h"
#include "tests/support/TestDeadline.h"
#include "tests/support/UsbSimEnvironment.h"
#include "usb/SetupApiBinding.h"

using platform::TimeFacility;
using platform::usbio::ModuleRegistry;
using platform::usbio::UsbioDriver;
namespace usbio = platform::usbio;

namespace {

class CUsbDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override { SetupApiBinding::Unload(); }
    void TearDown() override {
        if (list_ != 0) {
            CUsbDevice::DestroyDeviceList(list_);
        }
    }
    CUsbDevice::DeviceList List() {
        if (list_ == 0) {
            list_ = CUsbDevice::CreateDeviceList(&kUsbioInterfaceGuid);
        }
        return list_;
    }

    TimeFacility::ScopedScale scale_{1};
    UsbSimEnvironment sim_;
    CUsbDevice::DeviceList list_ = 0;
};

TEST_F(CUsbDeviceTest, MissingSetupapiOrEntryPointLeavesNothingLoaded) {
    {
        ModuleRegistry::ScopedMissingModule missing("setupapi.dll");
        EXPECT_EQ(CUsbDevice::CreateDeviceList(&kUsbioInterfaceGuid), 0u);
        CUsbDevice device;
        EXPECT_EQ(device.FetchDevicePath(0, 1, &kUsbioInterfaceGuid), 0xE0001106u);
        EXPECT_EQ(device.Open(0, 1, &kUsbioInterfaceGuid), 0xE0001106u);
        EXPECT_EQ(ModuleRegistry::LoadCount("setupapi.dll"), 0);
    }
    for (const char* entry : {"SetupDiGetClassDevsA", "SetupDiDestroyDeviceInfoList",
                              "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA"}) {
        ModuleRegistry::ScopedMissingEntryPoint missing("setupapi.dll", entry);
        EXPECT_EQ(CUsbDevice::CreateDeviceList(&kUsbioInterfaceGuid), 0u) << entry;
        CUsbDevice device;
        EXPECT_EQ(device.FetchDevicePath(0, 1, &kUsbioInterfaceGuid), 0xE0001106u) << entry;
        EXPECT_EQ(ModuleRegistry::LoadCount("setupapi.dll"), 0) << entry;
        EXPECT_EQ(SetupApiBinding::Instance().m_hModule, 0u);
        EXPECT_EQ(SetupApiBinding::Instance().m_pfnGetClassDevs, nullptr);
    }
    // Once all is there the next attempt binds, and the module stays loaded once.
    ASSERT_NE(List(), 0u);
    EXPECT_TRUE(SetupApiBinding::Load());
    EXPECT_EQ(ModuleRegistry::LoadCount("setupapi.dll"), 1);
}

TEST_F(CUsbDeviceTest, FetchDevicePathWalksTheList) {
    CUsbDevice device;
    EXPECT_EQ(device.FetchDevicePath(0, 0, &kUsbioInterfaceGuid), 0xE0001105u);
    EXPECT_EQ(device.FetchDevicePath(0, List(), nullptr), 0xE0001105u);
    ASSERT_EQ(device.FetchDevicePath(0, List(), &kUsbioInterfaceGuid), 0u);
    EXPECT_EQ(std::string(device.DevicePath()), sim_.Device().Path());
    EXPECT_EQ(device.FetchDevicePath(1, List(), &kUsbioInterfaceGuid), 0xE0001104u);
    EXPECT_EQ(device.DevicePath(), nullptr);  // the old path went before the look-up
    EXPECT_EQ(device.FetchDevicePath(-1, List(), &kUsbioInterfaceGuid), 0xE0001104u);
    EXPECT_EQ(device.FetchDevicePath(0, 0x7777, &kUsbioInterfaceGuid), usbio::ERROR_INVALID_HANDLE);
}

TEST_F(CUsbDeviceTest, OpenChecksTheDriverAndKeepsAnOpenHandle) {
    CUsbDevice device;
    const std::size_t handles = UsbioDriver::OpenHandleCount();
    ASSERT_EQ(device.Open(0, List(), &kUsbioInterfaceGuid), 0u);
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(UsbioDriver::OpenHandleCount(), handles + 1);
    EXPECT_EQ(sim_.Device().RequestCount(usbio::IOCTL_USBIO_GET_DRIVER_INFO), 1u);

    // Opening again, even for another instance, changes nothing.
    EXPECT_EQ(device.Open(5, 0, nullptr), 0u);
    EXPECT_EQ(UsbioDriver::OpenHandleCount(), handles + 1);
    EXPECT_EQ(sim_.Device().RequestCount(usbio::IOCTL_USBIO_GET_DRIVER_INFO), 1u);

    std::array<std::uint8_t, 18> descriptor{};
    ASSERT_EQ(device.GetDeviceDescriptor(descriptor.data()), 0u);
    EXPECT_EQ(descriptor[8] | (descriptor[9] << 8), 0x1209);

    device.Close();
    device.Close();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.DevicePath(), nullptr);
    EXPECT_EQ(UsbioDriver::OpenHandleCount(), handles);
}

TEST_F(CUsbDeviceTest, OpenWithoutAListUsesTheDeviceNameAndNoSetupapi) {
    std::vector<std::shared_ptr<usbio::SimulatedDevice>> more;
    for (std::uint16_t product = 2; product <= 4; ++product) {
        more.push_back(sim_.Backend().AddDevice(std::make_shared<UsbScriptedFunction>(),
                                                {.vendorId = 0x1209, .productId = product}));
    }
    ModuleRegistry::ScopedMissingModule noSetupapi("setupapi.dll");
    CUsbDevice device;
    ASSERT_EQ(device.Open(3, 0, &kUsbioInterfaceGuid), 0u);
    EXPECT_EQ(device.DevicePath(), nullptr);
    std::array<std::uint8_t, 18> descriptor{};
    ASSERT_EQ(device.GetDeviceDescriptor(descriptor.data()), 0u);
    EXPECT_EQ(descriptor[10], 4);  // the fourth interface

    CUsbDevice missing;
    EXPECT_EQ(missing.Open(4, 0, &kUsbioInterfaceGuid), 0xE0001100u);
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(CUsbDeviceTest, FailedOpenLeavesTheDeviceClosed) {
    const std::size_t handles = UsbioDriver::OpenHandleCount();
    CUsbDevice device;
    sim_.Device().SetDriverVersion(0x0201);
    EXPECT_EQ(device.Open(0, List(), &kUsbioInterfaceGuid), 0xE000101Cu);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(UsbioDriver::OpenHandleCount(), handles);

    sim_.Device().SetDriverVersion(0x0200);
    sim_.Device().FailRequest(usbio::IOCTL_USBIO_GET_DRIVER_INFO, 0xE0000005);
    EXPECT_EQ(device.Open(0, List(), &kUsbioInterfaceGuid), 0xE0000005u);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(UsbioDriver::OpenHandleCount(), handles);

    // The interface went away after the list was made: the path stays.
    sim_.Device().Unplug();
    EXPECT_EQ(device.Open(0, List(), &kUsbioInterfaceGuid), 0xE0001100u);
    EXPECT_NE(device.DevicePath(), nullptr);
}

TEST_F(CUsbDeviceTest, RequestsOnAClosedDeviceLeaveTheCountAlone) {
    CUsbDevice device;
    std::array<std::uint8_t, 18> buffer{};
    std::uint32_t count = 77;
    EXPECT_EQ(
        device.IoControl(usbio::IOCTL_USBIO_GET_DRIVER_INFO, nullptr, 0, buffer.data(), 12, &count),
        0xE0001102u);
    EXPECT_EQ(count, 77u);
    std::uint32_t size = 18;
    EXPECT_EQ(device.GetDescriptor(buffer.data(), &size, 0, 1, 0, 0), 0xE0001102u);
    EXPECT_EQ(size, 18u);
    UsbConfigurationInfo info;
    EXPECT_EQ(device.GetConfigurationInfo(&info), 0xE0001102u);
}

TEST_F(CUsbDeviceTest, PendingRequestReturnsOnlyAfterCompletion) {
    CUsbDevice device;
    ASSERT_EQ(device.Open(0, List(), &kUsbioInterfaceGuid), 0u);
    sim_.Device().SetRequestTiming(5000);
    std::array<std::uint8_t, 64> buffer{};
    std::uint32_t size = 64;
    const auto start = TimeFacility::NowMs();
    ASSERT_EQ(device.GetDescriptor(buffer.data(), &size, 0, 1, 0, 0x0409), 0u);
    EXPECT_GE(TimeFacility::NowMs() - start, 4900u);
    EXPECT_EQ(size, 18u);
    EXPECT_EQ(buffer[0], 18);
    EXPECT_EQ(sim_.Device().LastRequestInput(usbio::IOCTL_USBIO_GET_DESCRIPTOR),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 0, 0x09, 0x04}));

    // A late failure: its status, and the count the driver reported.
    sim_.Device().FailRequest(usbio::IOCTL_USBIO_GET_DESCRIPTOR, 0xE0000004);
    std::uint32_t count = 77;
    const std::array<std::uint8_t, 8> request{0, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(device.IoControl(usbio::IOCTL_USBIO_GET_DESCRIPTOR, request.data(), 8, buffer.data(),
                               18, &count),
              0xE0000004u);
    EXPECT_EQ(count, 0u);
}

TEST_F(CUsbDeviceTest, CloseFromAnotherThreadEndsAPendingRequestFirst) {
    CUsbDevice device;
    ASSERT_EQ(device.Open(0, List(), &kUsbioInterfaceGuid), 0u);
    sim_.Device().SetRequestTiming(0, true);  // never answered
    std::uint32_t status = 0;
    auto requester = platform::Thread::Start([&] {
        std::array<std::uint8_t, 18> descriptor{};
        status = device.GetDeviceDescriptor(descriptor.data());
    });
    ASSERT_TRUE(testsupport::AwaitCondition(
        [&] { return !sim_.Device().LastRequestInput(usbio::IOCTL_USBIO_GET_DESCRIPTOR).empty(); },
        "the request at the device"));
    // The request event goes only once the request has ended.
    device.Close();
    requester->Join();
    EXPECT_NE(status, 0u);
    EXPECT_FALSE(device.IsOpen());
}

}  // namespace
