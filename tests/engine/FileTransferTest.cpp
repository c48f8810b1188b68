#include "engine/FileTransfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/AppChannel.h"
#include "engine/Notifications.h"
#include "engine/Protocol.h"
#include "engine/UpgradeWorker.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/SimulatedRig.h"

namespace kestrup {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Progress = std::vector<std::pair<std::int32_t, std::int64_t>>;

Bytes Pattern(std::size_t size, unsigned seed = 1) {
    Bytes b(size);
    std::uint32_t x = seed * 2654435761u + 7;
    for (auto& byte : b) {
        x = x * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

// Data frame lengths of a file of `size` bytes, worked out from the framing
// rules independently of the code under test.
std::vector<std::size_t> ExpectedFrames(std::size_t size) {
    std::vector<std::size_t> frames(size / 8191, 8192);
    const std::size_t r = size % 8191;
    frames.push_back((r + 1) % 64 == 0 ? r + 2 : r + 1);
    if (r == 8190) {
        frames.push_back(1);
    }
    return frames;
}

class FileTransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::ClearRunStop();
        char tmpl[] = "/tmp/kestrup-ft-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/";
    }
    void TearDown() override {
        rig_.reset();
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }

    // Connects to a simulated instrument and opens the upgrade run.
    void Start(const std::string& scenarioText = "") {
        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(sim::Scenario::Parse(scenarioText, scenario, error)) << error;
        rig_ = std::make_unique<testsupport::SimulatedRig>(scenario);
        ForgetFailedFiles();  // a run begins
        ASSERT_TRUE(rig_->Connect());
        std::uint8_t request = OP_START_UPGRADE;
        std::uint32_t length = 1;
        ASSERT_EQ(rig_->Channel().Send(&request, length, 1000), 0u);
        length = 1;
        ASSERT_EQ(rig_->Channel().InPipe()->ReadSync(&request, length, 4000), 0u);
        ASSERT_EQ(request, OP_ACK);
    }

    std::string Make(const std::string& name, const Bytes& content) {
        const std::string path = dir_ + name;
        EXPECT_TRUE(
            platform::FileSystem::WriteAll(path, std::string(content.begin(), content.end())));
        return path;
    }

    // The data frames the instrument saw for its last file.
    std::vector<std::size_t> FramesOfLastFile() const {
        std::vector<std::size_t> lengths;
        const auto log = rig_->Protocol().Log();
        const std::string name = rig_->Protocol().Files().back().name;
        for (const auto& entry : log) {
            if (entry.file == name && entry.opcode == OP_FILE_DATA) {
                lengths.push_back(entry.length);
            }
        }
        return lengths;
    }

    std::size_t HeadersSeen() const {
        std::size_t count = 0;
        for (const auto& entry : rig_->Protocol().Log()) {
            count += entry.opcode == OP_FILE_HEADER ? 1 : 0;
        }
        return count;
    }

    std::size_t PausesAfterFiles() const {
        std::size_t count = 0;
        for (const auto& r : log_.Records()) {
            count += (r.kind == platform::TimeFacility::Kind::Sleep && r.timeoutMs == 1000) ? 1 : 0;
        }
        return count;
    }

    platform::TimeFacility::ScopedScale fast_{1};
    platform::TimeFacility::ScopedLog log_;
    testsupport::RecordingMessageBoxes boxes_;
    testsupport::NotificationRecorder frame_;
    std::unique_ptr<testsupport::SimulatedRig> rig_;
    std::string dir_;
};

TEST_F(FileTransferTest, EverySizeArrivesWithItsAnnouncedSizeChecksumAndFrames) {
    Start();
    const std::vector<std::size_t> sizes = {0, 62, 63, 8127, 8190, 8191, 20000, 1310720};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const Bytes content = Pattern(size, static_cast<unsigned>(size));
        const std::string name = "file" + std::to_string(size) + ".dat";
        SendFile(Make(name, content).c_str(), &frame_, true);

        const auto file = rig_->Protocol().Files().back();
        EXPECT_EQ(file.name, name);
        EXPECT_TRUE(file.complete);
        const std::size_t announced = ((size % 8191) + 1) % 64 == 0 ? size + 1 : size;
        EXPECT_EQ(file.announced, announced);
        Bytes padded = content;
        padded.resize(announced, 0);
        EXPECT_EQ(file.bytes, padded);
        EXPECT_EQ(file.crc, static_cast<std::uint32_t>(
                                ::crc32(0L, padded.data(), static_cast<uInt>(padded.size()))));
        EXPECT_EQ(FramesOfLastFile(), ExpectedFrames(size));
        EXPECT_STREQ(g_szCurrentFile, name.c_str());
    }
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_EQ(PausesAfterFiles(), sizes.size());

