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
class PrivateTempDir {
  public:
    // Fills `path` (ending with "/") and returns true, or returns false and
    // says why in `error`. Any thread.
    static bool Get(std::string& path, std::string& error);

    // The same check for a given directory, creating it when missing.
    static bool Prepare(const std::string& directory, std::string& error);
};

}  // namespace platform
