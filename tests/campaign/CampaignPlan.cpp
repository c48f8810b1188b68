#include "tests/campaign/CampaignPlan.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>

#include "tests/support/ArchiveWriter.h"

namespace campaign {
namespace {

// The protocol's numbers, written out here rather than taken from the
// engine, so that the expectation does not lean on the code it checks.
constexpr std::size_t kChunk = 8191;
constexpr std::uint32_t kAnswerWaitMs = 100000;
constexpr std::uint32_t kFlashWaitMs = 1200000;
constexpr std::uint32_t kDetectionPassMs = 5000;
constexpr std::uint32_t kDetectionPasses = 12;
constexpr std::uint32_t kStartWaitMs = 4000;
constexpr std::uint32_t kPauseMs = 1000;
constexpr std::uint8_t kFileData = 3;

constexpr std::size_t kEdgeSizes[] = {0, 62, 63, 64, 8190, 8191, 8192, 16383};
constexpr std::size_t kLargeSizes[] = {24573, 65537, 150000};

std::int32_t Widened(std::uint8_t answer) {
    return static_cast<std::int32_t>(static_cast<std::int8_t>(answer));
}

// The length of data frame `index` (from 1) of a file, pad byte included.
std::size_t FrameLength(std::size_t length, std::uint32_t index) {
    const std::size_t before = std::min(length, static_cast<std::size_t>(index - 1) * kChunk);
    const std::size_t n = std::min(kChunk, length - before);
    std::size_t frame = n + 1;
    if (frame < kChunk + 1 && frame % 64 == 0) {
        ++frame;
    }
    return frame;
}

bool IsImageName(const std::string& name) {
    return name.find(".bin") != std::string::npos || name.find(".boot") != std::string::npos;
}

// A name of exactly 42 characters ending in `suffix`.
std::string LongName(const std::string& stem, const std::string& suffix) {
    std::string name = stem;
    name.append(42 - stem.size() - suffix.size(), 'n');
    return name + suffix;
}

class Draws {
  public:
    explicit Draws(std::uint64_t seed) : rng_(seed) {}
    std::size_t Pick(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    std::uint64_t Between(std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(rng_);
    }
    std::string Bytes(std::size_t n) {
        std::string text(n, '\0');
        for (std::size_t i = 0; i < n; i += 8) {
            std::uint64_t word = rng_();
            for (std::size_t j = i; j < std::min(n, i + 8); ++j, word >>= 8) {
                text[j] = static_cast<char>(word & 0xFF);
            }
        }
        return text;
    }
    std::size_t Size() {
        return Chance(0.85) ? kEdgeSizes[Pick(std::size(kEdgeSizes))]
                            : kLargeSizes[Pick(std::size(kLargeSizes))];
    }
    // An answer byte that is not the expected one (`normal`) nor `also`.
    std::uint8_t OddAnswer(std::uint8_t normal, std::uint8_t also) {
        static constexpr std::uint8_t kKnown[] = {5, 9, 10, 11, 12};
        // Bytes the frame has texts of its own for (8, 13 to 16, 18, 88)
        // too: as failures they must not read as those.
        static constexpr std::uint8_t kOther[] = {0,  1,  2,  3,  6,  7,  8,
                                                  13, 14, 15, 16, 18, 88, 0x7F};
        while (true) {
            std::uint8_t b = 0;
            const double p = std::uniform_real_distribution<double>(0, 1)(rng_);
            if (p < 0.5) {
                b = kKnown[Pick(std::size(kKnown))];
            } else if (p < 0.8) {
                b = static_cast<std::uint8_t>(Between(0x80, 0xFF));
            } else {
                b = kOther[Pick(std::size(kOther))];
            }
            if (b != normal && b != also) {
                return b;
            }
        }
    }

  private:
    std::mt19937_64 rng_;
};

// A point in the conversation: 0 the header, 1.. a data frame, kFlash.
constexpr std::uint32_t kFlash = 0xFFFFFFFFu;

std::string PointText(const std::string& file, std::uint32_t frame) {
    return file + " " +
           (frame == 0        ? std::string("header")
            : frame == kFlash ? "flash"
                              : std::to_string(frame));
}

}  // namespace

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::None:
            return "none";
        case FaultKind::Silence:
            return "silence";
        case FaultKind::LateUnder:
            return "late-under-wait";
        case FaultKind::LateOver:
            return "late-over-wait";
        case FaultKind::AnswerByte:
            return "answer-byte";
        case FaultKind::Vanish:
            return "vanish";
        case FaultKind::Partial:
            return "partial-write";
        case FaultKind::FlashFails:
            return "flash-fails";
        case FaultKind::FlashUnder:
            return "flash-near-limit-under";
        case FaultKind::FlashOver:
            return "flash-near-limit-over";
        case FaultKind::AttachLate:
            return "attach-late";
        case FaultKind::AttachNever:
            return "attach-never";
        case FaultKind::StartSilent:
            return "start-silent";
        case FaultKind::StartAnswer:
            return "start-answer";
        case FaultKind::Capacity:
            return "capacity";
        case FaultKind::kCount:
            break;
    }
    return "?";
}