    // Without a checksum the field is 0.
    SendFile(Make("plain.boot", Pattern(100)).c_str(), &frame_, false);
    EXPECT_EQ(rig_->Protocol().Files().back().crc, 0u);
}

TEST_F(FileTransferTest, NotificationsFollowTheFileFrameByFrame) {
    Start("flash-time 20000\n");
    SendFile(Make("data.dat", Pattern(20000)).c_str(), &frame_, true);
    EXPECT_EQ(frame_.Progress(), (Progress{{-2, 2}, {40, 0}, {81, 0}, {-16, 8}, {100, 0}}));

    frame_.Clear();
    SendFile(Make("empty", {}).c_str(), &frame_, true);
    EXPECT_EQ(frame_.Progress(), (Progress{{-2, 0}, {-16, 8}, {-1, 0}}));

    frame_.Clear();
    SendFile(Make("loader.boot", Pattern(8190)).c_str(), &frame_, false);
    EXPECT_EQ(frame_.Progress(),
              (Progress{{-2, 8190}, {-16, 8}, {100, 0}, {100, 0}, {101, 0}, {-16, 13}, {-16, 8}}));

    frame_.Clear();
    SendFile(Make("app.bin", Pattern(8191 * 3)).c_str(), &frame_, false);
    const Progress app = frame_.Progress();
    ASSERT_GE(app.size(), 3u);
    EXPECT_EQ(app.front(), (std::pair<std::int32_t, std::int64_t>{-2, 3}));
    EXPECT_EQ(app.back(), (std::pair<std::int32_t, std::int64_t>{-16, 88}));
    EXPECT_EQ(app[app.size() - 2], (std::pair<std::int32_t, std::int64_t>{-16, 13}));
    EXPECT_EQ(app[app.size() - 3], (std::pair<std::int32_t, std::int64_t>{101, 0}));

    // A name that holds ".bin" anywhere waits for the flash result too.
    frame_.Clear();
    SendFile(Make("notes.bin.txt", Pattern(10)).c_str(), &frame_, true);
    EXPECT_EQ(frame_.Progress().back(), (std::pair<std::int32_t, std::int64_t>{-16, 88}));
    EXPECT_TRUE(boxes_.Texts().empty());

    // The flash wait is given its twenty minutes.
    const auto timeouts = log_.TimeoutsOf(platform::Thread::CurrentId());
    EXPECT_NE(std::find(timeouts.begin(), timeouts.end(), 1200000u), timeouts.end());
}

TEST_F(FileTransferTest, EachFailureGivesItsNotificationAndMessageBox) {
    Start(
        "answer refused.dat header 8\n"
        "answer crc.dat 1 10\n"
        "silent quiet.dat 2\n"
        "answer odd.dat 1 0x85\n"
        "answer pkt.dat 1 5\n"
        "answer done.dat 1 88\n"
        "answer more.dat 1 4\n"
        "answer flashing.boot flash 13\n"
        "answer detecting.bin flash 14\n"
        "flash-result erase.boot erase-fail\n"
        "flash-result write.bin write-fail\n");

    // The header refused: its answer and box, then the bar goes; no pause.
    // An answer the frame would show as a status of its own (here the file's
    // success) reaches it as a failure naming the same byte as the box.
    SendFile(Make("refused.dat", Pattern(10)).c_str(), &frame_, true);
    EXPECT_EQ(frame_.Progress(), (Progress{{-2, 10}, {-16, FailureStatusOf(8)}, {-1, 0}}));
    EXPECT_EQ(FailureStatusOf(8), STATUS_ANSWER_AS_FAILURE + 8);
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"unknown error; opcode is 0x8\n"});
    EXPECT_EQ(PausesAfterFiles(), 0u);

    struct Row {
        const char* name;
        std::size_t size;
        std::int64_t status;
        const char* box;
    };
    const Row rows[] = {
        {"crc.dat", 100, 10, "CRC fail\n"},
        {"quiet.dat", 20000, 3, "unknown error; opcode is 0x3\n"},
        {"odd.dat", 100, -123, "unknown error; opcode is 0xFFFFFF85\n"},
        {"pkt.dat", 100, 5, "Packet Error\n"},
        // "Upgrade completed", "flashing" and "detecting" as answers never
        // read as those statuses.
        {"done.dat", 100, STATUS_ANSWER_AS_FAILURE + 88, "unknown error; opcode is 0x58\n"},
        {"flashing.boot", 100, STATUS_ANSWER_AS_FAILURE + 13, "unknown error; opcode is 0xD\n"},
        {"detecting.bin", 100, STATUS_ANSWER_AS_FAILURE + 14, "unknown error; opcode is 0xE\n"},
        // The last frame answered "more" instead of "file OK": never confirmed.
        {"more.dat", 100, 4, "unknown error; opcode is 0x4\n"},
        {"erase.boot", 100, 11, "flash erase fail\n"},
        {"write.bin", 100, 12, "write to flash fail\n"},
    };
    std::size_t boxes = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        frame_.Clear();
        SendFile(Make(row.name, Pattern(row.size)).c_str(), &frame_, true);
        EXPECT_EQ(frame_.Progress().back(),
                  (std::pair<std::int32_t, std::int64_t>{-16, row.status}));
        ASSERT_EQ(boxes_.Texts().size(), ++boxes);
        EXPECT_EQ(boxes_.Texts().back(), row.box);
    }
    EXPECT_EQ(PausesAfterFiles(), std::size(rows));

    // The silent instrument was waited for with the answer time-out.
    const auto timeouts = log_.TimeoutsOf(platform::Thread::CurrentId());
    EXPECT_NE(std::find(timeouts.begin(), timeouts.end(), 100000u), timeouts.end());

    // A file that cannot be opened ends quietly.
    frame_.Clear();
    SendFile((dir_ + "missing.dat").c_str(), &frame_, true);
    EXPECT_TRUE(frame_.Progress().empty());
    EXPECT_EQ(boxes_.Texts().size(), boxes);

    // After those failures the application image's flash is its own
    // "File Transfer OK", never the completed upgrade; a new run may end so.
    frame_.Clear();
    SendFile(Make("late.bin", Pattern(100)).c_str(), &frame_, false);
    EXPECT_EQ(frame_.Progress().back(), (std::pair<std::int32_t, std::int64_t>{-16, 8}));
    ForgetFailedFiles();
    SendFile(Make("fresh.bin", Pattern(100)).c_str(), &frame_, false);
    EXPECT_EQ(frame_.Progress().back(), (std::pair<std::int32_t, std::int64_t>{-16, 88}));
}

