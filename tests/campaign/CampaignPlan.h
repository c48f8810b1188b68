#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace campaign {

// The kinds of fault a run can meet; one is drawn per run.
enum class FaultKind {
    None,         // a healthy instrument
    Silence,      // no answer to a header, a data frame or a flash
    LateUnder,    // an answer late, but within its wait
    LateOver,     // an answer later than its wait
    AnswerByte,   // an unknown or failing answer byte
    Vanish,       // the instrument unplugged instead of an answer
    Partial,      // a data frame's write stalls part-way
    FlashFails,   // the instrument reports an erase or write failure
    FlashUnder,   // flashing takes almost the whole flash wait
    FlashOver,    // flashing takes longer than the flash wait
    AttachLate,   // the instrument appears a while after the command
    AttachNever,  // no instrument ever appears
    StartSilent,  // the opening request is not answered
    StartAnswer,  // the opening request is answered with something other than 4
    Capacity,     // the largest file is over the instrument's capacity
    kCount
};
const char* FaultName(FaultKind kind);

// What happens to the run from outside, at a moment drawn in program time.
enum class Interruption { None, Close, Stop };
const char* InterruptionName(Interruption kind);

struct PackageFile {
    std::string name;
    std::string contents;
};

// One whole-upgrade run, drawn from a seed: the package, the scenario text
// for the simulated instrument, an interruption, and what must come of it,
// worked out from the package and the scenario alone.
struct CampaignPlan {
    std::uint64_t seed = 0;
    std::string packageName;         // the .pcg file name
    std::vector<PackageFile> files;  // package.inf excluded
    FaultKind fault = FaultKind::None;
    std::string scenario;  // the scenario file's text
    // The bulk pipes' packet size: 64 (full speed) for odd seeds, else 512.
    std::uint16_t packetSize = 512;
    Interruption interruption = Interruption::None;
    std::uint64_t interruptAtMs = 0;  // program time after the upgrade command

    // The expectation.
    bool expectSuccess = true;
    // The first failure status the main frame receives, and the first
    // message-box text; nullopt / empty for none.
    std::optional<std::int32_t> expectStatus;
    std::string expectBox;
    // The program time the run may take: the waits and time-outs it meets.
    std::uint64_t boundMs = 0;

    // withInterruption: whether a share of the runs gets a close or stop.
    // withoutApplication: whether a package may lack the application image.
    static CampaignPlan Draw(std::uint64_t seed, bool withInterruption, bool withoutApplication);

    // The package as a readable list (names and sizes).
    std::string PackageListing() const;
    // Writes the package, with a descriptor the scan lists, into directory
    // (ending with its separator). False when it could not be written.
    bool WritePackage(const std::string& directory) const;
    bool HasApplicationImage() const;
};

// The text a message box shows for an instrument answer (the low byte,
// taken with its sign), written out here as the failure tables give it.
std::string BoxTextFor(std::uint8_t answer);
// The status text the frame shows for a failure status, without the file
// name in front of it and without its line end.
std::string StatusTextFor(std::int32_t status);
// The status a failed answer byte reaches the frame with: 0x100 + the byte
// for those the frame shows as a status of their own, else the byte widened.
std::int32_t FailureStatusFor(std::uint8_t answer);

// The instrument's announced size for a file of `length` bytes, and the
// number of data frames it takes (the empty frame after a last frame of 8191
// or more bytes included).
std::uint32_t AnnouncedBytes(std::size_t length);
std::uint32_t FrameCount(std::size_t length);

}  // namespace campaign
