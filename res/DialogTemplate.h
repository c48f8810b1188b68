#pragma once

#include <cstdint>
#include <vector>

namespace res {

// A dialog laid out in dialog units, as the framework's dialog templates are.
class DialogTemplate {
  public:
    enum class Kind { Icon, Static, DefButton, Button };
    struct Item {
        Kind kind;
        std::uint32_t id;  // 0xFFFF for items nobody addresses
        const char* text;  // icon items: artwork path
        int x, y, cx, cy;
        bool noPrefix;  // "&" shown as it is
    };

    const char* title;
    const char* fontName;
    int pointSize;
    int cx, cy;
    std::vector<Item> items;

    static const DialogTemplate& AboutBox();  // resource 100
};

}  // namespace res
