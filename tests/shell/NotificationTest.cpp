#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>
#include <QtWidgets/QProgressBar>
#include <atomic>
#include <vector>

#include "engine/Notifications.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "shell/PumpPendingMessages.h"
#include "tests/platform/ui/QtTestEnvironment.h"
#include "tests/shell/FrameFixture.h"
#include "tests/support/TestDeadline.h"

namespace {

using kestrup::PROGRESS_END;
using kestrup::PROGRESS_START;
using kestrup::PROGRESS_STATUS;
using kestrup::WM_MODE_PROGRESS;
using kestrup::WM_SET_MODE_TFTP;
using kestrup::WM_SET_MODE_USB;
using kestrup::WM_UPGRADE_PROGRESS;

class RecordingWindow : public platform::MessageWindow {
  public:
    platform::LRESULT WindowProc(std::uint32_t message, platform::WPARAM,
                                 platform::LPARAM) override {
        seen.push_back(message);
        return 0;
    }
    std::vector<std::uint32_t> seen;
};

class NotificationTest : public FrameFixture {
  protected:
    platform::TimeFacility::ScopedScale scale{1};
    platform::TimeFacility::ScopedLog log;

    std::vector<std::uint32_t> Sleeps() {
        std::vector<std::uint32_t> sleeps;
        for (const auto& record : log.Records()) {
            if (record.kind == platform::TimeFacility::Kind::Sleep) {
                sleeps.push_back(record.timeoutMs);
            }
        }
        return sleeps;
    }
};

TEST_F(NotificationTest, ProgressRunsThroughBarCollapsedBarAndNoBar) {
    EXPECT_EQ(Pane(0), "Ready");
    EXPECT_EQ(Send(WM_UPGRADE_PROGRESS, PROGRESS_START, 3), 0);
    ASSERT_NE(frame.m_pProgressBar, nullptr);
    EXPECT_EQ(Pane(0), " app.bin 0% complete");
    EXPECT_EQ(frame.m_pProgressBar->m_nWidthPercent, 40);
    EXPECT_GT(BarWidth(), 0);
    EXPECT_EQ(frame.m_pProgressBar->GetPos(), 0);

    Send(WM_UPGRADE_PROGRESS, 57);
    EXPECT_EQ(Pane(0), " app.bin 57% complete");
    EXPECT_EQ(frame.m_pProgressBar->GetPos(), 57);
    const int openWidth = BarWidth();
    EXPECT_GT(openWidth, 0);

    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::STATUS_FLASHING);
    EXPECT_EQ(Pane(0), "app.bin: Flashing File. Please wait...\n");
    EXPECT_EQ(BarWidth(), 0);

    // A percentage after a status text changes the label; the bar stays
    // collapsed.
    Send(WM_UPGRADE_PROGRESS, 80);
    EXPECT_EQ(Pane(0), " app.bin 80% complete");
    EXPECT_EQ(BarWidth(), 0);
    EXPECT_EQ(frame.m_pProgressBar->GetPos(), 80);

    // A new file replaces the bar with a fresh one at 40 %.
    CProgressBar* collapsed = frame.m_pProgressBar;
    Send(WM_UPGRADE_PROGRESS, PROGRESS_START);
    EXPECT_NE(frame.m_pProgressBar, nullptr);
    EXPECT_EQ(frame.m_pProgressBar->m_nWidthPercent, 40);
    EXPECT_EQ(frame.m_pProgressBar->GetPos(), 0);
    (void)collapsed;

    log.Clear();
    Send(WM_UPGRADE_PROGRESS, PROGRESS_END);
    EXPECT_EQ(frame.m_pProgressBar, nullptr);
    EXPECT_EQ(Pane(0), "Ready");
    EXPECT_EQ(Sleeps(), std::vector<std::uint32_t>{1000});
}

TEST_F(NotificationTest, WithoutABarPercentagesAndEndDoNothingAndDoNotPumpOrWait) {
    RecordingWindow other;
    platform::WindowMessages::Post(&other, 77, 0, 0);
    Send(WM_UPGRADE_PROGRESS, 50);
    Send(WM_UPGRADE_PROGRESS, PROGRESS_END);
    Send(WM_MODE_PROGRESS, 50);
    Send(WM_MODE_PROGRESS, PROGRESS_END);
    EXPECT_EQ(frame.m_pProgressBar, nullptr);
    EXPECT_EQ(Pane(0), "Ready");
    EXPECT_TRUE(other.seen.empty());
    EXPECT_TRUE(Sleeps().empty());

    // With a bar, a percentage pumps what is waiting.
    Send(WM_UPGRADE_PROGRESS, PROGRESS_START);
    EXPECT_EQ(other.seen, std::vector<std::uint32_t>{77});
}

