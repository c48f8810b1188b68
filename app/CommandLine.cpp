#include "app/CommandLine.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QRegularExpression>
#include <string_view>

#include "platform/TextEscape.h"

#include "platform/usbio/InstrumentId.h"

namespace {

QCommandLineParser& Describe(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        "Installs upgrade packages (.pcg) into a Talvenmark Pro over USB.\n"
        "Packages are read from the directory cfg/ beside the directory bin/ that holds\n"
        "the program (or cfg/ beside the program when its path has no bin/).\n"
        "A FILE argument opens that file as the document instead of scanning for packages.");
    parser.addPositionalArgument("FILE", "Open FILE as the document (no package scan).", "[FILE]");
    parser.addOption({"simulate", "Attach the simulated instrument instead of real devices."});
    parser.addOption({"scenario",
                      "Run the simulated instrument with the faults and timings of FILE "
                      "(implies --simulate). Given more than once, one simulated instrument "
                      "per FILE, on ports 1-1, 1-2, ...",
                      "FILE"});
    parser.addOption(
        {"capture", "Write a usbmon capture of the session's USB traffic to FILE.", "FILE"});
    parser.addOption({"upgrade",
                      "Unattended: choose the package whose file name is NAME, upgrade, print "
                      "every status and message, and exit (0 success, 1 failure, 2 bad "
                      "arguments or unknown NAME).",
                      "NAME"});
    parser.addOption({"json",
                      "With --upgrade: print the report as JSON Lines (one object per event; "
                      "see docs/json-report.md) instead of text."});
    parser.addOption({"list",
                      "Print the packages the window would list, one per line: language, "
                      "version, version date, file name and signature (signed:KEYID, unsigned "
                      "or bad-signature), separated by tabs; exit."});
    parser.addOption({"verify",
                      "Check the signature of the package NAME in the packages directory "
                      "against the trusted keys; print its key id and trusted comment; exit 0 "
                      "when it is signed and verified, 1 otherwise.",
                      "NAME"});
    parser.addOption({"list-instruments",
                      "Print each USB device that counts as the instrument (bus, device, "
                      "VID:PID, serial number) and whether it can be opened; exit 0 when one "
                      "can be used, else 1. With --simulate, the simulated instrument."});
    parser.addOption({"history",
                      "Print the last N upgrade attempts (default 20), newest first, and exit. "
                      "N follows the option as its own argument."});
    parser.addOption({"instrument",
                      "Bind detection to one instrument: ID is its serial number or its port "
                      "path BUS-PORT[.PORT...] (as --list-instruments shows them); every other "
                      "instrument is passed over. Unattended runs bound to different instruments "
                      "run side by side.",
                      "ID"});
    parser.addOption({"station",
                      "A station's run (the service kestrup-station@ID): upgrade the instrument "
                      "ID unattended with the package /etc/kestrup/station.conf names, when its "
                      "serial number fits the pattern there (exit 4 when it does not).",
                      "ID"});
    parser.addOption({"station-status",
                      "Print one line per instrument the station has seen: ID, serial number, "
                      "state (waiting, upgrading with file and percentage, succeeded, failed and "
                      "why), start and end; with --json as JSON Lines; exit."});
    parser.addOption({"usb-id",
                      "Also treat the USB device VID:PID (hexadecimal) as the instrument.",
                      "VID:PID"});
    parser.addOption({{"h", "help"}, "Show this help and exit."});
    parser.addOption({{"v", "version"}, "Show the version and exit."});
    return parser;
}

}  // namespace

