#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/campaign/CampaignPlan.h"

namespace campaign {

// What one run came to, and every invariant it broke.
struct RunReport {
    bool reportedSuccess = false;
    bool interrupted = false;  // the close or stop came before the run had ended
    bool hang = false;         // the run outlived its bound many times over
    std::uint64_t elapsedMs = 0;
    std::uint64_t limitMs = 0;  // the plan's bound plus the allowance for real work
    std::vector<std::string> violations;

    bool Passed() const { return violations.empty(); }
};

// Runs plans as whole upgrades on the simulated instrument, with program time
// scaled: through the real engine and transport below the user interface, or
// through the whole program in its unattended mode (Program::Run with
// --simulate --scenario FILE --upgrade NAME; needs Qt's application object).
class CampaignRun {
  public:
    // microsPerMs: the time facility's scale for the run.
    static RunReport OnEngine(const CampaignPlan& plan, std::uint32_t microsPerMs);
    static RunReport OnProgram(const CampaignPlan& plan, std::uint32_t microsPerMs);
    // Qt opens descriptors of its own during the first runs of the program
    // in a process and keeps them: two runs before the counted ones, so that
    // the descriptors compare like with like.
    static void WarmUpProgram();

    // A failed run's account: its seed, fault, package and scenario, and how
    // to replay it (the scenario and the package are kept under `keepDir`).
    static std::string Describe(const CampaignPlan& plan, const RunReport& report,
                                const std::string& keepDir);

    // Where failed runs are kept: a private directory of this process,
    // made on first use under $TMPDIR (or /tmp) as kestrup-campaign-XXXXXX,
    // so that suites running at once never write over each other's runs.
    static std::string KeepDir();

    // The process's descriptors, sorted, each as "DEVICE:INODE NAME",
    // leaving out the kinds that libraries and runtimes open and close on
    // threads of their own while the program runs (event descriptors of Qt's
    // event loops, files under /proc): the program opens none of those in
    // these runs.
    static std::vector<std::string> OpenDescriptors();
    // Whether two lists hold the same descriptors, told apart by what they
    // refer to, not by name: a file that another process renames or deletes
    // meanwhile (ctest's log, which every test inherits) is still the one
    // that was open before.
    static bool SameDescriptors(const std::vector<std::string>& before,
                                const std::vector<std::string>& after);
    // Adds to the report the descriptors and the program's threads that a run
    // left behind (or took away).
    static void CheckWhatIsLeft(const std::vector<std::string>& descriptorsBefore,
                                std::size_t threadsBefore, RunReport& report);
    // The descriptors in `after` that `before` did not hold, as a list.
    static std::string NewDescriptors(const std::vector<std::string>& before,
                                      const std::vector<std::string>& after);
};

}  // namespace campaign
