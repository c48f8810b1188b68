#include "shell/Program.h"

#include <QtCore/QMetaObject>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QTreeWidget>
#include <cstdlib>
#include <vector>

#include "engine/DeviceDetection.h"
#include "engine/FileTransfer.h"
#include "engine/MessageBoxService.h"
#include "engine/Protocol.h"
#include "package/PackageGlobals.h"
#include "platform/FileSystem.h"
#include "platform/usbio/UsbioDriver.h"
#include "platform/usbio/libusb/LibusbBackend.h"
#include "res/Resource.h"
#include "shell/CKestrupApp.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"
#include "shell/CUpgradeView.h"
#include "shell/CommandLine.h"
#include "shell/SilenceWatchdog.h"
#include "shell/SimulationSession.h"
#include "shell/UnattendedReport.h"
#include "shell/UpgradeWiring.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Longer than any wait of the protocol (the flash wait) by one detection wait.
constexpr std::uint32_t kSilenceLimitMs = kestrup::kFlashReadTimeoutMs + kestrup::kDetectionWaitMs;

// Whether the staged package holds an application image (an entry whose
// extension is exactly "bin", as the worker decides).
bool StagingHoldsApplicationImage() {
    std::vector<platform::FileSystem::Entry> entries;
    if (g_szStagingDir[0] == '\0' || !platform::FileSystem::List(g_szStagingDir, entries)) {
        return false;
    }
    for (const auto& e : entries) {
        const auto dot = e.name.rfind('.');
        if (e.name[0] != '.' && dot != std::string::npos && e.name.substr(dot + 1) == "bin") {
            return true;
        }
    }
    return false;
}

int FindRow(const CKestrupDoc& document, const QString& name) {
    for (int row = 0; row < document.m_nPackageCount; ++row) {
        const char* cell = document.GetItem(row, 3);
        if (cell != nullptr && name == QString::fromUtf8(cell)) {
            return row;
        }
    }
    return -1;
}

}  // namespace

int Program::Main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    CommandLine line;
    QString error;
    if (line.Parse(arguments, error) && !line.upgrade.isEmpty() &&
        std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
        std::getenv("QT_QPA_PLATFORM") == nullptr) {
        // An unattended run needs no screen.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    if (!error.isEmpty() || line.help || line.version) {
        return Run(arguments, Settings{});  // answers without a window
    }
    QApplication qt(argc, argv);
    return Run(arguments, Settings{});
}

int Program::Run(const QStringList& arguments, const Settings& settings) {
    CommandLine line;
    QString error;
    if (!line.Parse(arguments, error)) {
        std::fprintf(settings.err, "kestrup: %s\nTry 'kestrup --help'.\n", qPrintable(error));
        return kExitUsage;
    }
    if (line.help) {
        std::fprintf(settings.out, "%s", qPrintable(CommandLine::HelpText()));
        return 0;
    }
    if (line.version) {
        std::fprintf(settings.out, "%s", qPrintable(CommandLine::VersionText()));
        return 0;
    }

    SimulationSession simulation;
    if (line.simulate && !simulation.Start(line.scenario, error)) {
        std::fprintf(settings.err, "kestrup: %s\n", qPrintable(error));
        return kExitUsage;
    }
    std::shared_ptr<platform::usbio::LibusbBackend> realDevices;
    if (!line.simulate) {
        std::vector<std::string> ids, warnings;
        for (const QString& id : line.usbIds) {
            ids.push_back(id.toStdString());
        }
        std::string message;
        realDevices = platform::usbio::LibusbBackend::Install(ids, message, &warnings);
        for (const std::string& warning : warnings) {
            std::fprintf(settings.err, "kestrup: %s\n", warning.c_str());
        }
        if (!realDevices) {
            // The program still runs; detection then finds no instrument.
            std::fprintf(settings.err, "kestrup: no access to USB devices: %s\n", message.c_str());
        }
    }
    if (!line.capture.isEmpty() &&
        !platform::usbio::UsbioDriver::StartCapture(line.capture.toStdString())) {
        std::fprintf(settings.err, "kestrup: cannot write the capture %s\n",
                     qPrintable(line.capture));
        return kExitUsage;
    }

    const bool unattended = !line.upgrade.isEmpty();
    int exitStatus = 0;
    {
        CKestrupApp app;
        auto docTemplate = std::make_unique<CKestrupDocTemplate>(settings.executablePath);
        CKestrupDocTemplate* tmpl = docTemplate.get();
        app.SetDocViewSeam(std::move(docTemplate));
        UpgradeWiring wiring(app, *tmpl);
        wiring.Install();
        UnattendedReport report(settings.out);

        const QStringList shellArguments =
            line.file.isEmpty() ? QStringList() : QStringList{line.file};
        if (!app.InitInstance(shellArguments)) {
            exitStatus = kExitFailure;
        } else if (unattended) {
            CMainFrame* frame = app.MainFrame();
            kestrup::MessageBoxService::Install(&report);
            bool finished = false;
            auto finish = [&] {
                if (!finished) {
                    finished = true;
                    frame->close();
                }
            };
            const auto finishSoon = [&] {
                QMetaObject::invokeMethod(frame, finish, Qt::QueuedConnection);
            };
            // Ending the run is deliberate: closing never asks.
            wiring.SetCloseAnswerer([] { return true; });
            // The last guard: a run that hears nothing for longer than the
            // protocol's longest wait ends.
            SilenceWatchdog watchdog(kSilenceLimitMs, [&] {
                report.Fail("nothing heard from the instrument for too long");
                finishSoon();
            });
            frame->SetNotificationObserver(
                [&](std::uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam) {
                    watchdog.Heard();
                    report.OnNotification(message, wParam, lParam, kestrup::g_szCurrentFile);
                });
            wiring.SetRunEndedObserver(finishSoon);
            wiring.SetAttemptFailedObserver([&](const std::string& why) {
                report.Fail(why);
                finishSoon();
            });
            const int row = FindRow(*tmpl->Document(), line.upgrade);
            if (row < 0) {
                std::fprintf(settings.err, "kestrup: no package named %s in the list\n",
                             qPrintable(line.upgrade));
                exitStatus = kExitUsage;
                QTimer::singleShot(0, frame, finish);
            } else {
                report.Print("Package: " + line.upgrade.toStdString());
                CUpgradeView* view = tmpl->View();
                view->ListCtrl()->setCurrentItem(view->ListCtrl()->topLevelItem(row));
                QTimer::singleShot(0, frame,
                                   [frame] { frame->Router().Route(res::ID_UPGRADE_VIA_USB); });
            }
            app.Run();
            wiring.Shutdown();
            wiring.SetRunEndedObserver(nullptr);
            wiring.SetAttemptFailedObserver(nullptr);
            if (exitStatus == 0) {
                const bool application = StagingHoldsApplicationImage();
                exitStatus = report.ExitStatus(application);
                report.Print(exitStatus == 0
                                 ? "Result: upgrade succeeded"
                                 : "Result: upgrade failed: " + report.Why(application));
            }
            if (kestrup::MessageBoxService::Current() == &report) {
                kestrup::MessageBoxService::Install(nullptr);
            }
        } else {
            exitStatus = app.Run();
        }
        app.ReleaseUi();  // ends the engine's threads first
    }
    platform::usbio::UsbioDriver::StopCapture();
    if (realDevices) {
        platform::usbio::UsbioDriver::RemoveBackend(realDevices);
    }
    return exitStatus;
}
