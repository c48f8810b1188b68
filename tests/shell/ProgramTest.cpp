// The program as a whole, in process and with the time facility scaled: the
// unattended mode's exit statuses, the whole road of an upgrade from the
// command to "Upgrade completed successfully", and the rules that keep
// upgrades from overlapping and closing from cutting one short.
#include "shell/Program.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtWidgets/QTreeWidget>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "engine/DeviceDetection.h"
#include "engine/EngineShutdown.h"
#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/PackageGlobals.h"
#include "platform/FileSystem.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "res/Resource.h"
#include "shell/CKestrupApp.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"
#include "shell/CUpgradeView.h"
#include "shell/SimulationSession.h"
#include "shell/UpgradeWiring.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PackageSandbox.h"

namespace {

class ProgramTest : public ::testing::Test {
  protected:
    // microsPerMs: how long a program millisecond lasts (TimeFacility).
    explicit ProgramTest(std::uint32_t microsPerMs = 1) : fast_(microsPerMs) {
        kestrup::g_bConnected.store(0);
        g_szPackageDir[0] = g_szStagingDir[0] = g_szPackagePath[0] = '\0';
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + "TPro_English.pcg");
        zip.File("package.inf",
                 "[PACKAGE]\r\nDescription=Talvenmark Pro software\r\nlanguage=English\r\n");
        zip.File("a.dat", std::string(20000, 'a'))
            .File("b.boot", std::string(9000, 'b'))
            .File("c.bin", std::string(30000, 'c'));
        EXPECT_TRUE(zip.Close());
    }
    ~ProgramTest() override {
        kestrup::g_bConnected.store(0);
        if (out_ != nullptr) {
            std::fclose(out_);
        }
    }

    // Runs the program; returns its exit status and keeps what it printed.
    int Run(const QStringList& arguments) {
        if (out_ != nullptr) {
            std::fclose(out_);
        }
        out_ = std::tmpfile();
        Program::Settings settings;
        settings.executablePath = sandbox.Executable();
        settings.out = out_;
        settings.err = out_;
        settings.stopWorkerAtEnd = true;
        return Program::Run(QStringList{"kestrup"} + arguments, settings);
    }
    std::string Output() const {
        std::rewind(out_);
        std::string text;
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, out_)) {
            text.append(buffer, n);
        }
        return text;
    }
    QString Scenario(const std::string& text) {
        const std::string path = sandbox.Root() + "scenario.txt";
        EXPECT_TRUE(platform::FileSystem::WriteAll(path, text));
        return QString::fromStdString(path);
    }

    platform::TimeFacility::ScopedScale fast_;
    testsupport::PackageSandbox sandbox;
    std::FILE* out_ = nullptr;
};

TEST_F(ProgramTest, UnattendedUpgradeGoesTheWholeRoadAndSucceeds) {
    ASSERT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 0) << Output();
    const std::string out = Output();
    const char* road[] = {"Package: TPro_English.pcg",
                          "Status: Detecting USB device. Please wait...",
                          "Status: USB device connected",
                          "Sending a.dat",
                          "Status: a.dat: File Transfer OK",
                          "Sending b.boot",
                          "Status: b.boot: Flashing File. Please wait...",
                          "Sending c.bin",
                          "Status: c.bin: Flashing File. Please wait...",
                          "Status: Upgrade completed successfully",
                          "Result: upgrade succeeded"};
    std::size_t at = 0;
    for (const char* step : road) {
        const std::size_t found = out.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << "\n" << out;
        at = found;
    }
}

TEST_F(ProgramTest, UnattendedFailuresExitWithOneAndSayWhy) {
    EXPECT_EQ(Run({"--scenario", Scenario("answer c.bin 2 10\n"), "--upgrade", "TPro_English.pcg"}),
              1);
    EXPECT_NE(Output().find("Message: CRC fail"), std::string::npos) << Output();
    EXPECT_NE(Output().find("Result: upgrade failed: c.bin failed\n"), std::string::npos)
        << Output();

    // No instrument ever appears: detection gives up after its twelve passes.
    EXPECT_EQ(
        Run({"--scenario", Scenario("attach-delay 100000000\n"), "--upgrade", "TPro_English.pcg"}),
        1);
    EXPECT_NE(Output().find("Failed to detect the device"), std::string::npos) << Output();
    EXPECT_NE(Output().find("Result: upgrade failed: instrument not found\n"), std::string::npos)
        << Output();

    // The instrument never answers the opening request.
    EXPECT_EQ(
        Run({"--scenario", Scenario("start-answer silent\n"), "--upgrade", "TPro_English.pcg"}), 1);
    EXPECT_NE(Output().find("Result: upgrade failed: no file sent\n"), std::string::npos)
        << Output();

    // No thread can be started: the worker is missing, and the run still ends.
    {
        platform::Thread::ScopedStartFailure failure;
        EXPECT_EQ(Run({"--simulate", "--upgrade", "TPro_English.pcg"}), 1);
    }
    EXPECT_NE(Output().find("Result: upgrade failed: the upgrade worker could not be started\n"),
              std::string::npos)
        << Output();
}

