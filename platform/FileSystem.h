#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// Files and directories, as the program needs them. Paths are plain UTF-8
// byte strings with "/" as separator; directory paths given back end with
// "/". All functions may be called from any thread and do not block beyond
// the file system call itself.
class FileSystem {
  public:
    enum class Kind { File, Directory, Other };

    struct Entry {
        std::string name;
        Kind kind;
    };

    // The running executable's absolute path (/proc/self/exe resolved).
    // Empty when it cannot be found.
    static std::string ExecutablePath();

    // The entries of a directory, "." and ".." included, sorted by name
    // without regard to ASCII case, folded to upper case (so "_" comes after
    // the letters; names equal but for case in byte order), as the platform
    // the program was designed for lists directories. A
    // symbolic link is reported as Other, never followed. Returns false when
    // the directory cannot be opened.
    static bool List(const std::string& directory, std::vector<Entry>& entries);

    // The kind of what lies at path without following a final symbolic link;
    // false when nothing is there.
    static bool KindOf(const std::string& path, Kind& kind);
    static bool Exists(const std::string& path);

    // Makes a file writable again for its owner (the platform's "normal
    // attributes"). A symbolic link is left alone. Returns false on failure.
    static bool SetNormalAttributes(const std::string& path);

    // Copies a regular file, replacing whatever lies at `to`. A symbolic link
    // at `to` is replaced itself, never written through; the copy is written
    // under a temporary name beside `to` and renamed into place. The source
    // must be a regular file (not followed through a link). Returns false on
    // failure, leaving no partial file at `to`.
    static bool CopyReplacing(const std::string& from, const std::string& to);

    // Moves a regular file (not followed through a link) to `to` within the
    // same file system, replacing whatever file or link lies there (a link
    // is replaced itself, never written through). The same bytes as
    // CopyReplacing followed by deleting `from`, without making a new file.
    // Returns false on failure, leaving both as they were.
    static bool MoveReplacing(const std::string& from, const std::string& to);

    // Deletes a file or a symbolic link (the link itself, never its target).
    // Directories are not deleted. Returns false on failure.
    static bool Delete(const std::string& path);

    // Removes everything inside a directory, files and folders at any depth,
    // through directory handles: symbolic links are removed themselves, never
    // followed, and no path length limits the walk. The directory itself
    // stays. True when it is empty afterwards or does not exist; false when
    // it is a symbolic link or not a directory (nothing is touched then), or
    // when something in it could not be removed.
    static bool ClearDirectory(const std::string& directory);

    // Reads a whole regular file of at most maxBytes bytes; false on failure,
    // for anything but a regular file (opened without blocking, so a FIFO is
    // refused, not waited on) and for a longer file.
    static bool ReadAll(const std::string& path, std::string& contents,
                        std::size_t maxBytes = kMaxReadBytes);
    static constexpr std::size_t kMaxReadBytes = 1024 * 1024;
    // Writes a whole file, replacing it as CopyReplacing does.
    static bool WriteAll(const std::string& path, const std::string& contents);
};

}  // namespace platform
