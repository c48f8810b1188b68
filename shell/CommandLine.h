#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>

// The program's command line: the framework's standard parsing (an optional
// FILE to open as the document) extended with the program's own options.
class CommandLine {
  public:
    QString file;         // opened as the document instead of scanning
    bool simulate = false;
    QString scenario;     // a scenario file for the simulated instrument
    QString capture;      // where the driver writes its usbmon capture
    QString upgrade;      // unattended: the package file name to install
    QStringList usbIds;   // extra vendor:product pairs that count as the instrument
    bool help = false;
    bool version = false;

    // Parses arguments (the program name first). False with a message for
    // arguments that make no sense; the program then exits with status 2.
    bool Parse(const QStringList& arguments, QString& error);

    static QString HelpText();
    static QString VersionText();
};