TEST_F(NotificationTest, StatusWithoutABarCreatesOneCollapsed) {
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::STATUS_DETECTING);
    ASSERT_NE(frame.m_pProgressBar, nullptr);
    EXPECT_EQ(Pane(0), "Detecting USB device. Please wait...\n");
    EXPECT_EQ(frame.m_pProgressBar->m_nWidthPercent, 0);
    EXPECT_EQ(BarWidth(), 0);
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::STATUS_DETECT_FAILED);
    EXPECT_EQ(Pane(0), "Failed to detect the device. Please try again.\n");
}

TEST_F(NotificationTest, StatusCodesAreComparedAsWhole32BitValues) {
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, -1);
    EXPECT_EQ(Pane(0), "TimeOut Or Unknown Error; Opcode is 0xFFFFFFFF\n");
    // A reply byte 0x80 arrives sign-extended.
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, static_cast<std::int8_t>(0x80));
    EXPECT_EQ(Pane(0), "TimeOut Or Unknown Error; Opcode is 0xFFFFFF80\n");
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, 0x200 + 88);
    EXPECT_EQ(Pane(0), "TimeOut Or Unknown Error; Opcode is 0x258\n");
    // A failed answer that would read as a status of its own names its byte.
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::FailureStatusOf(88));
    EXPECT_EQ(Pane(0), "TimeOut Or Unknown Error; Opcode is 0x58\n");
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::STATUS_UPGRADE_DONE);
    EXPECT_EQ(Pane(0), "Upgrade completed successfully\n");
}

TEST(StatusTextTest, EveryListedCodeHasItsTextAndEveryOtherTheUnknownText) {
    const char* file = "boot.boot";
    const std::vector<std::pair<std::int32_t, std::string>> listed{
        {5, "boot.boot: Packet Error\n"},
        {8, "boot.boot: File Transfer OK\n"},
        {9, "boot.boot: File Size Failed\n"},
        {10, "boot.boot: CRC Failed\n"},
        {11, "boot.boot: Flash Erase Failed\n"},
        {12, "boot.boot: Flash Write Failed\n"},
        {13, "boot.boot: Flashing File. Please wait...\n"},
        {14, "Detecting USB device. Please wait...\n"},
        {15, "Failed to detect the device. Please try again.\n"},
        {16, "USB Device Found\n"},
        {18, "Cannot Reset Device. Please Try Again.\n"},
        {88, "Upgrade completed successfully\n"},
    };
    for (const auto& [code, text] : listed) {
        EXPECT_EQ(CMainFrame::StatusText(code, file), text) << code;
    }
    const std::vector<std::pair<std::int32_t, std::string>> unknown{
        {0, "0"},   {4, "4"},   {6, "6"},         {7, "7"},           {17, "11"},
        {87, "57"}, {89, "59"}, {-1, "FFFFFFFF"}, {-128, "FFFFFF80"},
    };
    for (const auto& [code, hex] : unknown) {
        EXPECT_EQ(CMainFrame::StatusText(code, file),
                  "TimeOut Or Unknown Error; Opcode is 0x" + hex + "\n")
            << code;
    }
}

TEST_F(NotificationTest, APercentageAboveTheRangeShowsInTheLabelWithAFullBar) {
    Send(WM_UPGRADE_PROGRESS, PROGRESS_START);
    Send(WM_UPGRADE_PROGRESS, 100);
    Send(WM_UPGRADE_PROGRESS, 101);
    EXPECT_EQ(Pane(0), " app.bin 101% complete");
    EXPECT_EQ(frame.m_pProgressBar->GetPos(), 100);
}