const char* InterruptionName(Interruption kind) {
    switch (kind) {
        case Interruption::None:
            return "none";
        case Interruption::Close:
            return "close";
        case Interruption::Stop:
            return "stop";
    }
    return "?";
}

std::string BoxTextFor(std::uint8_t answer) {
    switch (Widened(answer)) {
        case 5:
            return "Packet Error\n";
        case 9:
            return "file size fail\n";
        case 10:
            return "CRC fail\n";
        case 11:
            return "flash erase fail\n";
        case 12:
            return "write to flash fail\n";
        default: {
            char text[64];
            std::snprintf(text, sizeof text, "unknown error; opcode is 0x%X\n",
                          static_cast<unsigned>(Widened(answer)));
            return text;
        }
    }
}

std::int32_t FailureStatusFor(std::uint8_t answer) {
    switch (answer) {
        case 8:
        case 13:
        case 14:
        case 15:
        case 16:
        case 18:
        case 88:
            return 0x100 + answer;
        default:
            return Widened(answer);
    }
}

std::string StatusTextFor(std::int32_t status) {
    if (status > 0x100 && status < 0x180) {
        status -= 0x100;  // an answer that would read as a status of its own
        char text[64];
        std::snprintf(text, sizeof text, "TimeOut Or Unknown Error; Opcode is 0x%X",
                      static_cast<unsigned>(status));
        return text;
    }
    switch (status) {
        case 5:
            return "Packet Error";
        case 9:
            return "File Size Failed";
        case 10:
            return "CRC Failed";
        case 11:
            return "Flash Erase Failed";
        case 12:
            return "Flash Write Failed";
        case 15:
            return "Failed to detect the device. Please try again.";
        default: {
            char text[64];
            std::snprintf(text, sizeof text, "TimeOut Or Unknown Error; Opcode is 0x%X",
                          static_cast<unsigned>(status));
            return text;
        }
    }
}

std::uint32_t AnnouncedBytes(std::size_t length) {
    return static_cast<std::uint32_t>(((length % kChunk) + 1) % 64 == 0 ? length + 1 : length);
}

std::uint32_t FrameCount(std::size_t length) {
    std::uint32_t frames = 0;
    std::size_t left = length;
    while (true) {
        const std::size_t n = std::min(left, kChunk);
        left -= n;
        ++frames;
        std::size_t frame = n + 1;
        if (frame < kChunk + 1 && frame % 64 == 0) {
            ++frame;
        }
        if (frame < kChunk) {
            return frames;
        }
    }
}

bool CampaignPlan::HasApplicationImage() const {
    return std::any_of(files.begin(), files.end(), [](const PackageFile& f) {
        return f.name.find(".bin") != std::string::npos;
    });
}

std::string CampaignPlan::PackageListing() const {
    std::ostringstream text;
    for (const PackageFile& f : files) {
        text << f.name << " (" << f.contents.size() << " bytes) ";
    }
    return text.str();
}

