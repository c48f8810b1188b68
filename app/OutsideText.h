#pragma once

#include <string>
#include <string_view>

// Text from outside the program (serial numbers, a station's configuration,
// notes other runs left, a history someone could have edited) on its way to
// a text output, by the one rule of every text output
// (platform::TextEscape::ForTerminal): control characters and bytes that are
// not UTF-8 become visible escapes, so that it can neither steer a terminal
// nor start a line of its own, and two different texts never read the same.
class OutsideText {
  public:
    static std::string Visible(std::string_view text);
};
