#pragma once

#include <QtCore/QStringList>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/UpgradeHistory.h"

class CKestrupDoc;

// The tools that answer without a window: --list, --verify,
// --list-instruments and --history. Each prints to out (problems to err) and
// returns the exit status. Outside text in what they print is escaped for a
// terminal (platform::TextEscape).
class OperatorTools {
  public:
    // The packages the window would list, in its order: language, version,
    // version date, file name and the signature's word (signed:KEYID,
    // unsigned, bad-signature), tab-separated, each escaped (so a tab or line
    // feed in a value never shifts a column). The packages left out of the
    // list are named on err with the reason. Always 0.
    static int ListPackages(const std::string& executablePath, std::FILE* out, std::FILE* err);

    // The row of the package whose file name is exactly `name`, byte for
    // byte (a name need not be UTF-8). -1 when none or more than one is; the
    // refusal then says so and names the packages there are (and those left
    // out, with why), all escaped for a terminal.
    static int ChoosePackage(const CKestrupDoc& document, const std::string& name,
                             std::string& refusal);

    // Names each archive the scan left out, and why, on err.
    static void SayLeftOut(const CKestrupDoc& document, std::FILE* err);

    // Checks the signature of the package named name in the packages
    // directory: its state, key id and trusted comment. 0 when it is signed
    // by a trusted key and verified, 1 otherwise, 2 when name is not a
    // package file there.
    static int VerifyPackage(const std::string& executablePath, const std::string& name,
                             std::FILE* out, std::FILE* err);

    // Each USB device whose pair is listed (the ids files and extraIds):
    // bus and device number, port path, the pair, the serial number, whether
    // it can be opened and, when not, why and how to fix it. With simulate,
    // the simulated instruments (one per scenario). 0 when at least one can
    // be used, else 1.
    static int ListInstruments(bool simulate, const QStringList& extraIds, std::FILE* out,
                               std::FILE* err, const QStringList& scenarios = QStringList());

    // The last count attempts of the history, newest first (an attempt
    // without its end reads "interrupted"). Always 0.
    static int ShowHistory(const UpgradeHistory::Location& location, int count, std::FILE* out);
};