TEST_F(NotificationTest, ModeProgressTakesMinus16AsAPercentageAndItsEndClearsTheModePane) {
    Send(WM_SET_MODE_TFTP, 0);
    EXPECT_EQ(Pane(2), "TFTP");
    Send(WM_MODE_PROGRESS, PROGRESS_START);
    Send(WM_MODE_PROGRESS, PROGRESS_STATUS);
    EXPECT_EQ(Pane(0), " app.bin -16% complete");
    EXPECT_EQ(frame.m_pProgressBar->GetPos(), 0);
    EXPECT_EQ(frame.m_pProgressBar->m_nWidthPercent, 40);

    Send(WM_MODE_PROGRESS, PROGRESS_END);
    EXPECT_EQ(frame.m_pProgressBar, nullptr);
    EXPECT_EQ(Pane(0), "Ready");
    EXPECT_EQ(Pane(2), "");
    EXPECT_EQ(Sleeps(), std::vector<std::uint32_t>{10});
}

TEST_F(NotificationTest, UpgradeProgressEndLeavesTheModePane) {
    Send(WM_SET_MODE_USB, 0);
    Send(WM_UPGRADE_PROGRESS, PROGRESS_START);
    Send(WM_UPGRADE_PROGRESS, PROGRESS_END);
    EXPECT_EQ(Pane(2), "USB");
}

TEST_F(NotificationTest, ModeTextShowsWhateverNumLockSays) {
    bool numLock = false;
    frame.m_wndStatusBar.SetKeyStateSource([&](std::uint32_t) { return numLock; });
    const int pane = frame.m_wndStatusBar.CommandToIndex(59138);
    EXPECT_EQ(pane, 2);
    EXPECT_FALSE(frame.m_wndStatusBar.IsPaneTextShown(pane));
    Send(WM_SET_MODE_USB, 0);
    EXPECT_EQ(Pane(pane), "USB");
    EXPECT_FALSE(frame.m_wndStatusBar.IsPaneEnabled(pane));
    EXPECT_TRUE(frame.m_wndStatusBar.IsPaneTextShown(pane));
    numLock = true;
    frame.m_wndStatusBar.UpdateKeyIndicators();
    EXPECT_TRUE(frame.m_wndStatusBar.IsPaneTextShown(pane));
    EXPECT_EQ(Pane(pane), "USB");
}

TEST_F(NotificationTest, AFailedAllocationDropsPercentagesUntilABarCanBeMade) {
    bool fail = true;
    frame.SetProgressBarFactory([&]() -> CProgressBar* {
        return fail ? nullptr : new CProgressBar("Progress", 40, 100, true, 0);
    });
    Send(WM_UPGRADE_PROGRESS, PROGRESS_START);
    Send(WM_UPGRADE_PROGRESS, 30);
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, 14);
    EXPECT_EQ(frame.m_pProgressBar, nullptr);
    EXPECT_EQ(Pane(0), "Ready");
    fail = false;
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, 14);
    ASSERT_NE(frame.m_pProgressBar, nullptr);
    EXPECT_EQ(Pane(0), "Detecting USB device. Please wait...\n");
}

TEST_F(NotificationTest, ABarWithoutAStatusBarDoesNothingAndTheHandlersGoOn) {
    // The application has no main window: bars are made without a window.
    app.SetMainWnd(nullptr);
    Send(WM_UPGRADE_PROGRESS, PROGRESS_START);
    ASSERT_NE(frame.m_pProgressBar, nullptr);
    EXPECT_FALSE(frame.m_pProgressBar->HasWindow());
    Send(WM_UPGRADE_PROGRESS, 50);
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, 13);
    EXPECT_EQ(Pane(0), "Ready");
    Send(WM_UPGRADE_PROGRESS, PROGRESS_END);
    EXPECT_EQ(frame.m_pProgressBar, nullptr);
}

// A worker's send is delivered while the UI thread pumps inside another
// handler, and finds the bar complete.
TEST_F(NotificationTest, ASendFromAWorkerIsHandledInsideAnotherHandlersPump) {
    Send(WM_UPGRADE_PROGRESS, PROGRESS_START);
    std::atomic<bool> sent{false};
    auto worker = platform::Thread::Start([&] {
        platform::WindowMessages::Send(&frame, WM_SET_MODE_USB, 0, 0);
        platform::WindowMessages::Send(&frame, WM_UPGRADE_PROGRESS, kestrup::ProgressWParam(60), 0);
        sent = true;
    });
    ASSERT_TRUE(worker);
    // Until the worker's first send is queued.
    ASSERT_TRUE(testsupport::AwaitCondition([] { return platform::WindowMessages::HasPending(); },
                                            "the worker's first send"));
    // This handler's pump delivers the worker's 1030, whose return lets the
    // worker queue its 1031, which the same pump delivers too.
    Send(WM_UPGRADE_PROGRESS, 20);
    ASSERT_TRUE(testsupport::AwaitCondition(
        [&] {
            PumpPendingMessages();
            return sent.load();
        },
        "the worker's second send"));
    worker->Join();
    EXPECT_EQ(Pane(2), "USB");
    EXPECT_EQ(frame.m_pProgressBar->GetPos(), 60);
    EXPECT_EQ(Pane(0), " app.bin 60% complete");
}