TEST_F(FileTransferTest, OverTheChecksumLimitOnlyTheBoxAppears) {
    Start();
    SendFile(Make("big.dat", Pattern(1310721)).c_str(), &frame_, true);
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"file size exceeds expectations!!! Abort!"});
    EXPECT_TRUE(frame_.Progress().empty());
    EXPECT_EQ(HeadersSeen(), 0u);
}

TEST_F(FileTransferTest, NameLongerThanTheHeaderFieldIsRefusedNotShortened) {
    Start();
    const std::string fits(42, 'n');
    SendFile(Make(fits, Pattern(5)).c_str(), &frame_, true);
    EXPECT_EQ(rig_->Protocol().Files().back().name, fits);

    frame_.Clear();
    const std::string tooLong = std::string(39, 'n') + ".bin";  // 43 characters
    SendFile(Make(tooLong, Pattern(5)).c_str(), &frame_, false);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_NE(boxes_.Texts()[0].find(tooLong), std::string::npos);
    EXPECT_TRUE(frame_.Progress().empty());
    EXPECT_EQ(HeadersSeen(), 1u);
}

TEST_F(FileTransferTest, WriteThatStallsPartWayStillSendsTheWholeFile) {
    Start("partial big.dat 1 4000\n");
    const Bytes content = Pattern(20000);
    SendFile(Make("big.dat", content).c_str(), &frame_, true);
    const auto file = rig_->Protocol().Files().back();
    EXPECT_TRUE(file.complete);
    EXPECT_EQ(file.bytes, content);
    EXPECT_EQ(FramesOfLastFile(), ExpectedFrames(20000));
    EXPECT_EQ(frame_.Progress().back(), (std::pair<std::int32_t, std::int64_t>{100, 0}));
    EXPECT_TRUE(boxes_.Texts().empty());
    // The stall after 3584 bytes (seven whole packets) ended the write at
    // once with that count, and the rest of the frame followed; no data
    // write had to wait for its time-out.
    const auto timeouts = log_.TimeoutsOf(platform::Thread::CurrentId());
    EXPECT_EQ(std::find(timeouts.begin(), timeouts.end(), 10000u), timeouts.end());
}

TEST_F(FileTransferTest, FlashResultThatNeverComesIsNotSuccess) {
    Start("silent app.bin flash\n");
    SendFile(Make("app.bin", Pattern(300)).c_str(), &frame_, false);
    const Progress got = frame_.Progress();
    EXPECT_EQ(got.back(), (std::pair<std::int32_t, std::int64_t>{-16, 0}));
    EXPECT_EQ(std::count(got.begin(), got.end(), std::pair<std::int32_t, std::int64_t>{-16, 88}),
              0);
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"unknown error; opcode is 0x0\n"});
}

