// Closing at any moment of an upgrade, below the user interface: during the
// first detection and, after the instrument was unplugged during a run, a
// later one; at the connection and the hand-off; while files go; while the
// instrument flashes. Every close ends the detection thread and the worker
// within the bound, reports no failure, and the instrument hears nothing
// afterwards. Runs under ThreadSanitizer with the engine's other suites.
#include "engine/EngineShutdown.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "engine/DeviceDetection.h"
#include "engine/UpgradeWorker.h"
#include "package/CKestrupDoc.h"
#include "package/PackageGlobals.h"
#include "platform/Event.h"
#include "platform/PlainDispatcher.h"
#include "platform/TimeFacility.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PackageSandbox.h"
#include "tests/support/SimulatedRig.h"

namespace kestrup {
namespace {

struct ViewHandOff : UpgradeHandOff {
    CKestrupDoc* document = nullptr;
    HandOffResult BeginTransfer(int row) override { return HandOffToWorker(*document, row); }
};

class CloseAtAnyMomentTest : public ::testing::TestWithParam<int> {
  protected:
    CloseAtAnyMomentTest() {
        testsupport::ArchiveWriter zip(sandbox_.PackageDir() + "TPro_English.pcg");
        zip.File("package.inf", "[PACKAGE]\nDescription=Talvenmark Pro software\n");
        zip.File("a.dat", std::string(20000, 'a'))
            .File("b.boot", std::string(9000, 'b'))
            .File("c.bin", std::string(30000, 'c'));
        EXPECT_TRUE(zip.Close());
        document_.ScanPackages(sandbox_.Executable().c_str());
        view_.document = &document_;
    }
    ~CloseAtAnyMomentTest() override {
        StopEngine(threads_, Resources());
        g_bConnected.store(0);
        g_szStagingDir[0] = g_szPackageDir[0] = g_szPackagePath[0] = '\0';
    }

    void Start(const std::string& scenarioText) {
        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(sim::Scenario::Parse(scenarioText, scenario, error)) << error;
        rig_ = std::make_unique<testsupport::SimulatedRig>(scenario);
        threads_.worker = StartUpgradeWorker(&frame_);
        ASSERT_NE(threads_.worker, nullptr);
        g_pUpgradeThread.store(threads_.worker.get());
    }
    // The upgrade command: a detection thread for package row 0.
    void Command() {
        if (threads_.detection) {
            threads_.detection->Join();
        }
        DetectionContext context{&rig_->Channel(), &stop_, &done_, &frame_, &view_, {}};
        threads_.detection = StartDetection(document_, 0, context);
        ASSERT_NE(threads_.detection, nullptr);
    }
    // Delivers the notifications for ms of program time, or until done().
    bool Dispatch(
        std::uint64_t ms, const std::function<bool()>& done = [] { return false; }) {
        const std::uint64_t from = platform::TimeFacility::NowMs();
        while (!done()) {
            const std::uint64_t passed = platform::TimeFacility::NowMs() - from;
            if (passed >= ms) {
                return false;
            }
            dispatcher_.WaitAndDispatch(
                static_cast<std::uint32_t>(std::min<std::uint64_t>(ms - passed, 10)));
        }
        return true;
    }
    EngineResources Resources() { return {rig_ ? &rig_->Channel() : nullptr, &stop_, &done_}; }

    // Program time runs slower than in other suites, so that the time a close
    // takes is measured with the real cost of its threads small beside it.
    platform::TimeFacility::ScopedScale scale_{25};
    testsupport::PackageSandbox sandbox_;
    CKestrupDoc document_;
    testsupport::RecordingMessageBoxes boxes_;
    platform::PlainDispatcher dispatcher_;
    testsupport::NotificationRecorder frame_;
    std::unique_ptr<testsupport::SimulatedRig> rig_;
    platform::Event stop_{false, false};
    platform::Event done_{false, true};  // signalled, as after start-up
    ViewHandOff view_;
    EngineThreads threads_;
};

TEST_P(CloseAtAnyMomentTest, EndsEverythingWithinTheBound) {
    const bool afterUnplug = GetParam() % 3 == 2;
    Start(afterUnplug ? "vanish c.bin 1\n" : "flash-time 2000\n");
    Command();
    if (afterUnplug) {
        ASSERT_TRUE(Dispatch(600000, [] { return g_bConnected.load() != 0 && !UpgradeBusy(); }));
        Command();  // the instrument is gone; g_bConnected stays 1
    }
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    Dispatch(std::uniform_int_distribution<std::uint64_t>(0, 12000)(random));
    const std::size_t boxes = boxes_.Texts().size();

    const std::uint64_t from = platform::TimeFacility::NowMs();
    CloseEngine(threads_, Resources());
    EXPECT_LE(platform::TimeFacility::NowMs() - from, kCloseBoundMs);

    EXPECT_EQ(threads_.worker, nullptr);
    EXPECT_EQ(threads_.detection, nullptr);
    EXPECT_EQ(g_pUpgradeThread.load(), nullptr);
    EXPECT_FALSE(UpgradeBusy());
    EXPECT_FALSE(UpgradeUnderWay());
    EXPECT_EQ(boxes_.Texts().size(), boxes);
    const std::size_t heard = rig_->Protocol().Log().size();
    Dispatch(500);
    EXPECT_EQ(rig_->Protocol().Log().size(), heard);
}

INSTANTIATE_TEST_SUITE_P(Moments, CloseAtAnyMomentTest, ::testing::Range(0, 16));

}  // namespace
}  // namespace kestrup