bool CommandLine::Parse(const QStringList& arguments, QString& error) {
    QCommandLineParser parser;
    Describe(parser);
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    help = parser.isSet("help");
    version = parser.isSet("version");
    simulate = parser.isSet("simulate") || parser.isSet("scenario");
    scenarios = parser.values("scenario");
    capture = parser.value("capture");
    upgrade = parser.value("upgrade");
    usbIds = parser.values("usb-id");
    json = parser.isSet("json");
    list = parser.isSet("list");
    verify = parser.value("verify");
    listInstruments = parser.isSet("list-instruments");
    instrument = parser.value("instrument");
    station = parser.value("station");
    stationStatus = parser.isSet("station-status");
    for (const char* option : {"instrument", "station"}) {
        std::string why;
        platform::usbio::InstrumentId id;
        if (parser.isSet(option) &&
            !platform::usbio::InstrumentId::Parse(Bytes(parser.value(option)), id, why)) {
            error = QString("--%1: %2").arg(option, QString::fromStdString(why));
            return false;
        }
    }
    // Anchored at both ends exactly: "$" alone would let a final line feed
    // through.
    static const QRegularExpression id(
        QRegularExpression::anchoredPattern("[0-9A-Fa-f]{1,4}:[0-9A-Fa-f]{1,4}"));
    for (const QString& value : usbIds) {
        if (!id.match(value).hasMatch()) {
            error = QString("--usb-id expects VID:PID in hexadecimal, not '%1'").arg(value);
            return false;
        }
    }
    for (const char* option : {"scenario", "capture"}) {
        if (parser.values(option).contains(QString())) {
            error = QString("--%1 needs a file name").arg(QString::fromLatin1(option));
            return false;
        }
    }
    QStringList positional = parser.positionalArguments();
    if (parser.isSet("history")) {
        // "--history N": the count arrives as the positional argument.
        history = kDefaultHistory;
        if (!positional.isEmpty()) {
            static const QRegularExpression digits(QRegularExpression::anchoredPattern("[0-9]+"));
            bool number = digits.match(positional.first()).hasMatch();
            const int n = number ? positional.first().toInt(&number) : 0;
            if (!number || n <= 0 || positional.size() > 1) {
                error = "--history expects a positive number of attempts";
                return false;
            }
            history = n;
            positional.clear();
        }
    }
    if (int(list) + int(listInstruments) + int(history > 0) + int(parser.isSet("upgrade")) +
            int(parser.isSet("verify")) + int(parser.isSet("station")) + int(stationStatus) >
        1) {
        error =
            "--list, --list-instruments, --history, --verify, --upgrade, --station and "
            "--station-status exclude each other";
        return false;
    }
    if (parser.isSet("verify") && (verify.isEmpty() || !positional.isEmpty())) {
        error = "--verify needs the file name of one package";
        return false;
    }
    if (json && !parser.isSet("upgrade") && !parser.isSet("station") && !stationStatus) {
        error = "--json goes with --upgrade, --station or --station-status";
        return false;
    }
    if (parser.isSet("instrument") && (list || listInstruments || history > 0 || stationStatus ||
                                       parser.isSet("station") || parser.isSet("verify"))) {
        error = "--instrument binds an upgrade (or the window) to one instrument";
        return false;
    }
    if (positional.size() > 1) {
        error = "at most one FILE may be given";
        return false;
    }
    file = positional.isEmpty() ? QString() : positional.first();
    if ((!upgrade.isEmpty() || !station.isEmpty()) && !file.isEmpty()) {
        error = "--upgrade chooses from the package list; it cannot be combined with FILE";
        return false;
    }
    if (parser.isSet("upgrade") && upgrade.isEmpty()) {
        error = "--upgrade needs the file name of a package";
        return false;
    }
    return true;
}

QString CommandLine::HelpText() {
    QCommandLineParser parser;
    return Describe(parser).helpText().replace("<executable_name>", "kestrup");
}

QString CommandLine::VersionText() {
    return "Talvenmark Pro Upgrade Utility Version 7.0.5\n";
}

QString CommandLine::FromBytes(const char* bytes) {
    QString text;
    if (bytes == nullptr) {
        return text;
    }
    const std::string_view all(bytes);
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t length = platform::TextEscape::CharacterAt(all, at);
        if (length == 0) {
            text += QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(all[at])));
            ++at;
        } else {
            text += QString::fromUtf8(all.data() + at, static_cast<qsizetype>(length));
            at += length;
        }
    }
    return text;
}

std::string CommandLine::Bytes(const QString& argument) {
    std::string bytes;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= argument.size(); ++i) {
        const bool kept = i < argument.size() && argument[i].unicode() >= 0xDC80 &&
                          argument[i].unicode() <= 0xDCFF &&
                          (i == 0 || !argument[i - 1].isHighSurrogate());
        if (kept || i == argument.size()) {
            bytes += argument.mid(from, i - from).toStdString();
            if (kept) {
                bytes += static_cast<char>(argument[i].unicode() - 0xDC00);
            }
            from = i + 1;
        }
    }
    return bytes;
}
