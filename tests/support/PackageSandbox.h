#pragma once

#include <memory>
#include <string>

#include "package/PackageTrust.h"

namespace testsupport {

// A private directory tree for one package test:
//   <root>/bin/kestrup      the executable path handed to the scan (not created)
//   <root>/cfg/             the package directory
//   <root>/run/kestrup/     the program's temporary directory (XDG_RUNTIME_DIR
//                           points at <root>/run while the sandbox lives)
//   <root>/outside/         a directory that hostile archives must not reach
//   <root>/etc/kestrup/     the system's directory of policy and trusted keys
//                           while the sandbox lives (not created), so that no
//                           test reads the machine's /etc/kestrup/
//   <root>/trusted-keys/    the trusted keys beside cfg/ (not created)
// Everything is removed, and the environment restored, on destruction.
class PackageSandbox {
  public:
    PackageSandbox();
    ~PackageSandbox();
    PackageSandbox(const PackageSandbox&) = delete;
    PackageSandbox& operator=(const PackageSandbox&) = delete;

    const std::string& Root() const { return root_; }
    std::string Executable() const { return root_ + "bin/kestrup"; }
    std::string PackageDir() const { return root_ + "cfg/"; }
    std::string TempDir() const { return root_ + "run/kestrup/"; }
    std::string StagingDir() const { return TempDir() + "test/"; }
    std::string Outside() const { return root_ + "outside/"; }
    std::string SystemDir() const { return root_ + "etc/kestrup/"; }
    std::string KeysDir() const { return root_ + "trusted-keys/"; }

    // Writes a file (creating missing parent folders); true on success.
    static bool Write(const std::string& path, const std::string& contents);
    // Reads a file; empty when missing.
    static std::string Read(const std::string& path);
    // The names in a directory, sorted, without "." and "..".
    static std::string Names(const std::string& directory);

  private:
    std::string root_;
    std::string savedRuntimeDir_;
    bool hadRuntimeDir_ = false;
    std::unique_ptr<PackageTrust::ScopedSystemDir> systemDir_;
};

}  // namespace testsupport
