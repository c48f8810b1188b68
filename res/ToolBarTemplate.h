#pragma once

#include <cstdint>
#include <vector>

namespace res {

// The frame's toolbar (resource 128): buttons in order, 0 for a separator,
// and the strip of button images (one per button, separators excluded).
class ToolBarTemplate {
  public:
    static constexpr int kButtonSize = 17;
    static const std::vector<std::uint32_t>& MainFrameButtons();
    // Path of the image strip in the compiled-in resources.
    static const char* MainFrameImages();
};

}  // namespace res
