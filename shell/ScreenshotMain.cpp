#include <QtGui/QPixmap>
#include <QtWidgets/QApplication>
#include <cstdio>

#include "shell/CAboutBox.h"
#include "shell/CKestrupApp.h"
#include "shell/CMainFrame.h"

// Renders the main window as the operator sees it after start-up into the
// PNG file named by the first argument, and the About box into the second,
// when given. Runs on the offscreen platform.
int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <main-window.png> [about-box.png]\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qt(argc, argv);
    CKestrupApp app;
    if (!app.InitInstance({})) {
        std::fprintf(stderr, "start-up failed\n");
        return 1;
    }
    CMainFrame* frame = app.MainFrame();
    QApplication::processEvents();
    const QPixmap picture = frame->grab();
    if (!picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    if (argc > 2) {
        CAboutBox about(frame);
        about.show();
        QApplication::processEvents();
        if (!about.grab().save(QString::fromLocal8Bit(argv[2]), "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", argv[2]);
            return 1;
        }
    }
    return 0;
}
