#include "platform/TextEscape.h"

#include <gtest/gtest.h>

#include <string>

using platform::TextEscape;

namespace {

// Hostile and harmless names: what a terminal gets, and what the window
// shows (the same bytes without control characters).
TEST(TextEscapeTest, ControlsAndBytesThatAreNoUtf8BecomeVisibleAndOnlyThey) {
    struct Row {
        std::string in, terminal, window;
    };
    const Row rows[] = {
        {"TPro_English_7.0.5.pcg", "TPro_English_7.0.5.pcg", "TPro_English_7.0.5.pcg"},
        {"Suomi \xC3\xA4\xE2\x82\xAC \xF0\x9D\x84\x9E",
         "Suomi \xC3\xA4\xE2\x82\xAC \xF0\x9D\x84\x9E",
         "Suomi \xC3\xA4\xE2\x82\xAC \xF0\x9D\x84\x9E"},
        {"z\nResult: upgrade succeeded\n\x1b]0;TITLE\aq.dat",
         "z\\nResult: upgrade succeeded\\n\\x1B]0;TITLE\\x07q.dat",
         "zResult: upgrade succeeded]0;TITLEq.dat"},
        {"a\tb\rc\x7f", "a\\tb\\rc\\x7F", "abc"},
        {"back\\slash", "back\\\\slash", "back\\slash"},
        // C1 controls (U+0085, U+009B) and stray bytes that are no UTF-8.
        {"c1\xC2\x85\xC2\x9B", "c1\\xC2\\x85\\xC2\\x9B", "c1"},
        {std::string("nul\0x", 5), "nul\\x00x", "nulx"},
        {"fw\xFF.pcg", "fw\\xFF.pcg", "fw\xFF.pcg"},
        {"cut\xE2\x82", "cut\\xE2\\x82", "cut\xE2\x82"},
        // An overlong "/" and a surrogate are no UTF-8 either.
        {"\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80", "\xC0\xAF\xED\xA0\x80"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.terminal);
        EXPECT_EQ(TextEscape::ForTerminal(row.in), row.terminal);
        EXPECT_EQ(TextEscape::WithoutControls(row.in), row.window);
        EXPECT_EQ(TextEscape::HasControl(row.in), row.window.size() != row.in.size());
        // Nothing a terminal acts on is left, and no line ends.
        for (const char c : TextEscape::ForTerminal(row.in)) {
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f);
        }
    }
    // Two names never read the same.
    EXPECT_NE(TextEscape::ForTerminal("fw\xFE.pcg"), TextEscape::ForTerminal("fw\xFF.pcg"));
    EXPECT_NE(TextEscape::ForTerminal("fw\\xFF.pcg"), TextEscape::ForTerminal("fw\xFF.pcg"));
}

TEST(TextEscapeTest, ABoundaryNeverFallsInsideACharacter) {
    const std::string text =
        "ab\xE2\x82\xAC"
        "c\xFF";
    EXPECT_EQ(TextEscape::CharacterBoundary(text, 2), 2u);
    EXPECT_EQ(TextEscape::CharacterBoundary(text, 3), 2u);
    EXPECT_EQ(TextEscape::CharacterBoundary(text, 4), 2u);
    EXPECT_EQ(TextEscape::CharacterBoundary(text, 5), 5u);
    EXPECT_EQ(TextEscape::CharacterBoundary(text, 7), 7u);
    EXPECT_EQ(TextEscape::CharacterBoundary(text, 100), 7u);
    EXPECT_EQ(TextEscape::CharacterAt(text, 2), 3u);
    EXPECT_EQ(TextEscape::CharacterAt(text, 3), 0u);
    EXPECT_EQ(TextEscape::CharacterAt(text, 6), 0u);
}

}  // namespace
