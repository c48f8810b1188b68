#pragma once

#include <cstdint>
#include <vector>

namespace res {

// The frame's accelerator table (resource 128). Keys are written in the
// portable key-sequence notation ("Ctrl+N", "Shift+Del").
class AcceleratorTable {
  public:
    struct Entry {
        const char* keys;
        std::uint32_t command;
    };

    static const std::vector<Entry>& MainFrame();
};

}  // namespace res
