#include "shell/CPlaceholderDocView.h"

#include <QtWidgets/QWidget>

#include "platform/ui/DialogUnits.h"
#include "shell/CMainFrame.h"

bool CPlaceholderDocView::CreateDocument(CMainFrame& frame) {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("placeholderView"));
    // The upgrade form is 308 x 205 dialog units of its 8-point dialog font.
    const platform::ui::DialogUnits units(CMainFrame::DialogFont());
    view->resize(units.X(308), units.Y(205));
    frame.SetView(view, nullptr, nullptr);
    return true;
}
