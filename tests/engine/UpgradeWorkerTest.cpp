#include "engine/UpgradeWorker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/Notifications.h"
#include "engine/Protocol.h"
#include "package/PackageGlobals.h"
#include "platform/FileSystem.h"
#include "platform/PathFormat.h"
#include "platform/PlainDispatcher.h"
#include "platform/ThreadMessageQueue.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/SimulatedRig.h"
#include "tests/support/TestDeadline.h"

namespace kestrup {
namespace {

using Progress = std::vector<std::pair<std::int32_t, std::int64_t>>;

class UpgradeWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::ClearRunStop();
        char tmpl[] = "/tmp/kestrup-stage-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ASSERT_TRUE(platform::PathFormat::Into(g_szStagingDir, sizeof g_szStagingDir, "%s/test/",
                                               root_.c_str()));
        ASSERT_EQ(::mkdir(g_szStagingDir, 0700), 0);
    }
    void TearDown() override {
        rig_.reset();
        g_szStagingDir[0] = '\0';
        g_bConnected.store(0);
        ASSERT_EQ(std::system(("rm -rf '" + root_ + "'").c_str()), 0);
    }

    void Connect(const std::string& scenarioText = "") {
        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(sim::Scenario::Parse(scenarioText, scenario, error)) << error;
        rig_ = std::make_unique<testsupport::SimulatedRig>(scenario);
        ASSERT_TRUE(rig_->Connect());
    }

    void Stage(const std::string& name, std::size_t size = 10) {
        ASSERT_TRUE(platform::FileSystem::WriteAll(std::string(g_szStagingDir) + name,
                                                   std::string(size, 'x')));
    }

    // What went over the wire: "start", the file names in order, "end".
    std::vector<std::string> Wire() const {
        std::vector<std::string> wire;
        const auto files = rig_->Protocol().Files();
        std::size_t next = 0;
        for (const auto& entry : rig_->Protocol().Log()) {
            if (entry.opcode == OP_START_UPGRADE && entry.length == 1) {
                wire.push_back("start");
            } else if (entry.opcode == OP_END_UPGRADE && entry.length == 1) {
                wire.push_back("end");
            } else if (entry.opcode == OP_FILE_HEADER && next < files.size()) {
                wire.push_back(files[next++].name);
            }
        }
        return wire;
    }

    // Whether each file went with a checksum, by name.
    bool HadChecksum(const std::string& name) const {
        for (const auto& f : rig_->Protocol().Files()) {
            if (f.name == name) {
                return f.crc != 0;
            }
        }
        ADD_FAILURE() << name << " not sent";
        return false;
    }

    platform::TimeFacility::ScopedScale fast_{1};
    testsupport::RecordingMessageBoxes boxes_;
    testsupport::NotificationRecorder frame_;
    std::unique_ptr<testsupport::SimulatedRig> rig_;
    std::string root_;
};

