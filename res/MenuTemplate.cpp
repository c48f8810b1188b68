#include "res/MenuTemplate.h"

#include "res/Resource.h"

namespace res {

const std::vector<MenuTemplate::Popup>& MenuTemplate::MainFrame() {
    static const std::vector<Popup> menu{
        {"&File", {{"Upgrade Via USB", ID_UPGRADE_VIA_USB}, {nullptr, 0}, {"E&xit", ID_APP_EXIT}}},
        {"&View", {{"&Toolbar", ID_VIEW_TOOLBAR}, {"&Status Bar", ID_VIEW_STATUS_BAR}}},
        {"&Help", {{"&About...", ID_APP_ABOUT}}},
    };
    return menu;
}

}  // namespace res
