#pragma once

#include <cstddef>

namespace platform {

// Reads one value from a profile (INI) file, the way the program's package
// descriptors are written:
//
//   [SECTION]
//   key = value
//
// Rules:
// - Section and key names are matched without regard to ASCII case; white
//   space around names and values is removed.
// - A line whose first non-blank character is ';' is a comment. Lines that
//   are neither a section header nor contain '=' are ignored.
// - One pair of matching surrounding quotes (double or single) is removed
//   from a value.
// - The first occurrence of a key wins; a section that appears twice is
//   searched in file order, so again the first occurrence wins.
// - A UTF-8 byte-order mark at the start and CRLF line ends are accepted.
// - Only the first kMaxFileBytes of a file are looked at, up to the last
//   whole line within them (a value is never cut at the limit), so a huge
//   file cannot make a read slow; binary content is read as text and a value
//   ends at an embedded NUL.
// - A missing file, section or key gives the default (empty when null).
// The value is cut to at most size - 1 bytes, never inside a UTF-8
// character, and always terminated. Any thread.
class ProfileReader {
  public:
    static constexpr std::size_t kMaxFileBytes = 1024 * 1024;

    // Copies the value (or the default) into buffer and returns the number
    // of bytes copied, terminating zero not counted. With a null buffer or
    // size 0 nothing is written and 0 is returned; a null section or key
    // gives the default.
    static std::size_t GetString(const char* section, const char* key, const char* defaultValue,
                                 char* buffer, std::size_t size, const char* path);
};

}  // namespace platform
