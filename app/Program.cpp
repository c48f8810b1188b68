#include "app/Program.h"

#include <QtCore/QMetaObject>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QTreeWidget>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <vector>

#include "app/BoundRun.h"
#include "app/CommandLine.h"
#include "app/OperatorTools.h"
#include "app/OutsideText.h"
#include "app/RunLock.h"
#include "app/SignalWatch.h"
#include "app/SilenceWatchdog.h"
#include "app/SimulationSession.h"
#include "app/StationConfig.h"
#include "app/StationProgress.h"
#include "app/StationStatus.h"
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
#include "platform/PrivateTempDir.h"
#include "platform/TextEscape.h"
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
// A station's run on an instrument whose serial number the station does not
// accept: nothing was sent.
constexpr int kExitNotAccepted = 4;
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

// A line on the error output: outside text in it (paths, names, what a
// library said) is escaped like every text output.
void Say(std::FILE* err, const std::string& text) {
    std::fprintf(err, "kestrup: %s\n", platform::TextEscape::ForTerminal(text).c_str());
    std::fflush(err);
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

// Qt's warnings about what the offscreen platform cannot do are no news to
// an operator reading an unattended run's report.
void QuietOffscreenWarnings(QtMsgType type, const QMessageLogContext& context,
                            const QString& message) {
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) {
        return;
    }
    std::fprintf(
        stderr, "%s\n",
        platform::TextEscape::ForTerminal(qFormatLogMessage(type, context, message).toStdString())
            .c_str());
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
    return attempt;
}

// The instrument detection connected to, as the system knows it (detection
// opens the first device the driver lists); nothing is asked of the device
// itself. The pair is left alone for a simulated device.
void InstrumentOf(std::string& pair, std::string& serial, std::string& port) {
    const auto attached = platform::usbio::UsbioDriver::AttachedDevices();
    if (attached.empty()) {
        return;
    }
    serial = attached.front()->Serial();
    port = attached.front()->PortPath();
    if (auto* device = dynamic_cast<platform::usbio::LibusbDevice*>(attached.front().get())) {
        const auto instrument = platform::usbio::InstrumentSurvey::Describe(device->Raw());
        char text[16];
        std::snprintf(text, sizeof text, "%04x:%04x", instrument.vendor, instrument.product);
        pair = text;
        serial = instrument.serial;
    }
}

// Ends the program before it begins: said on the error output and, for the
// window, in a box.
int FailClosed(const std::string& text, bool window, std::FILE* err) {
    Say(err, text);
    if (window && QApplication::instance() != nullptr) {
        QMessageBox::critical(
            nullptr, QString::fromStdString(res::StringTable::Load(res::AFX_IDS_APP_TITLE)),
            QString::fromStdString(platform::TextEscape::WithoutControls(text)));
    }
    return kExitFailure;
}

// How this run is named to another that finds the lock taken.
std::string RunName(const CommandLine& line, const BoundRun* bound) {
    const std::string package = CommandLine::Bytes(line.upgrade);
    if (line.list) {
        return "a package listing";
    }
    if (line.Unattended()) {
        return bound != nullptr
                   ? "an upgrade of " + package + " bound to instrument " + bound->Id().Text()
                   : "an unattended upgrade of " + package;
    }
    return bound != nullptr ? "the window, bound to instrument " + bound->Id().Text()
                            : "the window";
}

// The history --station-status reads: on a station (its configuration is
// there) the station's own, else the user's.
std::string StationHistoryPath(const Program::Settings& settings, const std::string& configPath) {
    if (!settings.historyPath.empty()) {
        return settings.historyPath;
    }
    return platform::FileSystem::Exists(configPath) ? StationConfig::kStationHistory
                                                    : UpgradeHistory::DefaultPath();
}

}  // namespace