// The observer (the unattended report, the history) hears the notifications
// in the order they came, also when one waits while the frame handles another:
// the detection thread's connection queued while the view's "detecting" is
// being handled is heard after it.
TEST_F(NotificationTest, ANotificationWaitingDuringAnotherReachesTheObserverAfterIt) {
    std::vector<std::pair<std::uint32_t, std::int64_t>> heard;
    frame.SetNotificationObserver([&](std::uint32_t message, platform::WPARAM, platform::LPARAM l) {
        heard.emplace_back(message, static_cast<std::int64_t>(l));
    });
    auto detection = platform::Thread::Start(
        [&] { platform::WindowMessages::Send(&frame, WM_SET_MODE_USB, 0, 0); });
    ASSERT_TRUE(detection);
    ASSERT_TRUE(testsupport::AwaitCondition([] { return platform::WindowMessages::HasPending(); },
                                            "the connection's send"));
    Send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::STATUS_DETECTING);
    detection->Join();
    EXPECT_EQ(heard, (std::vector<std::pair<std::uint32_t, std::int64_t>>{
                         {WM_UPGRADE_PROGRESS, kestrup::STATUS_DETECTING}, {WM_SET_MODE_USB, 0}}));
    EXPECT_EQ(Pane(2), "USB");
    frame.SetNotificationObserver(nullptr);
}

TEST_F(NotificationTest, TheWorkersNotificationsReachTheFrameThroughQtsEventLoop) {
    auto worker = platform::Thread::Start([&] {
        auto send = [&](std::uint32_t m, std::int32_t w, platform::LPARAM l = 0) {
            platform::WindowMessages::Send(&frame, m, kestrup::ProgressWParam(w), l);
        };
        send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::STATUS_DETECTING);
        send(WM_SET_MODE_USB, 0);
        send(WM_UPGRADE_PROGRESS, PROGRESS_START, 2);
        for (int percent = 0; percent <= 100; percent += 10) {
            send(WM_UPGRADE_PROGRESS, percent);
        }
        send(WM_UPGRADE_PROGRESS, 101);
        send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::STATUS_FLASHING);
        send(WM_UPGRADE_PROGRESS, PROGRESS_STATUS, kestrup::STATUS_UPGRADE_DONE);
        app.Pump()->PostQuit(0);
    });
    const auto deadline = LoopDeadline("the worker's quit request");
    EXPECT_EQ(QCoreApplication::exec(), 0);
    worker->Join();
    EXPECT_EQ(Pane(0), "Upgrade completed successfully\n");
    EXPECT_EQ(Pane(2), "USB");
    EXPECT_EQ(BarWidth(), 0);
    EXPECT_EQ(frame.m_pProgressBar->GetPos(), 100);
}

// A quit request met while a handler pumps is posted again: the handler
// finishes and the application still ends.
TEST_F(NotificationTest, AQuitRequestMetWhilePumpingIsPostedAgain) {
    Send(WM_UPGRADE_PROGRESS, PROGRESS_START);
    QTimer::singleShot(0, [&] {
        app.Pump()->PostQuit(0);
        Send(WM_UPGRADE_PROGRESS, 33);
        EXPECT_EQ(app.Pump()->QuitRequests(), 1);
    });
    const auto deadline = LoopDeadline("the quit request posted again");
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(Pane(0), " app.bin 33% complete");
    EXPECT_EQ(app.Pump()->QuitRequests(), 0);
}

TEST_F(NotificationTest, PumpPendingMessagesReportsAQuitRequest) {
    RecordingWindow other;
    platform::WindowMessages::Post(&other, 1, 0, 0);
    app.Pump()->PostQuit(0);
    EXPECT_FALSE(PumpPendingMessages());
    EXPECT_EQ(other.seen, std::vector<std::uint32_t>{1});
    EXPECT_EQ(app.Pump()->QuitRequests(), 1);
    EXPECT_FALSE(PumpPendingMessages());  // still there, still handed back
}

}  // namespace
