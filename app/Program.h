#pragma once

#include <QtCore/QStringList>
#include <cstdio>
#include <string>

// The program from its command line to its exit status: parses the options,
// attaches the simulated instrument or the real USB back end, starts the
// capture, runs the application (interactively, or unattended with
// --upgrade) and returns the exit status.
class Program {
  public:
    struct Settings {
        // Where the package scan looks from ("cfg/" beside its "bin/");
        // empty means the program's own path.
        std::string executablePath;
        std::FILE* out = stdout;
        std::FILE* err = stderr;
        // No longer used: the upgrade worker is always ended and joined
        // when the application ends.
        bool stopWorkerAtEnd = false;
        // The upgrade history; empty means UpgradeHistory::DefaultLocation().
        std::string historyPath;
        // The station's configuration; empty means StationConfig::kDefaultPath.
        std::string stationConfigPath;
    };

    // main(): handles --help and --version without a window, falls back to
    // Qt's offscreen platform for an unattended run without a display, and
    // creates Qt's application object.
    static int Main(int argc, char** argv);

    // Runs with Qt's application object already there. arguments include the
    // program name first, byte for byte as CommandLine::FromBytes gives them.
    // Exit status: the application's, or for --upgrade 0 success, 1 failure,
    // 2 unknown package or bad arguments, 3 another run holds what this one
    // needs, 4 a station does not accept the instrument; 1 when the private
    // temporary directory or its lock cannot be had, and 128 + the signal's
    // number after SIGTERM, SIGINT or SIGHUP (which close the program in
    // order). SIGPIPE is ignored from here on.
    static int Run(const QStringList& arguments, const Settings& settings);
};