int Program::Main(int argc, char** argv) {
    // A reader that goes away (| head) never ends the program: a report
    // that cannot be written does not stop an upgrade.
    std::signal(SIGPIPE, SIG_IGN);
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << CommandLine::FromBytes(argv[i]);  // byte for byte
    }
    CommandLine line;
    QString error;
    if (line.Parse(arguments, error) && line.Unattended() && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        // An unattended run needs no screen.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    if (!error.isEmpty() || line.help || line.version || line.list || line.listInstruments ||
        line.history > 0 || line.stationStatus || !line.verify.isEmpty()) {
        return Run(arguments, Settings{});  // answers without a window
    }
    if (line.Unattended() && qgetenv("QT_QPA_PLATFORM") == "offscreen") {
        qInstallMessageHandler(&QuietOffscreenWarnings);
    }
    QApplication qt(argc, argv);
    return Run(arguments, Settings{});
}

int Program::Run(const QStringList& arguments, const Settings& settings) {
    std::signal(SIGPIPE, SIG_IGN);
    CommandLine line;
    QString error;
    if (!line.Parse(arguments, error)) {
        Say(settings.err, CommandLine::Bytes(error));
        std::fprintf(settings.err, "Try 'kestrup --help'.\n");
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

    const UpgradeHistory::Location historyLocation =
        settings.historyPath.empty() ? UpgradeHistory::DefaultLocation()
                                     : UpgradeHistory::Location::Of(settings.historyPath);
    if (line.history > 0) {
        return OperatorTools::ShowHistory(historyLocation, line.history, settings.out);
    }
    const std::string stationConfigPath = settings.stationConfigPath.empty()
                                              ? std::string(StationConfig::kDefaultPath)
                                              : settings.stationConfigPath;
    if (line.stationStatus) {
        return StationStatus::Show(StationHistoryPath(settings, stationConfigPath), line.json,
                                   settings.out);
    }

    if (!line.verify.isEmpty()) {
        // Reads the package and its signature only: also while a window runs.
        return OperatorTools::VerifyPackage(
            settings.executablePath, CommandLine::Bytes(line.verify), settings.out, settings.err);
    }

    if (line.listInstruments) {
        // Looks at the devices only (a trial open, no claim): also while a
        // window has the instrument, which is when an operator asks.
        return OperatorTools::ListInstruments(line.simulate, line.usbIds, settings.out,
                                              settings.err, line.scenarios);
    }

    // A station's run: the station's configuration names the package.
    std::string serialPattern;
    if (!line.station.isEmpty()) {
        StationConfig config;
        std::string why;
        if (!StationConfig::Load(stationConfigPath, config, why)) {
            std::fprintf(settings.err, "kestrup: %s\n", OutsideText::Visible(why).c_str());
            return kExitUsage;
        }
        line.upgrade = CommandLine::FromBytes(config.package.c_str());
        line.instrument = line.station;
        serialPattern = config.serialPattern;
    }
    std::optional<BoundRun> bound;
    if (!line.instrument.isEmpty()) {
        platform::usbio::InstrumentId id;
        std::string why;
        platform::usbio::InstrumentId::Parse(CommandLine::Bytes(line.instrument), id, why);
        bound.emplace(std::move(id), serialPattern);
    }
    // An unattended run bound to one instrument works beside runs bound to
    // others, in a directory of its own.
    const bool ownDirectory = bound && line.Unattended();

    // One copy of the program at a time (but for runs bound to different
    // instruments): a second one would clear and fill the staging directory
    // under a first one's upgrade. Without a private temporary directory, or
    // without its lock, nothing goes on: the program fails closed and says
    // why.
    const bool window = !line.Unattended() && !line.list;
    RunLock lock;
    std::string tempDir, problem;
    if (!platform::PrivateTempDir::GetBase(tempDir, problem)) {
        return FailClosed(problem, window, settings.err);
    }
    const RunLock::Result locked =
        lock.Take(tempDir, ownDirectory ? tempDir + bound->DirectoryName() + "/" : std::string(),
                  RunName(line, bound ? &*bound : nullptr));
    if (locked == RunLock::Result::Unavailable) {
        return FailClosed("cannot take the lock of the temporary directory: " + lock.Problem(),
                          window, settings.err);
    }
    if (locked == RunLock::Result::Held) {
        const std::string text = res::StringTable::Load(res::IDP_ALREADY_RUNNING);
        std::fprintf(settings.err, "kestrup: %s\nkestrup: running now: %s\n", text.c_str(),
                     lock.Holders().c_str());
        if (window && QApplication::instance() != nullptr) {
            QMessageBox box(QMessageBox::Information,
                            QString::fromStdString(res::StringTable::Load(res::AFX_IDS_APP_TITLE)),
                            QString::fromStdString(text), QMessageBox::Ok);
            box.setInformativeText("Running now: " + QString::fromStdString(lock.Holders()));
            box.exec();
        }
        return kExitAlreadyRunning;
    }
    if (ownDirectory) {
        bound->UseOwnDirectory();
    }
    if (line.list) {
        // The scan extracts descriptors into the private temporary directory
        // and empties staging, so it runs only while this copy holds the lock.
        return OperatorTools::ListPackages(settings.executablePath, settings.out, settings.err);
    }

    SimulationSession simulation;
    if (line.simulate && !simulation.Start(line.scenarios, error)) {
        Say(settings.err, CommandLine::Bytes(error));
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
            Say(settings.err, warning);
        }
        if (!realDevices) {
            // The program still runs; detection then finds no instrument.
            Say(settings.err, "no access to USB devices: " + message);
        }
    }
    if (bound) {
        // A station leaves alone an instrument whose serial number it does
        // not accept; to every other run the instrument's ID is enough.
        if (const std::string refusal = bound->Refusal(); !refusal.empty()) {
            std::fprintf(settings.err, "kestrup: %s\n", OutsideText::Visible(refusal).c_str());
            if (realDevices) {
                platform::usbio::UsbioDriver::RemoveBackend(realDevices);
            }
            return kExitNotAccepted;
        }
        bound->BindDriver();
    }
    if (!line.capture.isEmpty() &&
        !platform::usbio::UsbioDriver::StartCapture(CommandLine::Bytes(line.capture))) {
        Say(settings.err, "cannot write the capture " + CommandLine::Bytes(line.capture));
        return kExitUsage;
    }

    const bool unattended = line.Unattended();
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
        UpgradeHistory history(historyLocation, settings.err);
        // A bound run's progress, for --station-status.
        std::optional<StationProgress> progress;
        if (ownDirectory) {
            progress.emplace(StationProgress::DirectoryFor(historyLocation.Path()),
                             bound->Id().Text(), bound->Id().FileName(),
                             CommandLine::Bytes(line.upgrade));
        }
        std::string instrumentPair, instrumentSerial, instrumentPort;
        // The frame may deliver the connection while it still handles the
        // status that begins the attempt (its handler pumps messages), so
        // the connection can be seen before the attempt has begun.
        bool connectedBeforeBegin = false;
        if (line.simulate) {
            const platform::usbio::SimulatedDevice::Identity identity;
            char pair[16];
            std::snprintf(pair, sizeof pair, "%04x:%04x", identity.vendorId, identity.productId);
            instrumentPair = pair;
        }
        // The attempt in progress ends: it goes into the history. A close
        // gives the reason of an attempt that had not succeeded; a signal
        // closes it whatever it had reached.
        auto endAttempt = [&](const std::string& closedReason, bool always = false) {
            if (!history.InProgress()) {
                return;
            }
            const bool image = StagingHoldsApplicationImage();
            std::string result = report.ExitStatus(image) == 0 ? "succeeded" : "failed";
            std::string reason = report.FailureReason(image);
            if (!closedReason.empty() && (always || result != "succeeded")) {
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
            if (progress) {
                progress->End();
            }
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
            document->Trust().SetProblemSink([err](const std::string& text) { Say(err, text); });
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
            // SIGTERM, SIGINT and SIGHUP close the program in order, as a
            // close answered "Yes" does: the run ends at its next step, the
            // attempt is recorded as closed by the signal, and the exit
            // status is 128 + the signal's number. The close runs from the
            // outermost event loop, once any box open in its own loop has
            // been dismissed.
            std::function<void()> closeFromOutermostLoop = [&] {
                if (QThread::currentThread()->loopLevel() > 1) {
                    for (QWidget* widget : QApplication::topLevelWidgets()) {
                        if (widget->isVisible() && widget->isModal()) {
                            if (auto* dialog = qobject_cast<QDialog*>(widget)) {
                                dialog->reject();
                            } else {
                                widget->close();
                            }
                        }
                    }
                    QTimer::singleShot(1, frame, closeFromOutermostLoop);
                    return;
                }
                finish();
            };
            bool signalClosing = false;
            SignalWatch signalWatch([&](int) {
                signalClosing = true;
                wiring.SetCloseAnswerer([] { return true; });
                kestrup::RequestRunStop();
                closeFromOutermostLoop();
            });
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
                    endAttempt({});
                    ++attemptNumber;
                    if (!unattended) {
                        report.Reset();
                    }
                    const CUpgradeView* view = tmpl->View();
                    UpgradeHistory::Attempt attempt = AttemptFor(
                        *tmpl->Document(), view != nullptr ? view->m_nSelectedItem.load() : -1);
                    attempt.bound = bound ? bound->Id().Text() : std::string();
                    // Its begun line goes out now; the package's hash is
                    // computed on a thread of its own for the end line.
                    const std::string packagePath =
                        attempt.package.empty() ? std::string() : g_szPackageDir + attempt.package;
                    history.Begin(std::move(attempt), packagePath);
                    if (progress) {
                        progress->Begin();
                    }
                    if (connectedBeforeBegin) {
                        history.SetInstrument(instrumentPair, instrumentSerial, instrumentPort);
                        connectedBeforeBegin = false;
                    }
                }
                report.OnNotification(message, wParam, lParam, kestrup::g_szCurrentFile);
                if (progress) {
                    progress->OnNotification(message, wParam, lParam, kestrup::g_szCurrentFile);
                }
                if (message == kestrup::WM_SET_MODE_USB) {
                    InstrumentOf(instrumentPair, instrumentSerial, instrumentPort);
                    connectedBeforeBegin = !history.InProgress();
                    history.SetInstrument(instrumentPair, instrumentSerial, instrumentPort);
                    if (progress) {
                        progress->Connected(instrumentSerial, instrumentPort);
                    }
                }
                if (report.DetectionGaveUp()) {
                    endAttempt({});
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
                        // A signal's close records the attempt itself.
                        if (number == attemptNumber.load() && !signalClosing) {
                            endAttempt({});
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
            std::string signalReason;
            const auto signalled = [&] {
                if (signalWatch.Received() == 0) {
                    return false;
                }
                signalReason = std::string("ended by ") + SignalName(signalWatch.Received());
                exitStatus = 128 + signalWatch.Received();
                return true;
            };
            if (unattended) {
                kestrup::MessageBoxService::Install(&report);
                std::string refusal;
                const int row = OperatorTools::ChoosePackage(
                    *tmpl->Document(), CommandLine::Bytes(line.upgrade), refusal);
                const bool refused = row < 0;
                if (refused) {
                    // The names in the refusal are escaped already.
                    if (line.json) {
                        report.Result(kExitUsage, refusal);
                    } else {
                        std::fprintf(settings.err, "kestrup: %s\n", refusal.c_str());
                    }
                    exitStatus = kExitUsage;
                    QTimer::singleShot(0, frame, finish);
                } else {
                    report.Package(CommandLine::Bytes(line.upgrade));
                    CUpgradeView* view = tmpl->View();
                    view->ListCtrl()->setCurrentItem(view->ListCtrl()->topLevelItem(row));
                    QTimer::singleShot(0, frame,
                                       [frame] { frame->Router().Route(res::ID_UPGRADE_VIA_USB); });
                }
                app.Run();
                // Nothing of the engine reports any more once the result is out.
                wiring.Shutdown();
                if (!refused) {
                    const bool image = StagingHoldsApplicationImage();
                    std::string reason;
                    if (signalled()) {
                        reason = signalReason;
                    } else {
                        exitStatus = report.ExitStatus(image);
                        reason = report.FailureReason(image);
                    }
                    // The history first: the report's verdict is its last line.
                    endAttempt(signalReason, !signalReason.empty());
                    report.Result(exitStatus, reason);
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
                signalled();
                endAttempt(signalReason.empty()
                               ? std::string("the program was closed before the upgrade ended")
                               : signalReason,
                           !signalReason.empty());
            }
            wiring.SetRunEndedObserver(nullptr);
            wiring.SetAttemptFailedObserver(nullptr);
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
