#include "shell/CommandLine.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QRegularExpression>

namespace {

QCommandLineParser& Describe(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        "Installs upgrade packages (.pcg) into a Talvenmark Pro over USB.");
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
    static const QRegularExpression id("^[0-9A-Fa-f]{1,4}:[0-9A-Fa-f]{1,4}$");
    for (const QString& value : usbIds) {
        if (!id.match(value).hasMatch()) {
            error = QString("--usb-id expects VID:PID in hexadecimal, not '%1'").arg(value);
            return false;
        }
    }
    const QStringList positional = parser.positionalArguments();
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
