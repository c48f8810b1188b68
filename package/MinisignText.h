#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The text layout that minisign's key and signature files share: lines of
// text, some of them a fixed number of bytes in standard base64 (with
// padding). Files come from outside: no line is trusted to be well formed.
class MinisignText {
  public:
    // The lines of text, each without its "\n" and a "\r" before it. False
    // (and no lines) when the text holds a NUL byte, which no such file has.
    // Empty lines at the end are dropped.
    static bool Lines(std::string_view text, std::vector<std::string_view>& lines);

    // Decodes a line of standard base64 into exactly `size` bytes, blanks
    // around it ignored. False for anything else: other characters, missing
    // padding, more or fewer bytes.
    static bool Decode(std::string_view line, std::uint8_t* bytes, std::size_t size);

    // The text after `prefix` at the start of line; false when it does not
    // start so.
    static bool After(std::string_view line, std::string_view prefix, std::string_view& rest);
};
