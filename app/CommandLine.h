#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>

// The program's command line: the framework's standard parsing (an optional
// FILE to open as the document) extended with the program's own options.
class CommandLine {
  public:
    QString file;  // opened as the document instead of scanning
    bool simulate = false;
    QString scenario;              // a scenario file for the simulated instrument
    QString capture;               // where the driver writes its usbmon capture
    QString upgrade;               // unattended: the package file name to install
    QStringList usbIds;            // extra vendor:product pairs that count as the instrument
    bool json = false;             // with --upgrade: the report as JSON Lines
    bool list = false;             // print the package list and exit
    QString verify;                // check the signature of the package NAME and exit
    bool listInstruments = false;  // print the instruments seen and exit
    int history = 0;               // print the last N upgrade attempts and exit (0: not asked)
    bool help = false;
    bool version = false;

    // Attempts --history shows when no N is given.
    static constexpr int kDefaultHistory = 20;

    // Parses arguments (the program name first). False with a message for
    // arguments that make no sense; the program then exits with status 2.
    bool Parse(const QStringList& arguments, QString& error);

    static QString HelpText();
    static QString VersionText();
};
