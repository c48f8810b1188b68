#include "platform/usbio/ModuleRegistry.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <utility>

#include "platform/usbio/SetupApi.h"
#include "platform/usbio/UsbioDriver.h"

namespace platform::usbio {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct Module {
    ModuleHandle handle = 0;
    std::map<std::string, ProcAddress> entries;
    int loads = 0;
    bool hidden = false;
    std::set<std::string> hiddenEntries;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, Module> modules;  // by lower-case name
    ModuleHandle nextHandle = 1;

    Registry() { Add("setupapi.dll", SetupApi::EntryPoints()); }

    Module& Add(const std::string& name, std::map<std::string, ProcAddress> entries) {
        Module& module = modules[Lower(name)];
        if (module.handle == 0) {
            module.handle = nextHandle++;
        }
        module.entries = std::move(entries);
        return module;
    }

    Module* Find(ModuleHandle handle) {
        for (auto& [name, module] : modules) {
            if (module.handle == handle && module.loads > 0) {
                return &module;
            }
        }
        return nullptr;
    }
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

ModuleHandle ModuleRegistry::LoadLibrary(const char* name) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = name ? r.modules.find(Lower(name)) : r.modules.end();
    if (it == r.modules.end() || it->second.hidden || it->second.handle == 0) {
        UsbioDriver::SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    ++it->second.loads;
    return it->second.handle;
}

ProcAddress ModuleRegistry::GetProcAddress(ModuleHandle handle, const char* name) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    Module* module = r.Find(handle);
    if (module == nullptr) {
        UsbioDriver::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto it = name ? module->entries.find(name) : module->entries.end();
    if (it == module->entries.end() || module->hiddenEntries.contains(name)) {
        UsbioDriver::SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return it->second;
}

bool ModuleRegistry::FreeLibrary(ModuleHandle handle) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    Module* module = r.Find(handle);
    if (module == nullptr) {
        UsbioDriver::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    --module->loads;
    return true;
}

int ModuleRegistry::LoadCount(const char* name) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.modules.find(Lower(name));
    return it == r.modules.end() ? 0 : it->second.loads;
}

void ModuleRegistry::Register(const std::string& name, std::map<std::string, ProcAddress> entries) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.Add(name, std::move(entries));
}

ModuleRegistry::ScopedMissingModule::ScopedMissingModule(std::string name)
    : name_(Lower(std::move(name))) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.modules[name_].hidden = true;
}

ModuleRegistry::ScopedMissingModule::~ScopedMissingModule() {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.modules[name_].hidden = false;
}

ModuleRegistry::ScopedMissingEntryPoint::ScopedMissingEntryPoint(std::string module,
                                                                 std::string entry)
    : module_(Lower(std::move(module))), entry_(std::move(entry)) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.modules[module_].hiddenEntries.insert(entry_);
}

ModuleRegistry::ScopedMissingEntryPoint::~ScopedMissingEntryPoint() {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.modules[module_].hiddenEntries.erase(entry_);
}

}  // namespace platform::usbio
