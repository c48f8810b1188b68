#include "app/Program.h"

#include <QtCore/QMetaObject>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QTreeWidget>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <vector>

#include "app/CommandLine.h"
#include "app/OperatorTools.h"
#include "app/SilenceWatchdog.h"
#include "app/SimulationSession.h"
#include "app/UnattendedReport.h"
#include "app/UpgradeHistory.h"
#include "engine/DeviceDetection.h"
#include "engine/FileTransfer.h"
#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "engine/Protocol.h"
#include "engine/UpgradeWorker.h"
#include "package/PackageGlobals.h"
#include "platform/FileSystem.h"
#include "platform/InstanceLock.h"
#include "platform/PrivateTempDir.h"
#include "platform/usbio/SimulatedDevice.h"
#include "platform/usbio/UsbioDriver.h"
#include "platform/usbio/libusb/InstrumentSurvey.h"
#include "platform/usbio/libusb/LibusbBackend.h"
#include "res/Resource.h"
#include "res/StringTable.h"
#include "shell/CKestrupApp.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"
#include "shell/CUpgradeView.h"
#include "shell/UpgradeWiring.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitAlreadyRunning = 3;
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

// The package names of the list, for an operator who gave an unknown one.
std::string PackageNames(const CKestrupDoc& document) {
    std::string names;
    for (int row = 0; row < document.m_nPackageCount; ++row) {
        const char* cell = document.GetItem(row, 3);
        names += (names.empty() ? "" : ", ") + std::string(cell != nullptr ? cell : "");
    }
    return names.empty() ? "the list is empty" : "the list holds " + names;
}

