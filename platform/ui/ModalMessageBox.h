#pragma once

#include <QtCore/QString>
#include <functional>

#include "platform/MessageWindow.h"

class QWidget;

namespace platform::ui {

// Modal message boxes for every thread. The box always runs on the UI thread
// (the thread that constructs this object); a caller on another thread is
// blocked until the operator has dismissed it.
class ModalMessageBox : public MessageWindow {
  public:
    // Shows the box and returns when it has been dismissed. The default shows
    // a QMessageBox with the caption, the text and an OK button; tests
    // install their own.
    using Presenter =
        std::function<void(QWidget* parent, const QString& caption, const QString& text)>;

    ModalMessageBox();

    // Any thread. Returns once the box has been dismissed (at once when this
    // object is destroyed meanwhile).
    void Show(const QString& caption, const QString& text);

    // UI thread: the window the box is modal to (may be null), and the presenter.
    void SetParentSource(std::function<QWidget*()> source) { parentSource_ = std::move(source); }
    void SetPresenter(Presenter presenter) { presenter_ = std::move(presenter); }

    static void ShowQMessageBox(QWidget* parent, const QString& caption, const QString& text);

    LRESULT WindowProc(std::uint32_t message, WPARAM wParam, LPARAM lParam) override;

  private:
    std::function<QWidget*()> parentSource_;
    Presenter presenter_;
};

}  // namespace platform::ui
