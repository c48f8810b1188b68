#pragma once

#include <mutex>

#include "platform/usbio/ModuleRegistry.h"
#include "platform/usbio/SetupApi.h"

// The run-time binding of setupapi.dll's four device-interface entry points.
// One instance for the process, in static storage; all fields are null until
// the first successful Load, which keeps the module loaded until program exit
// (an exit handler, registered once, unloads it). A failed Load leaves
// nothing loaded, and the next Load tries again.
class SetupApiBinding {
  public:
    // True when the module and all four entry points are bound.
    static bool Load();
    // Frees the module and sets every field to null; nothing when unloaded.
    static void Unload();

    static SetupApiBinding& Instance();

    platform::usbio::ModuleHandle m_hModule = 0;
    platform::usbio::SetupApi::GetClassDevsA m_pfnGetClassDevs = nullptr;
    platform::usbio::SetupApi::DestroyDeviceInfoList m_pfnDestroyDeviceInfoList = nullptr;
    platform::usbio::SetupApi::EnumDeviceInterfaces m_pfnEnumDeviceInterfaces = nullptr;
    platform::usbio::SetupApi::GetDeviceInterfaceDetailA m_pfnGetDeviceInterfaceDetail = nullptr;

  private:
    SetupApiBinding() = default;
    void UnloadLocked();
    std::mutex m_Lock;  // guards Load against Unload from the exit handler
};
