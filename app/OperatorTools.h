#pragma once

#include <QtCore/QStringList>
#include <cstdint>
#include <cstdio>
#include <string>

// The tools that answer without a window: --list, --list-instruments and
// --history. Each prints to out (problems to err) and returns the exit
// status.
class OperatorTools {
  public:
    // The packages the window would list, in its order: language, version,
    // version date and file name, tab-separated. Always 0.
    static int ListPackages(const std::string& executablePath, std::FILE* out);

    // Each USB device whose pair is listed (the ids files and extraIds):
    // bus and device number, the pair, the serial number, whether it can be
    // opened and, when not, why and how to fix it. With simulate, the
    // simulated instrument. 0 when at least one can be used, else 1.
    static int ListInstruments(bool simulate, const QStringList& extraIds, std::FILE* out,
                               std::FILE* err);

    // The last count attempts of the history at path, newest first. Always 0.
    static int ShowHistory(const std::string& path, int count, std::FILE* out);
};
