#include "platform/ui/ModalMessageBox.h"

#include <QtWidgets/QMessageBox>

#include "platform/WindowMessages.h"

namespace platform::ui {
namespace {

constexpr std::uint32_t kShowBox = WM_USER + 0x300;

struct Request {
    QString caption;
    QString text;
};

}  // namespace

ModalMessageBox::ModalMessageBox() : presenter_(&ModalMessageBox::ShowQMessageBox) {}

void ModalMessageBox::Show(const QString& caption, const QString& text) {
    Request request{caption, text};
    // A send runs the procedure on the UI thread and blocks a caller on any
    // other thread until it has returned.
    WindowMessages::Send(this, kShowBox, 0, reinterpret_cast<LPARAM>(&request));
}

LRESULT ModalMessageBox::WindowProc(std::uint32_t message, WPARAM, LPARAM lParam) {
    if (message != kShowBox) {
        return 0;
    }
    const auto* request = reinterpret_cast<const Request*>(lParam);
    QWidget* parent = parentSource_ ? parentSource_() : nullptr;
    if (presenter_) {
        presenter_(parent, request->caption, request->text);
    }
    return 1;
}

void ModalMessageBox::ShowQMessageBox(QWidget* parent, const QString& caption,
                                      const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
    box.setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace platform::ui
