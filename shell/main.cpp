#include <QtWidgets/QApplication>
#include <cstdio>
#include <cstring>

#include "shell/CKestrupApp.h"

// The one application object.
static CKestrupApp theApp;

// Entry point of the Talvenmark Pro Upgrade Utility.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Talvenmark Pro Upgrade Utility Version 7.0.5\n");
        return 0;
    }
    int exitCode = 0;
    {
        QApplication qt(argc, argv);
        QStringList arguments = QApplication::arguments();
        arguments.removeFirst();
        exitCode = theApp.InitInstance(arguments) ? theApp.Run() : theApp.ExitInstance();
        // The windows go while Qt is still there.
        theApp.ReleaseUi();
    }
    return exitCode;
}
