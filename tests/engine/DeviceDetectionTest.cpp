#include "engine/DeviceDetection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/CKestrupDoc.h"
#include "platform/Event.h"
#include "platform/PlainDispatcher.h"
#include "platform/TimeFacility.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/SimulatedRig.h"
#include "tests/support/TestDeadline.h"

namespace kestrup {
namespace {

class RecordingHandOff : public UpgradeHandOff {
  public:
    HandOffResult BeginTransfer(int) override {
        ++calls;
        connectedAtHandOff = g_bConnected.load();
        return HandOffResult::Posted;
    }
    std::atomic<int> calls{0};
    std::atomic<int> connectedAtHandOff{-1};
};

// The main frame; a close may come while it handles the connection.
class Frame : public testsupport::NotificationRecorder {
  public:
    platform::LRESULT WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override {
        if (message == WM_SET_MODE_USB && stopOnConnection != nullptr) {
            stopOnConnection->Set();
        }
        return NotificationRecorder::WindowProc(message, wParam, lParam);
    }
    platform::Event* stopOnConnection = nullptr;
};

class DeviceDetectionTest : public ::testing::Test {
  protected:
    void TearDown() override { g_bConnected.store(0); }

    // Runs a detection thread to its end while this thread delivers its
    // notifications. Returns the number of 5000 ms waits it made.
    // lookupHook: the rig's (see SimulatedRig::SetLookupHook).
    std::size_t Detect(const std::string& scenarioText, bool stopFirst = false,
                       std::function<bool(int)> lookupHook = {}) {
        sim::Scenario scenario;
        std::string error;
        EXPECT_TRUE(sim::Scenario::Parse(scenarioText, scenario, error)) << error;
        rig_ = std::make_unique<testsupport::SimulatedRig>(scenario);
        rig_->SetLookupHook(std::move(lookupHook));
        DetectionContext context{&rig_->Channel(), &stop_, &done_, &frame_, &view_, {}};
        if (stopFirst) {
            stop_.Set();
        }
        platform::TimeFacility::ScopedLog log;
        std::atomic<bool> ended{false};
        auto thread = platform::Thread::Start([&] {
            DetectThreadProc(context);
            ended = true;
            dispatcher_.Wake();
        });
        if (!testsupport::DispatchUntil(
                dispatcher_, [&] { return ended.load(); }, "the detection thread's end")) {
            stop_.Set();  // so that the join below ends
        }
        thread->Join();
        dispatcher_.WaitAndDispatch(0);
        std::size_t waits = 0;
        for (auto t : log.TimeoutsOf(thread->Id())) {
            waits += t == kDetectionWaitMs ? 1 : 0;
        }
        return waits;
    }

    platform::PlainDispatcher dispatcher_;
    Frame frame_;
    platform::Event stop_{false, false};
    platform::Event done_{false, false};
    RecordingHandOff view_;
    std::unique_ptr<testsupport::SimulatedRig> rig_;
};

using Note = testsupport::NotificationRecorder::Note;

TEST_F(DeviceDetectionTest, NoDeviceGivesUpAfterTwelvePasses) {
    platform::TimeFacility::ScopedScale fast(1);
    EXPECT_EQ(Detect("attach-delay 100000000\n"), 12u);
    EXPECT_EQ(frame_.Notes(), (std::vector<Note>{{WM_UPGRADE_PROGRESS, PROGRESS_STATUS, 15}}));
    EXPECT_EQ(g_bConnected.load(), 0);
    EXPECT_FALSE(done_.IsSignaled());
    EXPECT_EQ(view_.calls.load(), 0);
}

TEST_F(DeviceDetectionTest, AttachedInstrumentIsConnectedAndHandedOver) {
    platform::TimeFacility::ScopedScale fast(1);
    EXPECT_EQ(Detect(""), 1u);
    EXPECT_EQ(frame_.Notes(), (std::vector<Note>{{WM_SET_MODE_USB, 0, 0}}));
    EXPECT_EQ(g_bConnected.load(), 1);
    EXPECT_EQ(view_.connectedAtHandOff.load(), 1);
    EXPECT_TRUE(done_.IsSignaled());
    EXPECT_TRUE(rig_->Channel().Device().IsOpen());
    EXPECT_TRUE(rig_->Device()->IsConfigured());
    // The pipes move bytes: the instrument acknowledges the opening request.
    std::uint8_t byte = 7;
    std::uint32_t length = 1;
    EXPECT_EQ(rig_->Channel().Send(&byte, length, 1000), 0u);
    length = 1;
    EXPECT_EQ(rig_->Channel().InPipe()->ReadSync(&byte, length, 4000), 0u);
    EXPECT_EQ(byte, 4);
}

TEST_F(DeviceDetectionTest, InstrumentPluggedInLaterIsFoundOnTheNextPass) {
    // Plugged in between the sixth pass and the seventh: each pass without
    // a device looks at the attached devices once, and the first six find none.
    platform::TimeFacility::ScopedScale fast(1);
    EXPECT_EQ(Detect("", false, [](int look) { return look > 6; }), 7u);
    EXPECT_EQ(g_bConnected.load(), 1);
    EXPECT_EQ(view_.calls.load(), 1);
}

TEST_F(DeviceDetectionTest, StopRequestEndsTheThreadWithoutProbing) {
    platform::TimeFacility::ScopedScale fast(1);
    EXPECT_EQ(Detect("", true), 1u);
    EXPECT_TRUE(frame_.Notes().empty());
    EXPECT_TRUE(done_.IsSignaled());
    EXPECT_EQ(rig_->Channel().DeviceList(), 0u);
    EXPECT_EQ(view_.calls.load(), 0);
}

TEST_F(DeviceDetectionTest, StopDuringTheConnectionPreventsTheHandOff) {
    platform::TimeFacility::ScopedScale fast(1);
    frame_.stopOnConnection = &stop_;
    EXPECT_EQ(Detect(""), 1u);
    EXPECT_EQ(frame_.Notes(), (std::vector<Note>{{WM_SET_MODE_USB, 0, 0}}));
    EXPECT_EQ(view_.calls.load(), 0);
    EXPECT_FALSE(stop_.IsSignaled());  // the detection thread took it
    EXPECT_TRUE(done_.IsSignaled());
    EXPECT_FALSE(HandOffActive());
}

TEST_F(DeviceDetectionTest, ThreadThatCannotStartIsToldInAMessageBoxOnly) {
    testsupport::RecordingMessageBoxes boxes;
    testsupport::SimulatedRig rig;
    CKestrupDoc document;
    DetectionContext context{&rig.Channel(), &stop_, &done_, &frame_, &view_, {}};
    platform::Thread::ScopedStartFailure failure;
    EXPECT_EQ(StartDetection(document, 0, context), nullptr);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Test Usb Thread not started!\r\n"});
    EXPECT_TRUE(frame_.Notes().empty());
    EXPECT_FALSE(DetectionActive());
}

}  // namespace
}  // namespace kestrup
