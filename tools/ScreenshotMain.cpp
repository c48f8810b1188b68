#include <QtGui/QPixmap>
#include <QtWidgets/QApplication>
#include <cstdio>

#include <QtCore/QTimer>
#include <cstring>

#include "app/SimulationSession.h"
#include "engine/DeviceDetection.h"
#include "engine/FileTransfer.h"
#include "engine/Notifications.h"
#include "package/PackageTrust.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "res/Resource.h"
#include "shell/CAboutBox.h"
#include "shell/CKestrupApp.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"
#include "shell/UpgradeWiring.h"

namespace {

// Runs an upgrade of the first package on the simulated instrument (with the
// program's waits shortened) and grabs the main window while the application
// image is on its way.
bool GrabUpgradeInProgress(CKestrupApp& app, UpgradeWiring& wiring, const char* path) {
    platform::TimeFacility::ScopedScale fast(50);
    CMainFrame* frame = app.MainFrame();
    bool saved = false;
    bool grabbed = false;
    frame->SetNotificationObserver(
        [&](std::uint32_t message, platform::WPARAM wParam, platform::LPARAM) {
            const std::int32_t w = kestrup::ProgressValue(wParam);
            if (!grabbed && message == kestrup::WM_UPGRADE_PROGRESS && w >= 40 && w <= 100 &&
                std::strstr(kestrup::g_szCurrentFile, ".bin") != nullptr) {
                grabbed = true;
                QApplication::processEvents();
                saved = frame->grab().save(QString::fromLocal8Bit(path), "PNG");
            }
        });
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    while (!grabbed || kestrup::UpgradeBusy()) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        platform::WindowMessages::DispatchPending();
        platform::TimeFacility::Sleep(1);
    }
    frame->SetNotificationObserver(nullptr);
    wiring.StopWorker();
    return saved;
}

}  // namespace

// Renders the main window as the operator sees it after start-up into the
// PNG file named by the first argument, the About box into the second, and
// the main window during an upgrade on the simulated instrument into the
// third, when given. Runs on the offscreen platform.
int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <main-window.png> [about-box.png [upgrade.png]]\n",
                     argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The pictures show the build tree's packages, whatever this machine's
    // /etc/kestrup/ says about signatures.
    const PackageTrust::ScopedSystemDir noSystemPolicy("/nonexistent/kestrup/");
    QApplication qt(argc, argv);
    SimulationSession simulation;
    QString error;
    simulation.Start(QStringList(), error);
    CKestrupApp app;
    auto docTemplate = std::make_unique<CKestrupDocTemplate>();
    UpgradeWiring wiring(app, *docTemplate);
    app.SetDocViewSeam(std::move(docTemplate));
    wiring.Install();
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
    if (argc > 3 && !GrabUpgradeInProgress(app, wiring, argv[3])) {
        std::fprintf(stderr, "cannot write %s\n", argv[3]);
        return 1;
    }
    wiring.StopWorker();
    app.ReleaseUi();
    return 0;
}
