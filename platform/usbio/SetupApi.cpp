#include "platform/usbio/SetupApi.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/usbio/UsbioDriver.h"

namespace platform::usbio {
namespace {

struct DeviceList {
    Guid classGuid;
    std::vector<std::string> paths;
};

struct Lists {
    std::mutex mutex;
    std::map<DevInfoHandle, DeviceList> lists;
    DevInfoHandle next = 1;
};

Lists& TheLists() {
    static Lists* lists = new Lists;
    return *lists;
}

bool Fail(std::uint32_t error) {
    UsbioDriver::SetLastError(error);
    return false;
}

template <typename F>
ProcAddress AsProc(F function) {
    return reinterpret_cast<ProcAddress>(function);
}

}  // namespace

DevInfoHandle SetupApi::SetupDiGetClassDevsA(const Guid* classGuid, const char* /*enumerator*/,
                                             void* /*parentWindow*/, std::uint32_t flags) {
    if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DeviceList list{*classGuid, {}};
    if (*classGuid == kUsbioInterfaceClass) {
        for (const auto& device : UsbioDriver::AttachedDevices()) {
            list.paths.push_back(device->Path());
        }
    }
    Lists& l = TheLists();
    std::lock_guard lock(l.mutex);
    const DevInfoHandle handle = l.next++;
    l.lists.emplace(handle, std::move(list));
    return handle;
}

bool SetupApi::SetupDiDestroyDeviceInfoList(DevInfoHandle list) {
    Lists& l = TheLists();
    std::lock_guard lock(l.mutex);
    if (l.lists.erase(list) == 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return true;
}

bool SetupApi::SetupDiEnumDeviceInterfaces(DevInfoHandle list, void* /*deviceInfoData*/,
                                           const Guid* classGuid, std::uint32_t index,
                                           DeviceInterfaceData* data) {
    Lists& l = TheLists();
    std::lock_guard lock(l.mutex);
    auto it = l.lists.find(list);
    if (it == l.lists.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (classGuid == nullptr || data == nullptr || data->cbSize != kInterfaceDataSize) {
        return Fail(data == nullptr || classGuid == nullptr ? ERROR_INVALID_PARAMETER
                                                            : ERROR_INVALID_USER_BUFFER);
    }
    if (!(*classGuid == it->second.classGuid) || index >= it->second.paths.size()) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    data->interfaceClassGuid = *classGuid;
    data->flags = 1;  // active
    data->reserved = index + 1;
    return true;
}

bool SetupApi::SetupDiGetDeviceInterfaceDetailA(DevInfoHandle list, DeviceInterfaceData* data,
                                                void* detail, std::uint32_t detailSize,
                                                std::uint32_t* requiredSize,
                                                void* /*deviceInfoData*/) {
    Lists& l = TheLists();
    std::lock_guard lock(l.mutex);
    auto it = l.lists.find(list);
    if (it == l.lists.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (data == nullptr || data->reserved == 0 || data->reserved > it->second.paths.size()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::string& path = it->second.paths[data->reserved - 1];
    const auto needed = static_cast<std::uint32_t>(4 + path.size() + 1);
    if (requiredSize != nullptr) {
        *requiredSize = needed;
    }
    if (detail == nullptr) {
        return Fail(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    }
    std::uint32_t sizeField = 0;
    if (detailSize >= 4) {
        std::memcpy(&sizeField, detail, 4);
    }
    if (sizeField != kDetailDataSize) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (detailSize < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(static_cast<char*>(detail) + 4, path.c_str(), path.size() + 1);
    return true;
}

std::map<std::string, ProcAddress> SetupApi::EntryPoints() {
    return {
        {"SetupDiGetClassDevsA", AsProc(&SetupApi::SetupDiGetClassDevsA)},
        {"SetupDiDestroyDeviceInfoList", AsProc(&SetupApi::SetupDiDestroyDeviceInfoList)},
        {"SetupDiEnumDeviceInterfaces", AsProc(&SetupApi::SetupDiEnumDeviceInterfaces)},
        {"SetupDiGetDeviceInterfaceDetailA", AsProc(&SetupApi::SetupDiGetDeviceInterfaceDetailA)},
    };
}

std::size_t SetupApi::OpenListCount() {
    Lists& l = TheLists();
    std::lock_guard lock(l.mutex);
    return l.lists.size();
}

}  // namespace platform::usbio
