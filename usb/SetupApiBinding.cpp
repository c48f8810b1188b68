#include "usb/SetupApiBinding.h"

#include <cstdlib>

using platform::usbio::ModuleRegistry;
using platform::usbio::SetupApi;

namespace {

std::once_flag g_exitHandlerOnce;

void UnloadAtExit() {
    SetupApiBinding::Unload();
}

}  // namespace

SetupApiBinding& SetupApiBinding::Instance() {
    static SetupApiBinding binding;
    return binding;
}

bool SetupApiBinding::Load() {
    SetupApiBinding& b = Instance();
    {
        std::lock_guard lock(b.m_Lock);
        if (b.m_hModule != 0) {
            return true;
        }
        b.m_hModule = ModuleRegistry::LoadLibrary("setupapi.dll");
        if (b.m_hModule == 0) {
            return false;
        }
        // All four are looked up, even after one is missing.
        b.m_pfnGetClassDevs = reinterpret_cast<SetupApi::GetClassDevsA>(
            ModuleRegistry::GetProcAddress(b.m_hModule, "SetupDiGetClassDevsA"));
        b.m_pfnDestroyDeviceInfoList = reinterpret_cast<SetupApi::DestroyDeviceInfoList>(
            ModuleRegistry::GetProcAddress(b.m_hModule, "SetupDiDestroyDeviceInfoList"));
        b.m_pfnEnumDeviceInterfaces = reinterpret_cast<SetupApi::EnumDeviceInterfaces>(
            ModuleRegistry::GetProcAddress(b.m_hModule, "SetupDiEnumDeviceInterfaces"));
        b.m_pfnGetDeviceInterfaceDetail = reinterpret_cast<SetupApi::GetDeviceInterfaceDetailA>(
            ModuleRegistry::GetProcAddress(b.m_hModule, "SetupDiGetDeviceInterfaceDetailA"));
        // Checked and undone under the lock: another thread's Load must never
        // see the module bound with an entry point missing.
        if (b.m_pfnGetClassDevs == nullptr || b.m_pfnDestroyDeviceInfoList == nullptr ||
            b.m_pfnEnumDeviceInterfaces == nullptr || b.m_pfnGetDeviceInterfaceDetail == nullptr) {
            b.UnloadLocked();
            return false;
        }
    }
    std::call_once(g_exitHandlerOnce, [] { std::atexit(&UnloadAtExit); });
    return true;
}

void SetupApiBinding::Unload() {
    SetupApiBinding& b = Instance();
    std::lock_guard lock(b.m_Lock);
    b.UnloadLocked();
}

void SetupApiBinding::UnloadLocked() {
    if (m_hModule != 0) {
        ModuleRegistry::FreeLibrary(m_hModule);
        m_hModule = 0;
        m_pfnGetClassDevs = nullptr;
        m_pfnDestroyDeviceInfoList = nullptr;
        m_pfnEnumDeviceInterfaces = nullptr;
        m_pfnGetDeviceInterfaceDetail = nullptr;
    }
}
