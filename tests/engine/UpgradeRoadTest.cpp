// The whole road of one upgrade below the user interface: the view's start
// (detection thread, status 14), the connection (1030), the hand-off (the
// package unpacked into the staging directory, the start message), the
// worker's run, and the last status 88.
#include <gtest/gtest.h>

#include <atomic>

#include "engine/DeviceDetection.h"
#include "engine/EngineShutdown.h"
#include "engine/Notifications.h"
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
#include "tests/support/TestDeadline.h"

namespace kestrup {
namespace {

struct ViewHandOff : UpgradeHandOff {
    CKestrupDoc* document = nullptr;
    HandOffResult BeginTransfer(int row) override { return HandOffToWorker(*document, row); }
};

std::string Bytes(std::size_t size, int seed) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>(i * seed + (i >> 8));
    }
    return s;
}

TEST(UpgradeRoadTest, FromTheCommandToUpgradeCompleted) {
    platform::TimeFacility::ScopedScale fast(1);
    testsupport::PackageSandbox sandbox;
    const std::string data = Bytes(20000, 3), boot = Bytes(9000, 5), app = Bytes(70000, 7);
    {
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + "TPro_English.pcg");
        zip.File("package.inf",
                 "[PACKAGE]\nDescription=Talvenmark Pro software\nlanguage=English\n");
        zip.File("c.bin", app).File("a.dat", data).File("b.boot", boot);
        ASSERT_TRUE(zip.Close());
    }
    CKestrupDoc document;
    document.ScanPackages(sandbox.Executable().c_str());
    ASSERT_EQ(document.m_nPackageCount, 1);

    testsupport::RecordingMessageBoxes boxes;
    platform::PlainDispatcher dispatcher;
    testsupport::NotificationRecorder frame;
    testsupport::SimulatedRig rig;
    platform::Event stop(false, false), done(false, false);
    ViewHandOff view;
    view.document = &document;
    std::atomic<bool> runEnded{false};
    std::atomic<int> detectionEnd{-1};
    EngineThreads threads;
    // Whatever fails below, the threads end before what they use goes.
    struct Ending {
        EngineThreads& threads;
        EngineResources resources;
        ~Ending() {
            StopEngine(threads, resources);
            g_bConnected.store(0);
            g_szStagingDir[0] = g_szPackageDir[0] = g_szPackagePath[0] = '\0';
        }
    } ending{threads, {&rig.Channel(), &stop, &done}};
    // The run's end: the worker has dealt with the start message.
    SetRunEndedCallback([&] {
        runEnded = true;
        dispatcher.Wake();
    });
    threads.worker = StartUpgradeWorker(&frame);
    ASSERT_NE(threads.worker, nullptr);
    g_pUpgradeThread.store(threads.worker.get());

    DetectionContext context{&rig.Channel(), &stop, &done, &frame, &view, [&](DetectionEnd end) {
                                 detectionEnd = static_cast<int>(end);
                                 dispatcher.Wake();
                             }};
    platform::TimeFacility::ScopedLog log;
    threads.detection = StartDetection(document, 0, context);
    ASSERT_NE(threads.detection, nullptr);
    ASSERT_TRUE(testsupport::DispatchUntil(
        dispatcher, [&] { return detectionEnd.load() >= 0; }, "the end of the detection thread"));
    ASSERT_EQ(detectionEnd.load(), static_cast<int>(DetectionEnd::HandedOver));
    ASSERT_TRUE(testsupport::DispatchUntil(
        dispatcher, [&] { return runEnded.load(); }, "the end of the worker's run"));
    const platform::ThreadId detectionId = threads.detection->Id();
    threads.detection->Join();

    const auto notes = frame.Notes();
    ASSERT_GE(notes.size(), 3u);
    EXPECT_EQ(notes[0], (testsupport::NotificationRecorder::Note{WM_UPGRADE_PROGRESS, -16, 14}));
    EXPECT_EQ(notes[1], (testsupport::NotificationRecorder::Note{WM_SET_MODE_USB, 0, 0}));
    EXPECT_EQ(notes.back(),
              (testsupport::NotificationRecorder::Note{WM_UPGRADE_PROGRESS, -16, 88}));
    // One detection wait, then a look at the stop event before opening the
    // instrument and another before the hand-off.
    EXPECT_EQ(log.TimeoutsOf(detectionId), (std::vector<std::uint32_t>{kDetectionWaitMs, 0, 0}));
    EXPECT_TRUE(boxes.Texts().empty());

    const auto files = rig.Protocol().Files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].name, "a.dat");
    EXPECT_EQ(std::string(files[0].bytes.begin(), files[0].bytes.end()), data);
    EXPECT_EQ(files[1].name, "b.boot");
    EXPECT_EQ(std::string(files[1].bytes.begin(), files[1].bytes.end()), boot);
    EXPECT_EQ(files[2].name, "c.bin");
    EXPECT_EQ(std::string(files[2].bytes.begin(), files[2].bytes.end()), app);

    // The run ended with the closing request.
    EXPECT_EQ(rig.Protocol().EndCount(), 1);
}

}  // namespace
}  // namespace kestrup
