// The whole road of one upgrade below the user interface: the view's start
// (detection thread, status 14), the connection (1030), the hand-off (the
// package unpacked into the staging directory, the start message), the
// worker's run, and the last status 88.
#include <gtest/gtest.h>

#include <atomic>

#include "engine/DeviceDetection.h"
#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/CKestrupDoc.h"
#include "package/PackageGlobals.h"
#include "platform/Event.h"
#include "platform/PlainDispatcher.h"
#include "platform/ThreadMessageQueue.h"
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
    auto worker = StartUpgradeWorker(&frame);
    ASSERT_NE(worker, nullptr);
    g_pUpgradeThread.store(worker.get());

    platform::Event stop(false, false), done(false, false);
    ViewHandOff view;
    view.document = &document;
    DetectionContext context{&rig.Channel(), &stop, &done, &frame, &view, {}};
    platform::TimeFacility::ScopedLog log;
    auto detection = StartDetection(document, 0, context);
    ASSERT_NE(detection, nullptr);
    dispatcher.RunUntil([&] {
        const auto p = frame.Progress();
        return !p.empty() && (p.back() == std::pair<std::int32_t, std::int64_t>{-16, 88} ||
                              p.back() == std::pair<std::int32_t, std::int64_t>{-16, 15});
    });
    detection->Join();

    const auto notes = frame.Notes();
    ASSERT_GE(notes.size(), 3u);
    EXPECT_EQ(notes[0], (testsupport::NotificationRecorder::Note{WM_UPGRADE_PROGRESS, -16, 14}));
    EXPECT_EQ(notes[1], (testsupport::NotificationRecorder::Note{WM_SET_MODE_USB, 0, 0}));
    EXPECT_EQ(notes.back(),
              (testsupport::NotificationRecorder::Note{WM_UPGRADE_PROGRESS, -16, 88}));
    // One detection wait, then a look at the stop event before opening the
    // instrument and another before the hand-off.
    EXPECT_EQ(log.TimeoutsOf(detection->Id()),
              (std::vector<std::uint32_t>{kDetectionWaitMs, 0, 0}));
    EXPECT_TRUE(boxes.Texts().empty());

    const auto files = rig.Protocol().Files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].name, "a.dat");
    EXPECT_EQ(std::string(files[0].bytes.begin(), files[0].bytes.end()), data);
    EXPECT_EQ(files[1].name, "b.boot");
    EXPECT_EQ(std::string(files[1].bytes.begin(), files[1].bytes.end()), boot);
    EXPECT_EQ(files[2].name, "c.bin");
    EXPECT_EQ(std::string(files[2].bytes.begin(), files[2].bytes.end()), app);

    // The run is over once the worker has sent the closing request.
    for (int i = 0; i < 100000 && rig.Protocol().EndCount() == 0; ++i) {
        platform::TimeFacility::Sleep(1);
    }
    EXPECT_EQ(rig.Protocol().EndCount(), 1);
    ASSERT_TRUE(platform::ThreadMessageQueue::Post(worker->Id(), platform::WM_QUIT, 0, 0));
    worker->Join();
    g_pUpgradeThread.store(nullptr);
    g_bConnected.store(0);
    g_szStagingDir[0] = g_szPackageDir[0] = g_szPackagePath[0] = '\0';
}

}  // namespace
}  // namespace kestrup
