// The whole program in a process of its own, with program time scaled, for
// tests that start several copies at once:
//   station_child MICROS_PER_MS EXECUTABLE_PATH [kestrup arguments...]
// The history and the temporary directory come from the environment.
#include <QtCore/QStringList>
#include <QtWidgets/QApplication>
#include <string>

#include "app/Program.h"
#include "platform/TimeFacility.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    platform::TimeFacility::ScopedScale scale(static_cast<std::uint32_t>(std::stoul(argv[1])));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication qt(qtArgc, argv);
    QStringList arguments{"kestrup"};
    for (int i = 3; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    Program::Settings settings;
    settings.executablePath = argv[2];
    return Program::Run(arguments, settings);
}
