#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Text that comes from outside the program (file and member names, descriptor
// values, serial numbers, paths from the environment) on its way to an output.
// Names are byte strings; they are meant to be UTF-8 but need not be.
class TextEscape {
  public:
    // The one rule for every text output (reports, listings, the error
    // output): control characters and bytes that are not UTF-8 become
    // visible escapes, so that outside text can neither move the cursor,
    // set a terminal's title nor start a line of its own:
    //   "\\" for a backslash; "\t", "\n", "\r"; "\xNN" for each byte of the
    //   other controls (C0, DEL, and C1 in its two UTF-8 bytes) and for each
    //   byte that is not part of a valid UTF-8 character.
    // Everything else (printable ASCII and valid UTF-8) is kept as it is. The
    // rule is reversible (every "\xNN" is one byte): two different names
    // never read the same.
    static std::string ForTerminal(std::string_view bytes);

    // For the window, which shows names as they are: the same bytes without
    // the control characters (C0, DEL, C1). Bytes that are not UTF-8 stay;
    // the window shows them as replacement characters.
    static std::string WithoutControls(std::string_view bytes);

    // Whether the bytes hold a control character (C0, DEL or C1).
    static bool HasControl(std::string_view bytes);

    // The length of the valid UTF-8 character that starts at bytes[at]; 0
    // when none starts there.
    static std::size_t CharacterAt(std::string_view bytes, std::size_t at);

    // The longest length not above `limit` that does not end inside a UTF-8
    // character of `bytes` (bytes that are not UTF-8 count one by one).
    static std::size_t CharacterBoundary(std::string_view bytes, std::size_t limit);
};

}  // namespace platform
