// The instrument's answers as the engine reads them: a simulated instrument
// on the real transport whose every answer (byte, delay, silence, vanishing,
// a stalled write, the flash outcome and time) the input decides, while the
// engine sends one file. Time runs at a thousandth, so the protocol's
// time-outs cost milliseconds. Checked after every input: the file's
// transfer ends within its time-outs, and a success is reported only when the instrument holds
// the file byte for byte and every answer it gave on the way was an
// acknowledgement; with no fault at all, the transfer succeeds.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/FileTransfer.h"
#include "engine/Notifications.h"
#include "engine/Protocol.h"
#include "fuzz/FuzzScratch.h"
#include "platform/FileSystem.h"
#include "platform/TimeFacility.h"
#include "sim/Scenario.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/SimulatedRig.h"
#include "usb/CUsbPipe.h"

using fuzzsupport::Violation;

namespace {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t Word() {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Sizes around the framing's edges (one chunk is 8191 bytes; a frame whose
// length is a multiple of 64 is padded).
constexpr std::size_t kSizes[] = {0, 1, 62, 63, 64, 8126, 8190, 8191, 8192, 16382, 16383, 20000};
constexpr const char* kNames[] = {"data.dat", "app.bin", "loader.boot", "app.bin"};
// Answer delays: none, short, just under, just over and well over the answer
// time-out.
constexpr std::uint32_t kDelays[] = {0, 1, 50, 9000, 90000, 120000, 300000};
constexpr std::uint32_t kFlashTimes[] = {0, 20, 5000, 60000};
// Delays far enough from the time-out that the outcome does not depend on
// the scheduler, even on a loaded machine: with a program millisecond of one
// real microsecond, a tenth of a real second on either side. Between them
// either outcome is sound.
constexpr std::uint32_t kSurelyLate = 200000;
constexpr std::uint32_t kSurelyInTime = 10000;

std::vector<std::uint8_t> Content(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 12345;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

std::size_t DataFrames(std::size_t size) {
    return size / kestrup::kDataChunk + 1 + (size % kestrup::kDataChunk == 8190 ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t shape = in.Byte();
    const std::string name = kNames[shape & 3];
    const std::size_t length = kSizes[(shape >> 2) % std::size(kSizes)];
    const bool withChecksum = (shape & 0x80) != 0;
    const bool application = name.find(".bin") != std::string::npos;
    const bool image = application || name.find(".boot") != std::string::npos;
    const std::size_t frames = DataFrames(length);

    sim::Scenario scenario;
    const std::uint8_t flash = in.Byte();
    scenario.flashTimeMs = kFlashTimes[flash % std::size(kFlashTimes)];
    scenario.flash.push_back({name, (flash >> 2) % 5 == 3 ? sim::Scenario::FlashOutcome::EraseFails
                                    : (flash >> 2) % 5 == 4
                                        ? sim::Scenario::FlashOutcome::WriteFails
                                        : sim::Scenario::FlashOutcome::Ok});
    while (!in.Empty() && scenario.faults.size() < 8) {
        sim::Scenario::Fault fault;
        const std::uint8_t where = in.Byte();
        fault.at.file = (where & 0x80) != 0 ? "*" : name;
        const std::uint32_t frame = (where & 0x7F) % (frames + 2);
        fault.at.frame = frame == frames + 1 ? sim::Scenario::Point::kFlash : frame;
        const std::uint8_t action = in.Byte();
        const std::uint16_t parameter = in.Word();
        switch (action % 5) {
            case 0:
                fault.action = sim::Scenario::Action::Answer;
                fault.answer = static_cast<std::uint8_t>(parameter);
                break;
            case 1:
                // Silence at the flash answer would cost the whole flash
                // time-out; the instrument vanishes there instead.
                fault.action = fault.at.frame == sim::Scenario::Point::kFlash
                                   ? sim::Scenario::Action::Vanish
                                   : sim::Scenario::Action::Silent;
                break;
            case 2:
                fault.action = sim::Scenario::Action::Delay;
                fault.delayMs = kDelays[parameter % std::size(kDelays)];
                break;
            case 3:
                fault.action = sim::Scenario::Action::Vanish;
                break;
            default:
                fault.action = sim::Scenario::Action::Partial;
                fault.bytes = parameter % (kestrup::kDataFrameSize + 1);
                break;
        }
        scenario.faults.push_back(fault);
    }

    const std::vector<std::uint8_t> content = Content(length);
    const std::string path = fuzzsupport::ScratchDir() + "/" + name;
    fuzzsupport::WriteInput(path, content.data(), content.size());

    platform::TimeFacility::ScopedScale fast(1);
    testsupport::RecordingMessageBoxes boxes;
    testsupport::NotificationRecorder frame;
    std::vector<sim::InstrumentProtocol::File> received;
    {
        testsupport::SimulatedRig rig(scenario);
        if (!rig.Connect()) {
            Violation("the simulated instrument cannot be opened");
        }
        // The upgrade run is opened as the worker opens it, with no failed
        // file of an earlier input's run remembered.
        kestrup::ForgetFailedFiles();
        std::uint8_t request = kestrup::OP_START_UPGRADE;
        std::uint32_t one = 1;
        if (rig.Channel().Send(&request, one, kestrup::kStartWriteTimeoutMs) != 0 ||
            (one = 1,
             rig.Channel().InPipe()->ReadSync(&request, one, kestrup::kStartReadTimeoutMs)) != 0 ||
            request != kestrup::OP_ACK) {
            Violation("the simulated instrument does not open the upgrade");
        }
        const std::uint64_t began = platform::TimeFacility::NowMs();
        kestrup::SendFile(path.c_str(), &frame, withChecksum);
        // The transfer ends within the time-outs it can meet: the header's
        // write and answer, each data frame's write, the rest of a stalled
        // write and its answer, the flash answer and the pause after the
        // file, with a second of slack for a loaded machine.
        const std::uint64_t bound =
            kestrup::kHeaderWriteTimeoutMs + kestrup::kAnswerReadTimeoutMs +
            frames * (2 * kestrup::kDataWriteTimeoutMs + kestrup::kAnswerReadTimeoutMs) +
            (image ? kestrup::kFlashReadTimeoutMs : 0) + kestrup::kPauseAfterFileMs + 1000000;
        const std::uint64_t took = platform::TimeFacility::NowMs() - began;
        if (took > bound) {
            Violation("the transfer outlasted its time-outs",
                      std::to_string(took) + " ms > " + std::to_string(bound) + " ms");
        }
        received = rig.Protocol().Files();
    }

    // What the engine reported, as the window reads it.
    std::vector<std::int64_t> statuses;
    bool sawAll = false;
    for (const auto& [wParam, lParam] : frame.Progress()) {
        if (wParam == kestrup::PROGRESS_STATUS) {
            statuses.push_back(lParam);
        } else if (wParam == 100) {
            sawAll = true;
        }
    }
    bool badStatus = false;
    for (const std::int64_t s : statuses) {
        badStatus = badStatus || (s != kestrup::OP_FILE_OK && s != kestrup::STATUS_FLASHING &&
                                  s != kestrup::STATUS_UPGRADE_DONE);
    }
    bool success = boxes.Texts().empty() && !badStatus;
    if (application) {
        success = success && !statuses.empty() && statuses.back() == kestrup::STATUS_UPGRADE_DONE;
    } else if (image) {
        success = success && statuses.size() >= 2 && statuses.back() == kestrup::OP_FILE_OK &&
                  statuses[statuses.size() - 2] == kestrup::STATUS_FLASHING;
    } else if (length > 0) {
        success = success && sawAll;
    } else {
        success = false;  // an empty data file's end looks the same either way
    }

    // The instrument's side, read independently of the engine.
    // An image's flash answer is its flash outcome unless a fault there
    // answers something else instead.
    const sim::Scenario::Fault* atFlash = scenario.FaultAt(name, sim::Scenario::Point::kFlash);
    const bool flashAnswerReplaced =
        atFlash != nullptr && atFlash->action == sim::Scenario::Action::Answer;
    bool allAcknowledged = !image || flashAnswerReplaced ||
                           scenario.FlashOutcomeFor(name) == sim::Scenario::FlashOutcome::Ok;
    bool anyFault = !allAcknowledged;
    for (std::uint32_t i = 0; i <= frames + 1; ++i) {
        const std::uint32_t point = i == frames + 1 ? sim::Scenario::Point::kFlash : i;
        if (point == sim::Scenario::Point::kFlash && !image) {
            continue;
        }
        const sim::Scenario::Fault* fault = scenario.FaultAt(name, point);
        if (fault == nullptr) {
            continue;
        }
        anyFault = anyFault || fault->action != sim::Scenario::Action::Delay ||
                   fault->delayMs > kSurelyInTime;
        switch (fault->action) {
            case sim::Scenario::Action::Answer:
                allAcknowledged = allAcknowledged && (fault->answer == kestrup::OP_ACK ||
                                                      fault->answer == kestrup::OP_FILE_OK);
                break;
            case sim::Scenario::Action::Silent:
            case sim::Scenario::Action::Vanish:
                allAcknowledged = false;
                break;
            case sim::Scenario::Action::Delay:
                // Late only past the answer time-out; the flash answer has
                // twenty minutes, longer than any delay drawn.
                allAcknowledged = allAcknowledged && (point == sim::Scenario::Point::kFlash ||
                                                      fault->delayMs < kSurelyLate);
                break;
            case sim::Scenario::Action::Partial:
                break;
        }
    }

    std::string reported = name + ":";
    for (const auto& [wParam, lParam] : frame.Progress()) {
        reported += " (" + std::to_string(wParam) + "," + std::to_string(lParam) + ")";
    }
    for (const std::string& text : boxes.Texts()) {
        reported += " [" + text + "]";
    }
    if (success) {
        if (!allAcknowledged) {
            Violation("success reported although the instrument did not acknowledge", reported);
        }
        std::vector<std::uint8_t> padded = content;
        padded.resize(kestrup::AnnouncedSize(length), 0);
        if (received.empty() || received.back().name != name || !received.back().complete ||
            received.back().bytes != padded) {
            Violation("success reported but the instrument does not hold the file", reported);
        }
    } else if (!anyFault && length > 0) {
        Violation("a transfer without any fault was not reported as a success", reported);
    }
    return 0;
}
