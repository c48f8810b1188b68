#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/usbio/ModuleRegistry.h"
#include "platform/usbio/UsbioTypes.h"

namespace platform::usbio {

// The stand-in for the four device-interface entry points of setupapi.dll.
// They are reached the way the program reaches the real ones: load the
// module "setupapi.dll" with ModuleRegistry::LoadLibrary and look each entry
// point up by name ("SetupDiGetClassDevsA", "SetupDiDestroyDeviceInfoList",
// "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA"); the
// static functions below are what the look-ups return.
//
// A device-information set is a snapshot of the interfaces the driver
// stand-in had attached when the set was created. Failures set
// UsbioDriver's per-thread last error. Any thread; no call blocks.
class SetupApi {
  public:
    static constexpr std::uint32_t DIGCF_PRESENT = 0x02;
    static constexpr std::uint32_t DIGCF_DEVICEINTERFACE = 0x10;
    static constexpr DevInfoHandle INVALID_HANDLE_VALUE = 0xFFFFFFFFu;
    // Size field of DeviceInterfaceData, and of the detail record (4 bytes
    // of size field and the first character of the path).
    static constexpr std::uint32_t kInterfaceDataSize = 28;
    static constexpr std::uint32_t kDetailDataSize = 5;

    // SP_DEVICE_INTERFACE_DATA.
    struct DeviceInterfaceData {
        std::uint32_t cbSize;
        Guid interfaceClassGuid;
        std::uint32_t flags;
        std::uint32_t reserved;  // which entry of its set the record names
    };

    using GetClassDevsA = DevInfoHandle (*)(const Guid* classGuid, const char* enumerator,
                                            void* parentWindow, std::uint32_t flags);
    using DestroyDeviceInfoList = bool (*)(DevInfoHandle list);
    using EnumDeviceInterfaces = bool (*)(DevInfoHandle list, void* deviceInfoData,
                                          const Guid* classGuid, std::uint32_t index,
                                          DeviceInterfaceData* data);
    // detail: a record whose first 32-bit word is kDetailDataSize, followed
    // by room for the NUL-terminated device path.
    using GetDeviceInterfaceDetailA = bool (*)(DevInfoHandle list, DeviceInterfaceData* data,
                                               void* detail, std::uint32_t detailSize,
                                               std::uint32_t* requiredSize, void* deviceInfoData);

    static DevInfoHandle SetupDiGetClassDevsA(const Guid* classGuid, const char* enumerator,
                                              void* parentWindow, std::uint32_t flags);
    static bool SetupDiDestroyDeviceInfoList(DevInfoHandle list);
    static bool SetupDiEnumDeviceInterfaces(DevInfoHandle list, void* deviceInfoData,
                                            const Guid* classGuid, std::uint32_t index,
                                            DeviceInterfaceData* data);
    static bool SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list, DeviceInterfaceData* data,
                                                 void* detail, std::uint32_t detailSize,
                                                 std::uint32_t* requiredSize, void* deviceInfoData);

    // The module's entry point table (for ModuleRegistry).
    static std::map<std::string, ProcAddress> EntryPoints();

    // For tests: device-information sets not yet destroyed.
    static std::size_t OpenListCount();
};

static_assert(sizeof(SetupApi::DeviceInterfaceData) == SetupApi::kInterfaceDataSize);

}  // namespace platform::usbio
