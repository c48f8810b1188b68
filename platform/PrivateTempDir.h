#pragma once

#include <string>

namespace platform {

// The program's temporary directory. The platform the program was designed
// for gives every user a private temporary directory; the shared /tmp of
// Linux is not private, and the program extracts descriptors and stages
// firmware there. So this is a per-user directory of the program's own:
//   $XDG_RUNTIME_DIR/kestrup/        when XDG_RUNTIME_DIR is set,
//   ${TMPDIR:-/tmp}/kestrup-<uid>/   otherwise,
// created with mode 0700 when missing. It is refused when it is a symbolic
// link, is not a directory, is owned by another user, or is writable by
// group or others.
//
// A run may work in a directory of its own below it (a run bound to one
// instrument, beside others bound to other instruments): while a run
// subdirectory is set, Get gives that one, checked and created the same way.
class PrivateTempDir {
  public:
    // Fills `path` (ending with "/") and returns true, or returns false and
    // says why in `error`. Any thread.
    static bool Get(std::string& path, std::string& error);
    // The private directory itself, whatever the run's subdirectory.
    static bool GetBase(std::string& path, std::string& error);
    // name: one plain file name, or empty for none. Process-wide; set it
    // before the run's threads start.
    static void SetRunSubdirectory(const std::string& name);

    // The same check for a given directory, creating it when missing.
    static bool Prepare(const std::string& directory, std::string& error);
};

}  // namespace platform
