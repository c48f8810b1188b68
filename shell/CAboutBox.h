#pragma once

#include <QtWidgets/QDialog>

// The About box (dialog 100): the program's icon, name and version.
class CAboutBox : public QDialog {
  public:
    explicit CAboutBox(QWidget* parent = nullptr);
};
