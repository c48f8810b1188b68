// The campaign's unattended share: whole runs of the program with
// --simulate --scenario FILE --upgrade NAME, some packages without the
// application image; exit 0 and "Result: upgrade succeeded" exactly when the
// package and the fault say the upgrade succeeds, and the first message box
// the one the failure tables give.
#include <gtest/gtest.h>

#include "tests/campaign/CampaignRun.h"

namespace campaign {
namespace {

class ProgramCampaignTest : public ::testing::TestWithParam<int> {
  protected:
    static void SetUpTestSuite() { CampaignRun::WarmUpProgram(); }
};

TEST_P(ProgramCampaignTest, EveryRunKeepsTheInvariants) {
    for (int i = 0; i < 5; ++i) {
        const CampaignPlan plan = CampaignPlan::Draw(
            9000 + static_cast<std::uint64_t>(GetParam()) * 5 + static_cast<std::uint64_t>(i),
            false, true);
        const RunReport report = CampaignRun::OnProgram(plan, 1);
        EXPECT_TRUE(report.Passed()) << CampaignRun::Describe(plan, report, CampaignRun::KeepDir());
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ProgramCampaignTest, ::testing::Range(0, 8));

// Seeds of campaign_runner that found faults: an empty boot or application
// image flashed correctly failed the unattended run.
TEST_F(ProgramCampaignTest, SeedsThatFoundFaults) {
    for (const std::uint64_t seed : {100309u, 100703u, 100708u}) {
        const CampaignPlan plan = CampaignPlan::Draw(seed, false, true);
        const RunReport report = CampaignRun::OnProgram(plan, 1);
        EXPECT_TRUE(report.Passed()) << CampaignRun::Describe(plan, report, CampaignRun::KeepDir());
    }
}

}  // namespace
}  // namespace campaign