// Qt's warnings about what the offscreen platform cannot do are no news to
// an operator reading an unattended run's report.
void QuietOffscreenWarnings(QtMsgType type, const QMessageLogContext& context,
                            const QString& message) {
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) {
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// The window's message boxes, also told to the report that follows the
// window's upgrades for the history (a box is how some failures show).
class ToldMessageBoxes : public kestrup::MessageBoxService {
  public:
    ToldMessageBoxes(kestrup::MessageBoxService* shown, UnattendedReport& report)
        : shown_(shown), report_(report) {}
    void Show(const std::string& text) override {
        report_.Show(text);
        if (shown_ != nullptr) {
            shown_->Show(text);
        }
    }

  private:
    kestrup::MessageBoxService* shown_;
    UnattendedReport& report_;
};

// The chosen package as the history records it.
UpgradeHistory::Attempt AttemptFor(const CKestrupDoc& document, int row) {
    UpgradeHistory::Attempt attempt;
    auto cell = [&](int column) {
        const char* text = document.GetItem(row, column);
        return std::string(text != nullptr ? text : "");
    };
    attempt.language = cell(0);
    attempt.version = cell(1);
    attempt.package = cell(3);
    if (!attempt.package.empty()) {
        attempt.sha256 = UpgradeHistory::Sha256OfFile(g_szPackageDir + attempt.package);
    }
    return attempt;
}

// The instrument detection connected to, as the system knows it (detection
// opens the first listed device); nothing is asked of the device itself.
// Leaves pair and serial alone without real devices.
void InstrumentOf(platform::usbio::LibusbBackend* devices, std::string& pair, std::string& serial) {
    if (devices == nullptr) {
        return;
    }
    const auto attached = devices->AttachedDevices();
    if (attached.empty()) {
        return;
    }
    if (auto* device = dynamic_cast<platform::usbio::LibusbDevice*>(attached.front().get())) {
        const auto instrument = platform::usbio::InstrumentSurvey::Describe(device->Raw());
        char text[16];
        std::snprintf(text, sizeof text, "%04x:%04x", instrument.vendor, instrument.product);
        pair = text;
        serial = instrument.serial;
    }
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
    if (!error.isEmpty() || line.help || line.version || line.list || line.listInstruments ||
        line.history > 0 || !line.verify.isEmpty()) {
        return Run(arguments, Settings{});  // answers without a window
    }
    if (!line.upgrade.isEmpty() && qgetenv("QT_QPA_PLATFORM") == "offscreen") {
        qInstallMessageHandler(&QuietOffscreenWarnings);
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

    const std::string historyPath =
        settings.historyPath.empty() ? UpgradeHistory::DefaultPath() : settings.historyPath;
    if (line.history > 0) {
        return OperatorTools::ShowHistory(historyPath, line.history, settings.out);
    }

    if (!line.verify.isEmpty()) {
        // Reads the package and its signature only: also while a window runs.
        return OperatorTools::VerifyPackage(settings.executablePath, line.verify.toStdString(),
                                            settings.out, settings.err);
    }

    if (line.listInstruments) {
        // Looks at the devices only (a trial open, no claim): also while a
        // window has the instrument, which is when an operator asks.
        return OperatorTools::ListInstruments(line.simulate, line.usbIds, settings.out,
                                              settings.err);
    }

    // One copy of the program at a time: a second one would clear and fill
    // the staging directory under a first one's upgrade.
    platform::InstanceLock instance;
    std::string tempDir, tempError;
    bool held = false;
    if (platform::PrivateTempDir::Get(tempDir, tempError) && !instance.Acquire(tempDir, held) &&
        held) {
        const std::string text = res::StringTable::Load(res::IDP_ALREADY_RUNNING);
        std::fprintf(settings.err, "kestrup: %s\n", text.c_str());
        if (line.upgrade.isEmpty() && !line.list && QApplication::instance() != nullptr) {
            QMessageBox::information(
                nullptr, QString::fromStdString(res::StringTable::Load(res::AFX_IDS_APP_TITLE)),
                QString::fromStdString(text));
        }
        return kExitAlreadyRunning;
    }
    if (line.list) {
        // The scan extracts descriptors into the private temporary directory
        // and empties staging, so it runs only while this copy holds the lock.
        return OperatorTools::ListPackages(settings.executablePath, settings.out, settings.err);
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
        UnattendedReport report(
            unattended ? settings.out : nullptr,
            line.json ? UnattendedReport::Format::Json : UnattendedReport::Format::Text);
        UpgradeHistory history(historyPath, settings.err);
        std::string instrumentPair, instrumentSerial;
        if (line.simulate) {
            const platform::usbio::SimulatedDevice::Identity identity;
            char pair[16];
            std::snprintf(pair, sizeof pair, "%04x:%04x", identity.vendorId, identity.productId);
            instrumentPair = pair;
        }
        // The attempt in progress ends: it goes into the history.
        auto endAttempt = [&](const char* closedReason) {
            if (!history.InProgress()) {
                return;
            }
            const bool image = StagingHoldsApplicationImage();
            std::string result = report.ExitStatus(image) == 0 ? "succeeded" : "failed";
            std::string reason = report.FailureReason(image);
            if (closedReason != nullptr && result != "succeeded") {
                result = "closed";
                reason = closedReason;
            }
            std::vector<std::pair<std::string, std::string>> files;
            for (const auto& file : report.Files()) {
                files.emplace_back(file.name, file.result);
            }
            if (const auto signature = report.LastSignature()) {
                history.SetSignature(signature->StateName(), signature->keyId,
                                     signature->trustedComment);
            }
            history.End(result, reason, std::move(files));
        };

        const QStringList shellArguments =
            line.file.isEmpty() ? QStringList() : QStringList{line.file};
        if (!app.InitInstance(shellArguments)) {
            exitStatus = kExitFailure;
        } else {
            CMainFrame* frame = app.MainFrame();
            // What the hand-off's signature check found goes into the report
            // (and from there into the history); the trust settings'
            // problems go where the program's warnings go.
            CKestrupDoc* document = tmpl->Document();
            std::FILE* err = settings.err;
            document->Trust().SetProblemSink([err](const std::string& problem) {
                std::fprintf(err, "kestrup: %s\n", problem.c_str());
                std::fflush(err);
            });
            document->SetCheckObserver(
                [&report](const SignatureCheck& check) { report.Signature(check); });
            // Counts the attempts begun (UI thread; read by the engine's threads).
            std::atomic<unsigned> attemptNumber{0};
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
            // The last guard of an unattended run: one that hears nothing for
            // longer than the protocol's longest wait ends.
            std::optional<SilenceWatchdog> watchdog;
            if (unattended) {
                // Ending the run is deliberate: closing never asks.
                wiring.SetCloseAnswerer([] { return true; });
                watchdog.emplace(kSilenceLimitMs, [&] {
                    report.Fail("nothing heard from the instrument for too long");
                    finishSoon();
                });
            }
            frame->SetNotificationObserver([&](std::uint32_t message, platform::WPARAM wParam,
                                               platform::LPARAM lParam) {
                if (watchdog) {
                    watchdog->Heard();
                }
                // Detection under way starts an attempt; during a run the same
                // code can only be an instrument's answer byte passed on.
                const bool detecting = message == kestrup::WM_UPGRADE_PROGRESS &&
                                       kestrup::ProgressValue(wParam) == kestrup::PROGRESS_STATUS &&
                                       lParam == kestrup::STATUS_DETECTING &&
                                       !kestrup::g_bUpgradeRunPending.load();
                if (detecting) {
                    // A new attempt: the window's earlier one is over.
                    endAttempt(nullptr);
                    ++attemptNumber;
                    if (!unattended) {
                        report.Reset();
                    }
                    const CUpgradeView* view = tmpl->View();
                    history.Begin(AttemptFor(*tmpl->Document(),
                                             view != nullptr ? view->m_nSelectedItem.load() : -1));
                }
                report.OnNotification(message, wParam, lParam, kestrup::g_szCurrentFile);
                if (message == kestrup::WM_SET_MODE_USB) {
                    InstrumentOf(realDevices.get(), instrumentPair, instrumentSerial);
                    history.SetInstrument(instrumentPair, instrumentSerial);
                }
                if (report.DetectionGaveUp()) {
                    endAttempt(nullptr);
                    if (unattended) {
                        QTimer::singleShot(0, frame, finish);
                    }
                }
            });
            // The attempt ended: a run, or a command that could not begin one.
            // Any thread. The end is queued, so by the time it is handled the
            // window may have begun the next attempt, which it must not end.
            const auto attemptEnded = [&] {
                const unsigned number = attemptNumber.load();
                QMetaObject::invokeMethod(
                    frame,
                    [&, number] {
                        if (number == attemptNumber.load()) {
                            endAttempt(nullptr);
                        }
                        if (unattended) {
                            finish();
                        }
                    },
                    Qt::QueuedConnection);
            };
            wiring.SetRunEndedObserver(attemptEnded);
            wiring.SetAttemptFailedObserver([&](const std::string& why) {
                report.Fail(why);
                attemptEnded();
            });
            if (unattended) {
                kestrup::MessageBoxService::Install(&report);
                const int row = FindRow(*tmpl->Document(), line.upgrade);
                if (row < 0) {
                    const std::string reason = "no package named " + line.upgrade.toStdString() +
                                               " in the list; " + PackageNames(*tmpl->Document());
                    if (line.json) {
                        report.Result(kExitUsage, reason);
                    } else {
                        std::fprintf(settings.err, "kestrup: %s\n", reason.c_str());
                    }
                    exitStatus = kExitUsage;
                    QTimer::singleShot(0, frame, finish);
                } else {
                    report.Package(line.upgrade.toStdString());
                    CUpgradeView* view = tmpl->View();
                    view->ListCtrl()->setCurrentItem(view->ListCtrl()->topLevelItem(row));
                    QTimer::singleShot(0, frame,
                                       [frame] { frame->Router().Route(res::ID_UPGRADE_VIA_USB); });
                }
                app.Run();
                // Nothing of the engine reports any more once the result is out.
                wiring.Shutdown();
                if (exitStatus == 0) {
                    const bool image = StagingHoldsApplicationImage();
                    exitStatus = report.ExitStatus(image);
                    report.Result(exitStatus, report.FailureReason(image));
                }
                if (kestrup::MessageBoxService::Current() == &report) {
                    kestrup::MessageBoxService::Install(nullptr);
                }
            } else {
                kestrup::MessageBoxService* shown = kestrup::MessageBoxService::Current();
                ToldMessageBoxes boxes(shown, report);
                kestrup::MessageBoxService::Install(&boxes);
                exitStatus = app.Run();
                wiring.Shutdown();
                if (kestrup::MessageBoxService::Current() == &boxes) {
                    kestrup::MessageBoxService::Install(shown);
                }
            }
            wiring.SetRunEndedObserver(nullptr);
            wiring.SetAttemptFailedObserver(nullptr);
            // Unattended, the program ends by itself: the report holds why.
            endAttempt(unattended ? nullptr : "the program was closed before the upgrade ended");
            frame->SetNotificationObserver(nullptr);
            document->SetCheckObserver(nullptr);
        }
        app.ReleaseUi();  // ends the engine's threads first
    }
    platform::usbio::UsbioDriver::StopCapture();
    if (realDevices) {
        platform::usbio::UsbioDriver::RemoveBackend(realDevices);
    }
    return exitStatus;
}
