// The campaign's share for the ThreadSanitizer run: fewer runs, other seeds,
// through the same engine threads (detection, worker, the simulated device's
// timers) with closes and stops at random moments.
#include <gtest/gtest.h>

#include "tests/campaign/CampaignRun.h"

namespace campaign {
namespace {

class EngineCampaignThreadTest : public ::testing::TestWithParam<int> {};

TEST_P(EngineCampaignThreadTest, EveryRunKeepsTheInvariants) {
    for (int i = 0; i < 5; ++i) {
        const CampaignPlan plan = CampaignPlan::Draw(
            5000 + static_cast<std::uint64_t>(GetParam()) * 5 + static_cast<std::uint64_t>(i), true,
            false);
        const RunReport report = CampaignRun::OnEngine(plan, 1);
        EXPECT_TRUE(report.Passed()) << CampaignRun::Describe(plan, report, CampaignRun::KeepDir());
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, EngineCampaignThreadTest, ::testing::Range(0, 8));

}  // namespace
}  // namespace campaign
