#pragma once

#include <QtCore/QRect>

class QFont;

namespace platform::ui {

// Dialog units of a dialog font, as dialog templates use them: a horizontal
// unit is a quarter of the font's average character width, a vertical unit
// an eighth of its height.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    int X(int du) const;
    int Y(int du) const;
    // A rectangle given as left, top, width, height in dialog units.
    QRect Map(int x, int y, int cx, int cy) const;

    int BaseX() const { return baseX_; }
    int BaseY() const { return baseY_; }

  private:
    int baseX_;
    int baseY_;
};

}  // namespace platform::ui
