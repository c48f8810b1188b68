#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <string>

// The program's command line: the framework's standard parsing (an optional
// FILE to open as the document) extended with the program's own options.
class CommandLine {
  public:
    QString file;  // opened as the document instead of scanning
    bool simulate = false;
    QStringList scenarios;         // scenario files, one simulated instrument each
    QString capture;               // where the driver writes its usbmon capture
    QString upgrade;               // unattended: the package file name to install
    QStringList usbIds;            // extra vendor:product pairs that count as the instrument
    bool json = false;             // with --upgrade: the report as JSON Lines
    bool list = false;             // print the package list and exit
    QString verify;                // check the signature of the package NAME and exit
    bool listInstruments = false;  // print the instruments seen and exit
    int history = 0;               // print the last N upgrade attempts and exit (0: not asked)
    QString instrument;            // bind detection to this instrument (serial or port path)
    QString station;               // a station's run on this instrument (the ID)
    bool stationStatus = false;    // print the station's instruments and exit
    bool help = false;
    bool version = false;

    // Attempts --history shows when no N is given.
    static constexpr int kDefaultHistory = 20;

    // Parses arguments (the program name first). False with a message for
    // arguments that make no sense; the program then exits with status 2.
    // Option values are taken exactly as given: a value with anything more
    // (a line feed after a VID:PID, a sign before a count) is refused.
    bool Parse(const QStringList& arguments, QString& error);

    // An unattended run: --upgrade or --station.
    bool Unattended() const { return !upgrade.isEmpty() || !station.isEmpty(); }

    // An argument as the program received it, byte for byte: valid UTF-8 is
    // decoded, and each byte that is not part of a UTF-8 character is kept
    // as the lone surrogate U+DC00 + byte, so that Bytes() gives back the
    // very bytes (a file name need not be UTF-8).
    static QString FromBytes(const char* bytes);
    static std::string Bytes(const QString& argument);

    static QString HelpText();
    static QString VersionText();
};