TEST_F(ProgramTest, UnknownPackageOrWrongArgumentsExitWithTwo) {
    EXPECT_EQ(Run({"--simulate", "--upgrade", "Other.pcg"}), 2);
    EXPECT_NE(Output().find("no package named Other.pcg"), std::string::npos);
    EXPECT_EQ(Run({"--no-such-option"}), 2);
    EXPECT_EQ(Run({"--scenario", "/nonexistent/scenario", "--upgrade", "TPro_English.pcg"}), 2);
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_NE(Output().find("Version 7.0.5"), std::string::npos);
}

// The application with the upgrade engine joined to it, on the simulated
// instrument.
class WiringTest : public ProgramTest {
  protected:
    explicit WiringTest(std::uint32_t microsPerMs = 1) : ProgramTest(microsPerMs) {}

    void Start(const std::string& scenario, bool workerStarts = true) {
        QString error;
        ASSERT_TRUE(simulation.Start(Scenario(scenario), error));
        auto docTemplate = std::make_unique<CKestrupDocTemplate>(sandbox.Executable());
        tmpl = docTemplate.get();
        app.SetDocViewSeam(std::move(docTemplate));
        wiring = std::make_unique<UpgradeWiring>(app, *tmpl);
        wiring->Install();
        wiring->SetCloseAnswerer([this] {
            ++questions;
            return answer;
        });
        wiring->SetAttemptFailedObserver([this](const std::string& why) {
            std::lock_guard lock(failuresMutex);
            failures.push_back(why);
        });
        {
            std::optional<platform::Thread::ScopedStartFailure> failure;
            if (!workerStarts) {
                failure.emplace();
            }
            ASSERT_TRUE(app.InitInstance({}));
        }
        kestrup::MessageBoxService::Install(&boxes);
        frame = app.MainFrame();
        frame->SetNotificationObserver(
            [this](std::uint32_t message, platform::WPARAM w, platform::LPARAM l) {
                if (message == kestrup::WM_UPGRADE_PROGRESS) {
                    progress.emplace_back(kestrup::ProgressValue(w), static_cast<std::int64_t>(l));
                }
                if (onNotification) {
                    onNotification(message);
                }
            });
    }
    void TearDown() override {
        if (wiring) {
            while (kestrup::UpgradeBusy()) {
                Pump(1);
            }
            wiring->StopWorker();
        }
        app.ReleaseUi();
        wiring.reset();
    }
    // Lets the UI thread handle what arrived, for a while of program time.
    static void Pump(std::uint32_t ms) {
        QCoreApplication::processEvents();
        platform::WindowMessages::DispatchPending();
        platform::TimeFacility::Sleep(ms);
    }
    // Pumps until done() holds; false when it did not within limitMs.
    static bool PumpUntil(const std::function<bool()>& done, std::uint64_t limitMs = 600000) {
        const std::uint64_t from = platform::TimeFacility::NowMs();
        while (!done()) {
            if (platform::TimeFacility::NowMs() - from > limitMs) {
                return false;
            }
            Pump(1);
        }
        return true;
    }
    std::vector<std::string> Failures() {
        std::lock_guard lock(failuresMutex);
        return failures;
    }
    // Closes the window; returns how long the close took in program time.
    std::uint64_t Close() {
        const std::uint64_t from = platform::TimeFacility::NowMs();
        frame->close();
        return platform::TimeFacility::NowMs() - from;
    }
    // Everything of the engine has ended.
    static void ExpectEngineEnded() {
        EXPECT_FALSE(kestrup::DetectionActive());
        EXPECT_FALSE(kestrup::HandOffActive());
        EXPECT_FALSE(kestrup::g_bUpgradeRunPending.load());
        EXPECT_EQ(kestrup::g_pUpgradeThread.load(), nullptr);
    }
    bool Seen(std::int32_t w, std::int64_t l) const {
        return std::find(progress.begin(), progress.end(), std::make_pair(w, l)) != progress.end();
    }
    int Count(std::int32_t w, std::int64_t l) const {
        return static_cast<int>(std::count(progress.begin(), progress.end(), std::make_pair(w, l)));
    }
    bool UpgradeEnabled() const { return frame->Router().Query(res::ID_UPGRADE_VIA_USB).enabled; }
    bool NewEnabled() const { return frame->Router().Query(res::ID_FILE_NEW).enabled; }