TEST_F(FileTransferTest, InstrumentVanishingDuringTheFlashIsNotSuccess) {
    // The instrument takes the file, then vanishes while writing it to flash.
    Start("flash-time 200000\nvanish tpro.boot flash\n");
    SendFile(Make("tpro.boot", Pattern(300)).c_str(), &frame_, false);
    EXPECT_EQ(frame_.Progress().back(), (std::pair<std::int32_t, std::int64_t>{-16, 0}));
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"unknown error; opcode is 0x0\n"});
}

TEST_F(FileTransferTest, FilesTheHeaderCannotAnnounceAreRefused) {
    Start();
    // 4 GiB without a checksum (a sparse file: nothing is really written).
    const std::string huge = dir_ + "huge.bin";
    const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 0x100000000LL), 0);
    ::close(fd);
    SendFile(huge.c_str(), &frame_, false);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_NE(boxes_.Texts()[0].find("huge.bin"), std::string::npos);
    EXPECT_TRUE(frame_.Progress().empty());
    EXPECT_EQ(HeadersSeen(), 0u);
}

TEST_F(FileTransferTest, OnlyRegularFilesAreSent) {
    Start();
    ASSERT_EQ(::mkdir((dir_ + "sub.bin").c_str(), 0700), 0);
    SendFile((dir_ + "sub.bin").c_str(), &frame_, false);
    // A FIFO with no writer is never opened (the open would wait for good).
    ASSERT_EQ(::mkfifo((dir_ + "pipe.dat").c_str(), 0600), 0);
    SendFile((dir_ + "pipe.dat").c_str(), &frame_, true);
    // A link is not followed, even to a regular file.
    ASSERT_EQ(::symlink("/etc/hostname", (dir_ + "link.dat").c_str()), 0);
    SendFile((dir_ + "link.dat").c_str(), &frame_, true);
    EXPECT_TRUE(frame_.Progress().empty());
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_EQ(HeadersSeen(), 0u);
}

TEST_F(FileTransferTest, FileThatCannotBeReadAfterItsHeaderEndsItsProgressAndIsNamed) {
    Start();
    // The process's own memory is a regular file of no size whose read at
    // offset 0 fails.
    SendFile("/proc/self/mem", &frame_, false);
    EXPECT_EQ(HeadersSeen(), 1u);
    EXPECT_EQ(frame_.Progress(), (Progress{{-2, 0}, {-1, 0}}));
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0].rfind("mem: ", 0), 0u) << boxes_.Texts()[0];
    EXPECT_EQ(PausesAfterFiles(), 1u);
}

// The close's stop coming while the worker reports a step of the file: the
// frame asks for it when it hears the notification `at`.
class StoppingFrame : public testsupport::NotificationRecorder {
  public:
    explicit StoppingFrame(std::pair<std::int32_t, std::int64_t> at) : at_(at) {}
    platform::LRESULT WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override {
        const platform::LRESULT result = NotificationRecorder::WindowProc(message, wParam, lParam);
        if (message == WM_UPGRADE_PROGRESS && ProgressValue(wParam) == at_.first &&
            (at_.first == PROGRESS_START || lParam == at_.second)) {
            RequestRunStop();
        }
        return result;
    }

  private:
    std::pair<std::int32_t, std::int64_t> at_;
};

TEST_F(FileTransferTest, AfterTheStopNoFrameGoesAndNoAnswerIsReported) {
    Start("flash-result app.bin write-fail\n");
    // The stop as the flash wait begins: the failure the instrument had
    // already queued is read after it and not reported.
    StoppingFrame atFlash({PROGRESS_STATUS, STATUS_FLASHING});
    SendFile(Make("app.bin", Pattern(300)).c_str(), &atFlash, false);
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_EQ(atFlash.Progress().back(), (std::pair<std::int32_t, std::int64_t>{-1, 0}));
    ASSERT_TRUE(StepsAtStop().has_value());
    EXPECT_EQ(StepsSoFar().framesBegun, StepsAtStop()->framesBegun);
    EXPECT_EQ(StepsSoFar().answersRead, StepsAtStop()->answersRead + 1);

    // The stop as the file's progress starts: its header never goes.
    testsupport::ClearRunStop();
    StoppingFrame atStart({PROGRESS_START, 0});
    SendFile(Make("next.dat", Pattern(300)).c_str(), &atStart, true);
    EXPECT_EQ(HeadersSeen(), 1u);
    EXPECT_EQ(atStart.Progress(), (Progress{{-2, 300}, {-1, 0}}));
    EXPECT_EQ(StepsSoFar().framesBegun, StepsAtStop()->framesBegun);
    EXPECT_TRUE(boxes_.Texts().empty());
}

}  // namespace
}  // namespace kestrup
