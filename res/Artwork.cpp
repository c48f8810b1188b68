#include "res/Artwork.h"

#include <QtCore/qglobal.h>

static void InitKestrupResources() {
    Q_INIT_RESOURCE(kestrup_art);
}

namespace res {

void Artwork::Init() {
    static const bool done = [] {
        InitKestrupResources();
        return true;
    }();
    (void)done;
}

}  // namespace res