CampaignPlan CampaignPlan::Draw(std::uint64_t seed, bool withInterruption,
                                bool withoutApplication) {
    Draws draw(seed);
    CampaignPlan plan;
    plan.seed = seed;
    plan.packageName = "TPro_Campaign.pcg";

    // The package: a few data files, perhaps a boot image, an application
    // image (or, in the unattended share, sometimes none).
    const std::size_t dataFiles = draw.Pick(4);
    static const char* kExtensions[] = {".dat", ".txt", ".cfg"};
    for (std::size_t i = 0; i < dataFiles; ++i) {
        const std::string stem = "d" + std::to_string(i);
        const std::string ext = kExtensions[draw.Pick(3)];
        plan.files.push_back(
            {draw.Chance(0.25) ? LongName(stem, ext) : stem + ext, draw.Bytes(draw.Size())});
    }
    if (draw.Chance(0.6)) {
        plan.files.push_back(
            {draw.Chance(0.25) ? LongName("boot", ".boot") : "boot.boot", draw.Bytes(draw.Size())});
    }
    if (!withoutApplication || draw.Chance(0.7) || plan.files.empty()) {
        plan.files.push_back(
            {draw.Chance(0.25) ? LongName("app", ".bin") : "app.bin", draw.Bytes(draw.Size())});
    }
    std::size_t images = 0;
    for (const PackageFile& f : plan.files) {
        images += IsImageName(f.name) ? 1 : 0;
    }

    // The fault. Kinds that need an image fall back to a healthy run
    // without one; the slow flash kinds are drawn less often.
    auto kind = static_cast<FaultKind>(draw.Pick(static_cast<std::size_t>(FaultKind::kCount)));
    if ((kind == FaultKind::FlashUnder || kind == FaultKind::FlashOver) && draw.Chance(0.6)) {
        kind = FaultKind::LateUnder;
    }
    if ((kind == FaultKind::FlashFails || kind == FaultKind::FlashUnder ||
         kind == FaultKind::FlashOver) &&
        images == 0) {
        kind = FaultKind::None;
    }
    std::uint32_t maxAnnounced = 0;
    for (const PackageFile& f : plan.files) {
        maxAnnounced = std::max(maxAnnounced, AnnouncedBytes(f.contents.size()));
    }
    if (kind == FaultKind::Capacity && maxAnnounced == 0) {
        kind = FaultKind::None;
    }
    plan.fault = kind;

    std::vector<std::string> lines;
    lines.push_back("# campaign seed " + std::to_string(seed) + ": " + FaultName(kind));
    std::uint64_t flashTimeMs = 0;
    std::uint64_t attachMs = 0;
    std::uint64_t extraMs = 0;  // what the fault adds to the run's waits
    std::string target;         // the file the fault is aimed at

    const PackageFile* file = &plan.files[draw.Pick(plan.files.size())];
    const bool image = IsImageName(file->name);
    const std::uint32_t frames = FrameCount(file->contents.size());
    // A point of the file: its header, a data frame, or (images) the flash.
    // timing: for an image, not its last frame, whose answer the instrument
    // gives before flashing: delayed or left out there, the flash result
    // would come first, which no instrument does.
    const auto drawPoint = [&](bool timing = false) {
        const std::size_t choices = frames + 1 + (image ? 1 : 0);
        while (true) {
            const std::size_t at = draw.Pick(choices);
            if (at > frames) {
                return kFlash;
            }
            if (!(timing && image && at == frames)) {
                return static_cast<std::uint32_t>(at);
            }
        }
    };
    const auto waitAt = [](std::uint32_t frame) {
        return frame == kFlash ? kFlashWaitMs : kAnswerWaitMs;
    };
    // The failure a missing answer gives: the byte left in the buffer, which
    // is the data frame's opcode after a data frame and zero elsewhere.
    const auto missing = [&](std::uint32_t frame) {
        const std::uint8_t left = frame != 0 && frame != kFlash ? kFileData : 0;
        plan.expectSuccess = false;
        plan.expectStatus = Widened(left);
        plan.expectBox = BoxTextFor(left);
    };

    switch (kind) {
        case FaultKind::None:
        case FaultKind::kCount:
            break;
        case FaultKind::Silence: {
            const std::uint32_t at = drawPoint(true);
            lines.push_back("silent " + PointText(file->name, at));
            missing(at);
            extraMs += waitAt(at);
            target = file->name;
            break;
        }
        case FaultKind::LateUnder:
        case FaultKind::LateOver: {
            const std::uint32_t at = drawPoint(true);
            const std::uint32_t wait = waitAt(at);
            const std::uint64_t delay = kind == FaultKind::LateUnder
                                            ? wait * draw.Between(55, 75) / 100
                                            : wait * draw.Between(130, 160) / 100;
            lines.push_back("delay " + PointText(file->name, at) + " " + std::to_string(delay));
            if (kind == FaultKind::LateOver) {
                missing(at);
                extraMs += wait;
            } else {
                extraMs += delay;
            }
            target = file->name;
            break;
        }
        case FaultKind::AnswerByte: {
            const std::uint32_t at = drawPoint();
            const std::uint8_t b = at == 0        ? draw.OddAnswer(4, 4)
                                   : at == kFlash ? draw.OddAnswer(8, 8)
                                                  : draw.OddAnswer(4, 8);
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", b);
            lines.push_back("answer " + PointText(file->name, at) + " " + hex);
            plan.expectSuccess = false;
            plan.expectStatus = FailureStatusFor(b);
            plan.expectBox = BoxTextFor(b);
            target = file->name;
            break;
        }
        case FaultKind::Vanish: {
            const std::uint32_t at = drawPoint();
            lines.push_back("vanish " + PointText(file->name, at));
            missing(at);
            if (at == kFlash) {
                // Unplugged while flashing, not in the middle of the answer
                // to the last frame.
                flashTimeMs = draw.Between(2000, 5000);
            }
            target = file->name;
            break;
        }
        case FaultKind::Partial: {
            // Any data frame that carries bytes; the rest goes with the next write.
            const std::uint32_t at = static_cast<std::uint32_t>(draw.Between(1, frames));
            const std::size_t length = FrameLength(file->contents.size(), at);
            if (length > 1) {
                lines.push_back("partial " + PointText(file->name, at) + " " +
                                std::to_string(draw.Between(0, length - 1)));
            }
            target = file->name;
            break;
        }
        case FaultKind::FlashFails: {
            for (const PackageFile& f : plan.files) {
                if (IsImageName(f.name) && (target.empty() || draw.Chance(0.5))) {
                    target = f.name;
                }
            }
            const bool erase = draw.Chance(0.5);
            lines.push_back("flash-result " + target + (erase ? " erase-fail" : " write-fail"));
            plan.expectSuccess = false;
            plan.expectStatus = erase ? 11 : 12;
            plan.expectBox = BoxTextFor(erase ? 11 : 12);
            break;
        }
        case FaultKind::FlashUnder:
            flashTimeMs = kFlashWaitMs * draw.Between(85, 92) / 100;
            break;
        case FaultKind::FlashOver:
            flashTimeMs = kFlashWaitMs * draw.Between(110, 120) / 100;
            missing(kFlash);
            break;
        case FaultKind::AttachLate:
            attachMs = draw.Between(1000, 40000);
            break;
        case FaultKind::AttachNever:
            lines.push_back("attach-delay 100000000");
            plan.expectSuccess = false;
            plan.expectStatus = 15;
            extraMs += kDetectionPasses * kDetectionPassMs;
            break;
        case FaultKind::StartSilent:
            lines.push_back("start-answer silent");
            plan.expectSuccess = false;
            plan.expectStatus = 15;
            extraMs += kStartWaitMs;
            break;
        case FaultKind::StartAnswer: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", draw.OddAnswer(4, 4));
            lines.push_back(std::string("start-answer ") + hex);
            plan.expectSuccess = false;
            plan.expectStatus = 15;
            break;
        }
        case FaultKind::Capacity:
            lines.push_back("capacity " + std::to_string(maxAnnounced - 1));
            plan.expectSuccess = false;
            plan.expectStatus = 9;
            plan.expectBox = BoxTextFor(9);
            break;
    }

    // Harmless noise besides the fault, at other files: a short flash time,
    // an answer a little late, a stalled write.
    if (flashTimeMs == 0 && images > 0 && draw.Chance(0.3)) {
        flashTimeMs = draw.Between(0, 5000);
    }
    if (flashTimeMs != 0) {
        lines.push_back("flash-time " + std::to_string(flashTimeMs));
    }
    if (attachMs != 0) {
        lines.push_back("attach-delay " + std::to_string(attachMs));
    }
    for (const PackageFile& f : plan.files) {
        if (f.name == target || !draw.Chance(0.2)) {
            continue;
        }
        const std::uint32_t fileFrames = FrameCount(f.contents.size());
        const auto at = static_cast<std::uint32_t>(
            draw.Between(0, IsImageName(f.name) ? fileFrames - 1 : fileFrames));
        const std::uint64_t delay = draw.Between(0, 2000);
        lines.push_back("delay " + PointText(f.name, at) + " " + std::to_string(delay));
        extraMs += delay;
    }

    // From the seed, not the draws: every seed keeps the run it had.
    plan.packetSize = seed % 2 == 1 ? 64 : 512;
    if (plan.packetSize != 512) {
        lines.push_back("packet-size " + std::to_string(plan.packetSize));
    }
    for (const std::string& line : lines) {
        plan.scenario += line + "\n";
    }
    // The waits the run meets: detection (and a late instrument), the pause
    // after each file, the flash of each image, and what the fault adds.
    plan.boundMs = 2 * kDetectionPassMs + attachMs + plan.files.size() * 2 * kPauseMs +
                   images * flashTimeMs + extraMs + 5000;
    if (kind == FaultKind::FlashOver) {
        plan.boundMs += images * kFlashWaitMs;
    }
    if (!plan.expectSuccess && kind != FaultKind::AttachNever && kind != FaultKind::StartSilent &&
        kind != FaultKind::StartAnswer) {
        // A failed file may leave a late answer behind that a later file
        // reads; allow one more answer wait for it.
        plan.boundMs += kAnswerWaitMs;
    }

    if (withInterruption && draw.Chance(0.25)) {
        plan.interruption = draw.Chance(0.7) ? Interruption::Close : Interruption::Stop;
        plan.interruptAtMs = draw.Between(0, plan.boundMs);
    }
    return plan;
}

bool CampaignPlan::WritePackage(const std::string& directory) const {
    testsupport::ArchiveWriter zip(directory + packageName);
    zip.File("package.inf", "[PACKAGE]\nDescription=Talvenmark Pro software\n");
    for (const PackageFile& f : files) {
        zip.File(f.name, f.contents);
    }
    return zip.Close();
}

}  // namespace campaign
