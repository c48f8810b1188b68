#include "platform/ui/DialogUnits.h"

#include <QtGui/QFont>
#include <QtGui/QFontMetrics>

namespace platform::ui {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    baseY_ = metrics.height();
}

int DialogUnits::X(int du) const {
    return du * baseX_ / 4;
}

int DialogUnits::Y(int du) const {
    return du * baseY_ / 8;
}

QRect DialogUnits::Map(int x, int y, int cx, int cy) const {
    return {X(x), Y(y), X(cx), Y(cy)};
}

}  // namespace platform::ui
