#pragma once

#include <cstdint>
#include <vector>

namespace res {

// The frame's menu bar (resource 128). "&" marks the mnemonic.
class MenuTemplate {
  public:
    struct Item {
        const char* text;       // null for a separator
        std::uint32_t command;  // 0 for a separator
    };
    struct Popup {
        const char* text;
        std::vector<Item> items;
    };

    static const std::vector<Popup>& MainFrame();
};

}  // namespace res
