#include "tests/campaign/CampaignRun.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>

#include "engine/DeviceDetection.h"
#include "engine/EngineShutdown.h"
#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/CKestrupDoc.h"
#include "package/PackageGlobals.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/PlainDispatcher.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "sim/Scenario.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PackageSandbox.h"
#include "tests/support/SimulatedRig.h"

namespace campaign {
namespace {

// Real time a run may spend on its own work (threads, checksums, copies)
// beside the waits the plan counts, turned into program time by the scale.
constexpr std::uint64_t kRealAllowanceMicros = 2000000;

struct ViewHandOff : kestrup::UpgradeHandOff {
    CKestrupDoc* document = nullptr;
    kestrup::HandOffResult BeginTransfer(int row) override {
        return kestrup::HandOffToWorker(*document, row);
    }
};

// The statuses that say something went wrong: all but "File Transfer OK",
// "Flashing", "Detecting" and "Upgrade completed successfully".
bool IsFailureStatus(std::int64_t status) {
    return status != 8 && status != 13 && status != 14 && status != 88;
}

bool InstrumentHoldsPackage(const CampaignPlan& plan, const sim::InstrumentProtocol& protocol,
                            std::vector<std::string>& whatIsMissing) {
    const auto files = protocol.Files();
    for (const PackageFile& f : plan.files) {
        const sim::InstrumentProtocol::File* held = nullptr;
        for (const auto& candidate : files) {
            if (candidate.name == f.name && candidate.complete) {
                held = &candidate;
            }
        }
        const std::uint32_t announced = AnnouncedBytes(f.contents.size());
        if (held == nullptr) {
            whatIsMissing.push_back(f.name + " not received whole");
        } else if (held->bytes.size() != announced ||
                   !std::equal(
                       f.contents.begin(), f.contents.end(), held->bytes.begin(),
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
            whatIsMissing.push_back(f.name + " received with other bytes");
        } else if ((f.name.find(".bin") != std::string::npos ||
                    f.name.find(".boot") != std::string::npos) &&
                   held->flashAnswer != std::optional<std::uint8_t>(8)) {
            whatIsMissing.push_back(f.name + " not reported flashed");
        }
    }
    return whatIsMissing.empty();
}

}  // namespace

std::string CampaignRun::KeepDir() {
    static const std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestrup-campaign-XXXXXX";
        return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    return dir;
}

std::vector<std::string> CampaignRun::OpenDescriptors() {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            char target[4096];
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) {
                continue;  // closed meanwhile
            }
            const std::string name(target, static_cast<std::size_t>(n));
            struct stat object {};
            if (name == "anon_inode:[eventfd]" || name.rfind("/proc/", 0) == 0 ||
                ::stat(link.c_str(), &object) != 0) {
                continue;
            }
            names.push_back(std::to_string(object.st_dev) + ":" + std::to_string(object.st_ino) +
                            " " + name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// "DEVICE:INODE NAME" ordered by what it refers to alone.
bool ReferredBefore(const std::string& a, const std::string& b) {
    return a.substr(0, a.find(' ')) < b.substr(0, b.find(' '));
}

}  // namespace

bool CampaignRun::SameDescriptors(const std::vector<std::string>& before,
                                  const std::vector<std::string>& after) {
    return before.size() == after.size() &&
           std::equal(before.begin(), before.end(), after.begin(),
                      [](const std::string& a, const std::string& b) {
                          return !ReferredBefore(a, b) && !ReferredBefore(b, a);
                      });
}

void CampaignRun::CheckWhatIsLeft(const std::vector<std::string>& descriptorsBefore,
                                  std::size_t threadsBefore, RunReport& report) {
    const std::vector<std::string> descriptorsAfter = OpenDescriptors();
    if (!SameDescriptors(descriptorsBefore, descriptorsAfter)) {
        report.violations.push_back("open descriptors " + std::to_string(descriptorsBefore.size()) +
                                    " before, " + std::to_string(descriptorsAfter.size()) +
                                    " after (" +
                                    NewDescriptors(descriptorsBefore, descriptorsAfter) + ")");
    }
    // The program's own threads, each counted until it was joined (Qt's
    // painting starts and ends threads of its own, which are not counted).
    if (platform::Thread::Running() != threadsBefore) {
        report.violations.push_back("threads " + std::to_string(threadsBefore) + " before, " +
                                    std::to_string(platform::Thread::Running()) + " after");
    }
}

std::string CampaignRun::NewDescriptors(const std::vector<std::string>& before,
                                        const std::vector<std::string>& after) {
    std::vector<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added), ReferredBefore);
    std::string text;
    for (const std::string& name : added) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

RunReport CampaignRun::OnEngine(const CampaignPlan& plan, std::uint32_t microsPerMs) {
    RunReport report;
    report.limitMs = plan.boundMs + kRealAllowanceMicros / microsPerMs;
    const std::vector<std::string> descriptorsBefore = OpenDescriptors();
    const std::size_t threadsBefore = platform::Thread::Running();
    {
        platform::TimeFacility::ScopedScale scale(microsPerMs);
        testsupport::PackageSandbox sandbox;
        if (!plan.WritePackage(sandbox.PackageDir())) {
            report.violations.push_back("the package could not be written");
            return report;
        }
        CKestrupDoc document;
        document.ScanPackages(sandbox.Executable().c_str());
        sim::Scenario scenario;
        std::string error;
        if (!sim::Scenario::Parse(plan.scenario, scenario, error)) {
            report.violations.push_back("the scenario does not parse: " + error);
            return report;
        }
        testsupport::RecordingMessageBoxes boxes;
        platform::PlainDispatcher dispatcher;
        testsupport::NotificationRecorder frame;
        testsupport::SimulatedRig rig(scenario);
        platform::Event stop(false, false);
        platform::Event done(false, true);
        ViewHandOff view;
        view.document = &document;
        kestrup::EngineThreads threads;
        const kestrup::EngineResources resources{&rig.Channel(), &stop, &done};

        threads.worker = kestrup::StartUpgradeWorker(&frame);
        kestrup::g_pUpgradeThread.store(threads.worker.get());
        // Waits for the run's end (the detection thread's and the worker's
        // ends wake this thread) or for the moment untilMs of program time.
        const auto dispatchUntil = [&](std::uint64_t untilMs, const std::function<bool()>& end) {
            const std::uint64_t now = platform::TimeFacility::NowMs();
            return dispatcher.RunUntil(
                end, static_cast<std::uint32_t>(std::min<std::uint64_t>(
                         untilMs > now ? untilMs - now : 0, platform::kInfinite - 1)));
        };
        const auto ended = [] { return !kestrup::UpgradeBusy(); };
        kestrup::SetRunEndedCallback([&dispatcher] { dispatcher.Wake(); });

        const std::uint64_t from = platform::TimeFacility::NowMs();
        std::atomic<int> detectionEnd{-1};
        kestrup::DetectionContext context{&rig.Channel(),
                                          &stop,
                                          &done,
                                          &frame,
                                          &view,
                                          [&detectionEnd, &dispatcher](kestrup::DetectionEnd end) {
                                              detectionEnd.store(static_cast<int>(end));
                                              dispatcher.Wake();
                                          }};
        threads.detection = kestrup::StartDetection(document, 0, context);
        if (!threads.detection) {
            report.violations.push_back("no detection thread");
        }
        const std::uint64_t cap = from + 3 * report.limitMs;
        bool finished = false;
        if (plan.interruption != Interruption::None) {
            finished = dispatchUntil(from + plan.interruptAtMs, ended);
            if (!finished) {
                report.interrupted = true;
                if (plan.interruption == Interruption::Close) {
                    kestrup::CloseEngine(threads, resources);
                } else {
                    kestrup::StopEngine(threads, resources);
                }
                // Judged by the order the engine recorded, not by when this
                // thread looked: the close and the stop join the worker, and
                // the worker counted each frame it began and each answer it
                // read against the moment the stop came.
                const std::string what = InterruptionName(plan.interruption);
                const std::optional<kestrup::RunSteps> atStop = kestrup::StepsAtStop();
                const std::size_t heard = rig.Protocol().Log().size();
                if (!atStop) {
                    report.violations.push_back("the " + what + " recorded no stop");
                } else {
                    if (heard > atStop->framesBegun) {
                        report.violations.push_back(
                            "the instrument heard " + std::to_string(heard) + " frame(s), " +
                            std::to_string(atStop->framesBegun) + " begun before the " + what);
                    }
                    const std::vector<std::string> texts = boxes.Texts();
                    const std::vector<std::uint64_t> answers = boxes.AnswersReadAtEach();
                    for (std::size_t i = 0; i < texts.size(); ++i) {
                        if (answers[i] > atStop->answersRead) {
                            report.violations.push_back("a message box came after the " + what +
                                                        " on an answer read after it (answer " +
                                                        std::to_string(answers[i]) + ", " +
                                                        std::to_string(atStop->answersRead) +
                                                        " read before the " + what +
                                                        "): " + texts[i]);
                        }
                    }
                }
                finished = true;
            }
        }
        if (!finished && !dispatchUntil(cap, ended)) {
            report.hang = true;
            report.violations.push_back("hang: the run had not ended after " +
                                        std::to_string(platform::TimeFacility::NowMs() - from) +
                                        " ms");
            kestrup::CloseEngine(threads, resources);
        }
        report.elapsedMs = platform::TimeFacility::NowMs() - from;
        kestrup::StopEngine(threads, resources);
        dispatcher.WaitAndDispatch(0);

        // What the frame was told, and what the instrument holds.
        std::vector<std::int64_t> failures;
        bool done88 = false;
        for (const auto& note : frame.Notes()) {
            if (note.message == kestrup::WM_UPGRADE_PROGRESS &&
                note.wParam == kestrup::PROGRESS_STATUS) {
                done88 = done88 || note.lParam == kestrup::STATUS_UPGRADE_DONE;
                if (IsFailureStatus(note.lParam)) {
                    failures.push_back(note.lParam);
                }
            }
        }
        const std::vector<std::string> texts = boxes.Texts();
        report.reportedSuccess = done88 && failures.empty() && texts.empty();
        // One status, one story: success is never shown beside a failure.
        if (done88 && (!failures.empty() || !texts.empty())) {
            report.violations.push_back("\"Upgrade completed successfully\" after a failure");
        }
        // A healthy instrument gives nothing to report, interrupted or not: a
        // box there is the program's own doing (a close's cancel told as a failure).
        if (report.interrupted && plan.expectSuccess && !texts.empty()) {
            report.violations.push_back("a message box in a healthy run: " + texts.front());
        }
        std::vector<std::string> missing;
        const bool whole = InstrumentHoldsPackage(plan, rig.Protocol(), missing);

        std::string missingText;
        for (const std::string& m : missing) {
            missingText += m + "; ";
        }
        if (report.reportedSuccess && !whole) {
            report.violations.push_back("false success: " + missingText);
        }
        if (!report.interrupted) {
            const bool handedOver =
                detectionEnd.load() == static_cast<int>(kestrup::DetectionEnd::HandedOver);
            if (handedOver != (plan.fault != FaultKind::AttachNever)) {
                report.violations.push_back(
                    "detection ended with " + std::to_string(detectionEnd.load()) +
                    " (0 stopped, 1 gave up, 2 handed over, 3 not handed over, 4 damaged)");
            }
            if (report.reportedSuccess != plan.expectSuccess) {
                report.violations.push_back(plan.expectSuccess
                                                ? "success expected, not reported"
                                                : "failure expected, success reported");
            }
            if (plan.expectSuccess && !whole) {
                report.violations.push_back("healthy run but the instrument lacks: " + missingText);
            }
            if (!plan.expectSuccess) {
                if (!plan.expectStatus || failures.empty() ||
                    failures.front() != *plan.expectStatus) {
                    report.violations.push_back(
                        "first failure status " +
                        (failures.empty() ? std::string("none")
                                          : std::to_string(failures.front())) +
                        ", expected " +
                        (plan.expectStatus ? std::to_string(*plan.expectStatus) : "none"));
                }
                const std::string firstBox = texts.empty() ? std::string() : texts.front();
                if (firstBox != plan.expectBox) {
                    report.violations.push_back("first message box \"" + firstBox +
                                                "\", expected \"" + plan.expectBox + "\"");
                }
            }
        }
        if (report.elapsedMs > report.limitMs) {
            report.violations.push_back("took " + std::to_string(report.elapsedMs) + " ms, bound " +
                                        std::to_string(report.limitMs) + " ms");
        }
        kestrup::g_bConnected.store(0);
        g_szStagingDir[0] = g_szPackageDir[0] = g_szPackagePath[0] = '\0';
    }
    CheckWhatIsLeft(descriptorsBefore, threadsBefore, report);
    return report;
}

std::string CampaignRun::Describe(const CampaignPlan& plan, const RunReport& report,
                                  const std::string& keepDir) {
    std::ostringstream text;
    text << "campaign run, seed " << plan.seed << ", fault " << FaultName(plan.fault) << ", "
         << InterruptionName(plan.interruption);
    if (plan.interruption != Interruption::None) {
        text << " at " << plan.interruptAtMs << " ms";
    }
    text << "\n  package " << plan.packageName << ": " << plan.PackageListing() << "\n";
    for (const std::string& v : report.violations) {
        text << "  broken: " << v << "\n";
    }
    const std::string dir = keepDir + "/seed-" + std::to_string(plan.seed) + "/";
    const std::string scenarioPath = dir + "scenario.txt";
    const std::string packagePath = dir + plan.packageName;
    bool kept = !keepDir.empty() && testsupport::PackageSandbox::Write(scenarioPath, plan.scenario);
    if (kept) {
        testsupport::ArchiveWriter zip(packagePath);
        zip.File("package.inf", "[PACKAGE]\nDescription=Talvenmark Pro software\n");
        for (const PackageFile& f : plan.files) {
            zip.File(f.name, f.contents);
        }
        kept = zip.Close();
    }
    text << "  scenario:\n" << plan.scenario;
    if (kept) {
        text << "  replay: copy " << packagePath << " into the build's cfg/ and run\n"
             << "    kestrup --simulate --scenario " << scenarioPath << " --upgrade "
             << plan.packageName << "\n";
    }
    return text.str();
}

}  // namespace campaign
