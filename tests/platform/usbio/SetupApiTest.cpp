#include "platform/usbio/SetupApi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/usbio/ModuleRegistry.h"
#include "platform/usbio/UsbioDriver.h"
#include "tests/support/UsbSimEnvironment.h"

using namespace platform::usbio;

namespace {

TEST(ModuleRegistryTest, LoadsSetupapiByNameAndCountsReferences) {
    const int before = ModuleRegistry::LoadCount("setupapi.dll");
    const ModuleHandle a = ModuleRegistry::LoadLibrary("SETUPAPI.DLL");
    ASSERT_NE(a, 0u);
    EXPECT_EQ(ModuleRegistry::LoadLibrary("setupapi.dll"), a);
    EXPECT_EQ(ModuleRegistry::LoadCount("setupapi.dll"), before + 2);
    EXPECT_EQ(ModuleRegistry::GetProcAddress(a, "SetupDiGetClassDevsA"),
              reinterpret_cast<ProcAddress>(&SetupApi::SetupDiGetClassDevsA));
    EXPECT_EQ(ModuleRegistry::GetProcAddress(a, "SetupDiGetClassDevsW"), nullptr);
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(ModuleRegistry::FreeLibrary(a));
    EXPECT_TRUE(ModuleRegistry::FreeLibrary(a));
    EXPECT_EQ(ModuleRegistry::LoadCount("setupapi.dll"), before);
    if (before == 0) {
        EXPECT_FALSE(ModuleRegistry::FreeLibrary(a));
        EXPECT_EQ(ModuleRegistry::GetProcAddress(a, "SetupDiGetClassDevsA"), nullptr);
    }
    EXPECT_EQ(ModuleRegistry::LoadLibrary("unzip32.dll"), 0u);
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(ModuleRegistryTest, TestsCanHideTheModuleOrOneEntryPoint) {
    {
        ModuleRegistry::ScopedMissingModule missing("setupapi.dll");
        EXPECT_EQ(ModuleRegistry::LoadLibrary("setupapi.dll"), 0u);
    }
    const ModuleHandle h = ModuleRegistry::LoadLibrary("setupapi.dll");
    ASSERT_NE(h, 0u);
    {
        ModuleRegistry::ScopedMissingEntryPoint missing("setupapi.dll",
                                                        "SetupDiEnumDeviceInterfaces");
        EXPECT_EQ(ModuleRegistry::GetProcAddress(h, "SetupDiEnumDeviceInterfaces"), nullptr);
        EXPECT_NE(ModuleRegistry::GetProcAddress(h, "SetupDiDestroyDeviceInfoList"), nullptr);
    }
    EXPECT_NE(ModuleRegistry::GetProcAddress(h, "SetupDiEnumDeviceInterfaces"), nullptr);
    ModuleRegistry::FreeLibrary(h);
}

class SetupApiTest : public ::testing::Test {
  protected:
    SetupApi::DeviceInterfaceData Data() {
        SetupApi::DeviceInterfaceData data{};
        data.cbSize = SetupApi::kInterfaceDataSize;
        return data;
    }
    UsbSimEnvironment sim_;
};

TEST_F(SetupApiTest, ListIsASnapshotOfAttachedInterfaces) {
    auto second = sim_.Backend().AddDevice(std::make_shared<UsbScriptedFunction>());
    const DevInfoHandle list =
        SetupApi::SetupDiGetClassDevsA(&kUsbioInterfaceClass, nullptr, nullptr,
                                       SetupApi::DIGCF_PRESENT | SetupApi::DIGCF_DEVICEINTERFACE);
    ASSERT_NE(list, SetupApi::INVALID_HANDLE_VALUE);
    sim_.Device().Unplug();  // after the snapshot: still listed

    auto data = Data();
    EXPECT_TRUE(
        SetupApi::SetupDiEnumDeviceInterfaces(list, nullptr, &kUsbioInterfaceClass, 1, &data));
    EXPECT_EQ(data.interfaceClassGuid, kUsbioInterfaceClass);
    EXPECT_FALSE(
        SetupApi::SetupDiEnumDeviceInterfaces(list, nullptr, &kUsbioInterfaceClass, 2, &data));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_NO_MORE_ITEMS);
    Guid other = kUsbioInterfaceClass;
    other.data1 ^= 1;
    EXPECT_FALSE(SetupApi::SetupDiEnumDeviceInterfaces(list, nullptr, &other, 0, &data));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_NO_MORE_ITEMS);
    auto wrongSize = Data();
    wrongSize.cbSize = 32;
    EXPECT_FALSE(
        SetupApi::SetupDiEnumDeviceInterfaces(list, nullptr, &kUsbioInterfaceClass, 0, &wrongSize));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_INVALID_USER_BUFFER);

    EXPECT_TRUE(SetupApi::SetupDiDestroyDeviceInfoList(list));
    EXPECT_FALSE(SetupApi::SetupDiDestroyDeviceInfoList(list));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_INVALID_HANDLE);

    // A fresh list sees the unplug.
    const DevInfoHandle fresh =
        SetupApi::SetupDiGetClassDevsA(&kUsbioInterfaceClass, nullptr, nullptr,
                                       SetupApi::DIGCF_PRESENT | SetupApi::DIGCF_DEVICEINTERFACE);
    EXPECT_TRUE(
        SetupApi::SetupDiEnumDeviceInterfaces(fresh, nullptr, &kUsbioInterfaceClass, 0, &data));
    EXPECT_FALSE(
        SetupApi::SetupDiEnumDeviceInterfaces(fresh, nullptr, &kUsbioInterfaceClass, 1, &data));
    SetupApi::SetupDiDestroyDeviceInfoList(fresh);
    sim_.Backend().RemoveDevice(second);
}

TEST_F(SetupApiTest, DetailFollowsTheTwoCallSizeProtocol) {
    const DevInfoHandle list =
        SetupApi::SetupDiGetClassDevsA(&kUsbioInterfaceClass, nullptr, nullptr,
                                       SetupApi::DIGCF_PRESENT | SetupApi::DIGCF_DEVICEINTERFACE);
    auto data = Data();
    ASSERT_TRUE(
        SetupApi::SetupDiEnumDeviceInterfaces(list, nullptr, &kUsbioInterfaceClass, 0, &data));
    std::uint32_t required = 0;
    EXPECT_FALSE(
        SetupApi::SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const std::string path = sim_.Device().Path();
    ASSERT_EQ(required, 4 + path.size() + 1);

    std::vector<std::uint8_t> detail(required, 0xCC);
    detail[0] = 8;  // the 64-bit size field is refused
    detail[1] = detail[2] = detail[3] = 0;
    EXPECT_FALSE(SetupApi::SetupDiGetDeviceInterfaceDetailA(list, &data, detail.data(), required,
                                                            nullptr, nullptr));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail[0] = 5;
    EXPECT_FALSE(SetupApi::SetupDiGetDeviceInterfaceDetailA(list, &data, detail.data(),
                                                            required - 1, nullptr, nullptr));
    EXPECT_EQ(UsbioDriver::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(SetupApi::SetupDiGetDeviceInterfaceDetailA(list, &data, detail.data(), required,
                                                           &required, nullptr));
    EXPECT_STREQ(reinterpret_cast<const char*>(detail.data() + 4), path.c_str());
    SetupApi::SetupDiDestroyDeviceInfoList(list);
}

}  // namespace
