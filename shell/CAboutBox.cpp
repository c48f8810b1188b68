#include "shell/CAboutBox.h"

#include <QtGui/QPixmap>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

#include "platform/ui/ControlId.h"
#include "platform/ui/DialogUnits.h"
#include "res/Artwork.h"
#include "res/DialogTemplate.h"
#include "shell/CMainFrame.h"

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent) {
    res::Artwork::Init();
    const res::DialogTemplate& dialog = res::DialogTemplate::AboutBox();
    setWindowTitle(QString::fromLatin1(dialog.title));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(true);
    setFont(CMainFrame::DialogFont());
    const platform::ui::DialogUnits units(font());
    setFixedSize(units.X(dialog.cx), units.Y(dialog.cy));

    for (const res::DialogTemplate::Item& item : dialog.items) {
        const QRect r = units.Map(item.x, item.y, item.cx, item.cy);
        QWidget* widget = nullptr;
        switch (item.kind) {
            case res::DialogTemplate::Kind::Icon: {
                // An icon control shows the icon at the system's icon size.
                auto* label = new QLabel(this);
                const QPixmap icon(QString::fromLatin1(item.text));
                label->setPixmap(icon.scaled(32, 32, Qt::KeepAspectRatio, Qt::FastTransformation));
                label->setGeometry(r.x(), r.y(), 32, 32);
                widget = label;
                break;
            }
            case res::DialogTemplate::Kind::Static: {
                auto* label = new QLabel(QString::fromLatin1(item.text), this);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setWordWrap(true);
                label->setGeometry(r);
                widget = label;
                break;
            }
            case res::DialogTemplate::Kind::DefButton:
            case res::DialogTemplate::Kind::Button: {
                auto* button = new QPushButton(QString::fromLatin1(item.text), this);
                button->setGeometry(r);
                const bool isDefault = item.kind == res::DialogTemplate::Kind::DefButton;
                button->setDefault(isDefault);
                button->setAutoDefault(isDefault);
                connect(button, &QPushButton::clicked, this, &QDialog::accept);
                widget = button;
                break;
            }
        }
        if (item.id != 0xFFFF) {
            platform::ui::SetControlId(widget, item.id);
        }
    }
}
