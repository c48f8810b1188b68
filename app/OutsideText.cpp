#include "app/OutsideText.h"

#include "platform/TextEscape.h"

std::string OutsideText::Visible(std::string_view text) {
    return platform::TextEscape::ForTerminal(text);
}