    SimulationSession simulation;
    CKestrupApp app;
    CKestrupDocTemplate* tmpl = nullptr;
    CMainFrame* frame = nullptr;
    std::unique_ptr<UpgradeWiring> wiring;
    std::vector<std::pair<std::int32_t, std::int64_t>> progress;
    int questions = 0;
    bool answer = false;
    testsupport::RecordingMessageBoxes boxes;
    std::function<void(std::uint32_t message)> onNotification;
    std::mutex failuresMutex;
    std::vector<std::string> failures;
};

TEST_F(WiringTest, WithoutAWorkerTheOperatorIsToldAndTheCommandDoesNothing) {
    Start("", false);
    Pump(0);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{UpgradeWiring::WorkerFailureText()});
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    Pump(0);
    EXPECT_FALSE(kestrup::DetectionActive());
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(Failures(), std::vector<std::string>{"the upgrade worker could not be started"});
}

TEST_F(WiringTest, AnUpgradeThatCannotBeginTellsTheOperatorAndEndsTheAttempt) {
    Start("");
    {
        platform::Thread::ScopedStartFailure failure;
        frame->Router().Route(res::ID_UPGRADE_VIA_USB);
        Pump(0);
    }
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Test Usb Thread not started!\r\n"});
    EXPECT_EQ(Failures(), std::vector<std::string>{"device detection could not be started"});

    // The hand-off finds no worker to post to.
    platform::Thread* worker = kestrup::g_pUpgradeThread.exchange(nullptr);
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    EXPECT_TRUE(PumpUntil([this] { return Failures().size() == 2 && !kestrup::UpgradeBusy(); }));
    kestrup::g_pUpgradeThread.store(worker);
    ASSERT_EQ(boxes.Texts().size(), 2u);
    EXPECT_EQ(boxes.Texts()[1], kestrup::HandOffFailureText());
    EXPECT_EQ(Failures()[1], "no file sent: the upgrade could not be handed to the worker");
    EXPECT_EQ(simulation.Instrument()->Protocol().StartCount(), 0);
    Pump(0);
    EXPECT_TRUE(UpgradeEnabled());
}

TEST_F(WiringTest, ClosingBeforeAnyUpgradeStopsPausesAndEndsTheWorker) {
    Start("");
    platform::TimeFacility::ScopedLog log;
    Close();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(questions, 0);
    EXPECT_TRUE(app.m_hStopEvent->IsSignaled());   // nobody was there to take it
    EXPECT_FALSE(app.m_hDoneEvent->IsSignaled());  // start-up's signal was taken by the close
    const auto timeouts = log.TimeoutsOf(platform::Thread::CurrentId());
    EXPECT_NE(std::find(timeouts.begin(), timeouts.end(), 1000u), timeouts.end());
    ExpectEngineEnded();
}

TEST_F(WiringTest, FromTheConnectionOnClosingAsks) {
    Start("");
    answer = false;
    // The close comes while the detection thread waits in its connection
    // notification, before the hand-off has posted anything.
    onNotification = [this](std::uint32_t message) {
        if (message == kestrup::WM_SET_MODE_USB) {
            EXPECT_FALSE(kestrup::g_bUpgradeRunPending.load());
            frame->close();
        }
    };
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    EXPECT_TRUE(PumpUntil([this] { return Seen(-16, 88) && !kestrup::UpgradeBusy(); }));
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(frame->isVisible());
}

