// Scans the packages from its own path, as the program does at start-up, and
// prints the package directory and then the file name of each listed package,
// one per line. The scan suite starts it through a link, the way the command
// path's kestrup starts the installed program.
#include <cstdio>

#include "package/CKestrupDoc.h"
#include "package/PackageGlobals.h"

int main() {
    CKestrupDoc doc;
    doc.ScanPackages();
    std::printf("%s\n", g_szPackageDir);
    for (int row = 0; row < doc.m_nPackageCount; ++row) {
        std::printf("%s\n", doc.GetItem(row, CKestrupDoc::kColumnCount - 1));
    }
    return 0;
}
