#include "res/DialogTemplate.h"

#include "res/Artwork.h"
#include "res/Resource.h"

namespace res {

const DialogTemplate& DialogTemplate::AboutBox() {
    static const DialogTemplate about{
        "About Talvenmark Pro Upgrade Utility",
        "MS Sans Serif",
        8,
        235,
        55,
        {
            {Kind::Icon, 0xFFFF, Artwork::kFrameIcon, 11, 17, 20, 20, false},
            {Kind::Static, 0xFFFF, "Talvenmark Pro Upgrade Utility Version 7.0.5", 41, 13, 119, 16,
             true},
            {Kind::Static, 0xFFFF, "Installs upgrade packages over USB", 42, 33, 119, 8, false},
            {Kind::DefButton, IDOK, "OK", 178, 7, 50, 14, false},
        },
    };
    return about;
}

}  // namespace res