TEST_F(WiringTest, NoSecondUpgradeWhileDetectionRunsAndClosingStopsIt) {
    Start("attach-delay 100000000\n");
    EXPECT_TRUE(UpgradeEnabled());
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    Pump(0);
    ASSERT_TRUE(kestrup::DetectionActive());
    EXPECT_EQ(Count(-16, 14), 1);
    // While it runs: the command, the double click and a rescan do nothing.
    EXPECT_FALSE(UpgradeEnabled());
    EXPECT_FALSE(NewEnabled());
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    tmpl->View()->OnDblclkPackageList(0);
    Pump(0);
    EXPECT_EQ(Count(-16, 14), 1);
    // Closing asks the detection to stop and waits for it; nothing is asked.
    Close();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(questions, 0);
    ExpectEngineEnded();
    EXPECT_FALSE(Seen(-16, 15));  // it stopped; it did not give up
}

TEST_F(WiringTest, ClosingDuringARunAsksAndNoKeepsTheWindow) {
    // The application image takes ten minutes of program time to flash.
    Start("flash-time 600000\n");
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    for (int i = 0; i < 100000 && Count(-16, 13) < 2; ++i) {
        Pump(1);
    }
    ASSERT_EQ(Count(-16, 13), 2);  // the application image is being flashed
    ASSERT_TRUE(kestrup::g_bUpgradeRunPending.load());
    answer = false;
    frame->close();
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(app.m_Channel.Device().IsOpen());
    // After the run closing asks nothing and closes the channel's device.
    for (int i = 0; i < 100000 && kestrup::UpgradeBusy(); ++i) {
        Pump(1);
    }
    EXPECT_TRUE(Seen(-16, 88));
    EXPECT_TRUE(UpgradeEnabled());
    frame->close();
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(frame->isVisible());
    EXPECT_FALSE(app.m_Channel.Device().IsOpen());
}

// Closes that end everything: program time runs slower here, so that the
// time a close takes is measured with the real cost of its threads small
// beside it.
class ClosingTest : public WiringTest {
  protected:
    ClosingTest() : WiringTest(25) {}

    // The instrument hears nothing more for a while after the close.
    void ExpectInstrumentHearsNothingMore() {
        const std::size_t heard = simulation.Instrument()->Protocol().Log().size();
        PumpUntil([] { return false; }, 500);
        EXPECT_EQ(simulation.Instrument()->Protocol().Log().size(), heard);
    }
};

TEST_F(ClosingTest, YesDuringAFlashEndsTheRunAtOnceAndSilently) {
    Start("flash-time 600000\n");
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    ASSERT_TRUE(PumpUntil([this] { return Count(-16, 13) == 1; }));  // the boot image
    answer = true;
    EXPECT_LE(Close(), kestrup::kCloseBoundMs);
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(frame->isVisible());
    ExpectEngineEnded();
    EXPECT_TRUE(boxes.Texts().empty());  // a cancelled flash wait is not a failure
    EXPECT_FALSE(Seen(-16, 88));
    EXPECT_EQ(simulation.Instrument()->Protocol().EndCount(), 0);
    ExpectInstrumentHearsNothingMore();
}

// Closes at moments spread over a whole upgrade (the first detection, the
// connection and hand-off, files going, flashing) and, every third time,
// over a second detection after the instrument was unplugged during a run.
class CloseAtAnyMomentTest : public ClosingTest, public ::testing::WithParamInterface<int> {};

TEST_P(CloseAtAnyMomentTest, EndsEverythingWithinTheBound) {
    const bool afterUnplug = GetParam() % 3 == 2;
    Start(afterUnplug ? "vanish c.bin 1\n" : "flash-time 2000\n");
    answer = true;
    frame->Router().Route(res::ID_UPGRADE_VIA_USB);
    if (afterUnplug) {
        ASSERT_TRUE(
            PumpUntil([] { return kestrup::g_bConnected.load() != 0 && !kestrup::UpgradeBusy(); }));
        frame->Router().Route(res::ID_UPGRADE_VIA_USB);  // the instrument is gone
        ASSERT_TRUE(PumpUntil([] { return kestrup::DetectionActive(); }));
    }
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    const std::size_t boxesBefore = boxes.Texts().size();
    PumpUntil([] { return false; }, std::uniform_int_distribution<int>(0, 12000)(random));
    EXPECT_LE(Close(), kestrup::kCloseBoundMs);
    EXPECT_FALSE(frame->isVisible());
    ExpectEngineEnded();
    EXPECT_EQ(boxes.Texts().size(), boxesBefore);
    ExpectInstrumentHearsNothingMore();
}

INSTANTIATE_TEST_SUITE_P(Moments, CloseAtAnyMomentTest, ::testing::Range(0, 6));

}  // namespace
