#include "res/ToolBarTemplate.h"

#include "res/Artwork.h"
#include "res/Resource.h"

namespace res {

const std::vector<std::uint32_t>& ToolBarTemplate::MainFrameButtons() {
    static const std::vector<std::uint32_t> buttons{ID_UPGRADE_VIA_USB, ID_SEPARATOR, ID_APP_ABOUT};
    return buttons;
}

const char* ToolBarTemplate::MainFrameImages() {
    return Artwork::kToolBar;
}

}  // namespace res
