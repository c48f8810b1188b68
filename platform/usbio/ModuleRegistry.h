#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace platform::usbio {

// A module handle (HMODULE); 0 is "none". A module keeps its handle for the
// whole process run.
using ModuleHandle = std::uint32_t;
// An entry point as GetProcAddress returns it; callers cast it to the
// entry point's own type.
using ProcAddress = void (*)();

// The stand-in for run-time linking (LoadLibraryA, GetProcAddress,
// FreeLibrary): a registry of named modules, each a table of named entry
// points. "setupapi.dll" (see SetupApi) is built in. Module names compare
// without regard to case, entry point names exactly.
//
// Failures set the per-thread last error of UsbioDriver: ERROR_MOD_NOT_FOUND,
// ERROR_PROC_NOT_FOUND, ERROR_INVALID_HANDLE. All functions may be called
// from any thread and do not block beyond a short lock.
class ModuleRegistry {
  public:
    static ModuleHandle LoadLibrary(const char* name);
    static ProcAddress GetProcAddress(ModuleHandle module, const char* name);
    static bool FreeLibrary(ModuleHandle module);

    // References LoadLibrary has handed out and FreeLibrary not yet released.
    static int LoadCount(const char* name);

    // Adds or replaces a module.
    static void Register(const std::string& name, std::map<std::string, ProcAddress> entries);

    // Test control: while alive, the module cannot be loaded.
    class ScopedMissingModule {
      public:
        explicit ScopedMissingModule(std::string name);
        ~ScopedMissingModule();
        ScopedMissingModule(const ScopedMissingModule&) = delete;
        ScopedMissingModule& operator=(const ScopedMissingModule&) = delete;

      private:
        std::string name_;
    };

    // Test control: while alive, GetProcAddress does not find entry in module.
    class ScopedMissingEntryPoint {
      public:
        ScopedMissingEntryPoint(std::string module, std::string entry);
        ~ScopedMissingEntryPoint();
        ScopedMissingEntryPoint(const ScopedMissingEntryPoint&) = delete;
        ScopedMissingEntryPoint& operator=(const ScopedMissingEntryPoint&) = delete;

      private:
        std::string module_;
        std::string entry_;
    };
};

}  // namespace platform::usbio
