#include "app/CommandLine.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QRegularExpression>

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
                      "(implies --simulate).",
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
    scenario = parser.value("scenario");
    capture = parser.value("capture");
    upgrade = parser.value("upgrade");
    usbIds = parser.values("usb-id");
    json = parser.isSet("json");
    list = parser.isSet("list");
    verify = parser.value("verify");
    listInstruments = parser.isSet("list-instruments");
    static const QRegularExpression id("^[0-9A-Fa-f]{1,4}:[0-9A-Fa-f]{1,4}$");
    for (const QString& value : usbIds) {
        if (!id.match(value).hasMatch()) {
            error = QString("--usb-id expects VID:PID in hexadecimal, not '%1'").arg(value);
            return false;
        }
    }
    QStringList positional = parser.positionalArguments();
    if (parser.isSet("history")) {
        // "--history N": the count arrives as the positional argument.
        history = kDefaultHistory;
        if (!positional.isEmpty()) {
            bool number = false;
            const int n = positional.first().toInt(&number);
            if (!number || n <= 0 || positional.size() > 1) {
                error = "--history expects a positive number of attempts";
                return false;
            }
            history = n;
            positional.clear();
        }
    }
    if (int(list) + int(listInstruments) + int(history > 0) + int(parser.isSet("upgrade")) +
            int(parser.isSet("verify")) >
        1) {
        error = "--list, --list-instruments, --history, --verify and --upgrade exclude each other";
        return false;
    }
    if (parser.isSet("verify") && (verify.isEmpty() || !positional.isEmpty())) {
        error = "--verify needs the file name of one package";
        return false;
    }
    if (json && !parser.isSet("upgrade")) {
        error = "--json goes with --upgrade";
        return false;
    }
    if (positional.size() > 1) {
        error = "at most one FILE may be given";
        return false;
    }
    file = positional.isEmpty() ? QString() : positional.first();
    if (!upgrade.isEmpty() && !file.isEmpty()) {
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