TEST_F(UpgradeWorkerTest, OtherFilesGoFirstThenTheBootImageThenTheApplicationImage) {
    Connect();
    Stage("package.inf");
    Stage("c.bin");
    Stage("a.dat");
    Stage("b.boot");
    Stage("readme");
    Stage("APP.BIN");
    Stage("package.ini");
    Stage(".hidden");
    // Folders, FIFOs and links are never opened nor sent.
    const std::string staging = g_szStagingDir;
    ASSERT_EQ(::mkdir((staging + "sub").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((staging + "pipe.dat").c_str(), 0600), 0);
    ASSERT_EQ(::symlink((staging + "readme").c_str(), (staging + "link.dat").c_str()), 0);
    UpgradeRun(&frame_);

    std::vector<std::string> wire = Wire();
    ASSERT_GE(wire.size(), 4u);
    EXPECT_EQ(wire.front(), "start");
    EXPECT_EQ(wire[wire.size() - 3], "b.boot");
    EXPECT_EQ(wire[wire.size() - 2], "c.bin");
    EXPECT_EQ(wire.back(), "end");
    // The rest in listing order (by name, case aside), each once, with a
    // checksum.
    std::vector<std::string> others(wire.begin() + 1, wire.end() - 3);
    EXPECT_EQ(others, (std::vector<std::string>{"a.dat", "APP.BIN", "package.ini", "readme"}));
    for (const auto& name : others) {
        EXPECT_TRUE(HadChecksum(name)) << name;
    }
    EXPECT_FALSE(HadChecksum("b.boot"));
    EXPECT_FALSE(HadChecksum("c.bin"));
    EXPECT_EQ(frame_.Progress().back(), (std::pair<std::int32_t, std::int64_t>{-16, 88}));
}

TEST_F(UpgradeWorkerTest, OfTwoApplicationImagesOnlyTheLastListedIsSent) {
    Connect();
    Stage("x.bin");
    Stage("y.bin");
    UpgradeRun(&frame_);
    EXPECT_EQ(Wire(), (std::vector<std::string>{"start", "y.bin", "end"}));
}

TEST_F(UpgradeWorkerTest, EmptyOrMissingStagingDirectory) {
    Connect();
    UpgradeRun(&frame_);
    EXPECT_EQ(Wire(), (std::vector<std::string>{"start", "end"}));
    EXPECT_TRUE(frame_.Notes().empty());

    ASSERT_EQ(::rmdir(g_szStagingDir), 0);
    UpgradeRun(&frame_);
    EXPECT_EQ(Wire(), (std::vector<std::string>{"start", "end", "start"}));
    EXPECT_TRUE(frame_.Notes().empty());
}

TEST_F(UpgradeWorkerTest, UnansweredOpeningEndsTheRunAtOnce) {
    Connect("start-answer silent\n");
    Stage("a.dat");
    platform::TimeFacility::ScopedLog log;
    UpgradeRun(&frame_);
    EXPECT_EQ(frame_.Progress(), (Progress{{-16, 15}}));
    EXPECT_EQ(Wire(), (std::vector<std::string>{"start"}));
    const auto timeouts = log.TimeoutsOf(platform::Thread::CurrentId());
    EXPECT_NE(std::find(timeouts.begin(), timeouts.end(), 4000u), timeouts.end());
}

TEST_F(UpgradeWorkerTest, WorkerTakesStartMessagesOnlyOnceConnected) {
    Connect("start-answer silent\n");
    platform::PlainDispatcher dispatcher;
    std::atomic<bool> runEnded{false};
    SetRunEndedCallback([&] {
        runEnded = true;
        dispatcher.Wake();
    });
    auto worker = StartUpgradeWorker(&frame_);
    ASSERT_NE(worker, nullptr);
    // Whatever fails below, the worker ends before the test's objects go
    // (delivering what it sends to the frame meanwhile).
    struct Ending {
        platform::Thread& worker;
        ~Ending() {
            platform::ThreadMessageQueue::Post(worker.Id(), platform::WM_QUIT, 0, 0);
            platform::WindowMessages::JoinDispatching(worker);
            SetRunEndedCallback(nullptr);
        }
    } ending{*worker};

    // Before the connection: lost, and nothing goes to the instrument.
    g_bConnected.store(0);
    g_bUpgradeRunPending.store(true);
    ASSERT_TRUE(
        platform::ThreadMessageQueue::Post(worker->Id(), START_MESSAGE, START_MESSAGE_WPARAM, 0));
    // Other messages are discarded too.
    ASSERT_TRUE(platform::ThreadMessageQueue::Post(worker->Id(), START_MESSAGE, 77, 0));
    // The worker clears the flag once it has taken the start message; what
    // it might send to the frame is delivered meanwhile.
    ASSERT_TRUE(testsupport::DispatchUntil(
        dispatcher, [&] { return runEnded.load(); },
        "the worker's dealing with the start message"));
    ASSERT_FALSE(g_bUpgradeRunPending.load());
    EXPECT_EQ(rig_->Protocol().StartCount(), 0);
    g_bConnected.store(1);
    // The next start message is taken: the opening goes unanswered twice.
    for (int run = 1; run <= 2; ++run) {
        ASSERT_TRUE(platform::ThreadMessageQueue::Post(worker->Id(), START_MESSAGE,
                                                       START_MESSAGE_WPARAM, 0));
        ASSERT_TRUE(testsupport::DispatchUntil(
            dispatcher, [&] { return frame_.Progress().size() == static_cast<std::size_t>(run); },
            "the run's status"));
    }
    EXPECT_EQ(frame_.Progress(), (Progress{{-16, 15}, {-16, 15}}));
    EXPECT_EQ(rig_->Protocol().StartCount(), 2);

    ASSERT_TRUE(platform::ThreadMessageQueue::Post(worker->Id(), platform::WM_QUIT, 0, 0));
    worker->Join();
    EXPECT_FALSE(g_bUpgradeRunPending.load());
}

}  // namespace
}  // namespace kestrup
