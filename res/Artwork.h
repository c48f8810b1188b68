#pragma once

namespace res {

// Paths of the program's artwork in the compiled-in resources. Call
// Artwork::Init() once before loading them from a program that links the
// resources statically.
class Artwork {
  public:
    static constexpr const char* kFrameIcon = ":/res/art/mainframe.xpm";  // icon 128, 16 x 16
    static constexpr const char* kToolBar = ":/res/art/toolbar.xpm";      // bitmap 128, two 17 x 17
    static constexpr const char* kRowImages = ":/res/art/rows.xpm";   // bitmap 130, eight 16 x 16
    static constexpr const char* kWarning = ":/res/art/warning.xpm";  // icon 146, 32 x 32

    // Registers the compiled-in resources (idempotent).
    static void Init();
};

}  // namespace res
