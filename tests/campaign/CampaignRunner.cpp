// campaign_runner: the fault campaign on demand.
//
//   campaign_runner [--runs N] [--seed S] [--program-share PERCENT] [--scale MICROS]
//
// Runs N plans drawn from seeds S, S+1, ... (a share through the whole
// program in its unattended mode, the rest below the user interface with
// closes and stops at random moments), prints every failing run with its
// replay, and ends with the figures: runs, faults by kind, outcomes, false
// successes, hangs and the longest run against its bound. Exit status 1
// when any run broke an invariant.
#include <QtWidgets/QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tests/campaign/CampaignRun.h"

int main(int argc, char** argv) {
    std::uint64_t runs = 1000;
    std::uint64_t seed = 1;
    std::uint64_t programShare = 10;
    std::uint32_t scale = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = value;
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = value;
        } else if (std::strcmp(argv[i], "--program-share") == 0) {
            programShare = value;
        } else if (std::strcmp(argv[i], "--scale") == 0 && value > 0) {
            scale = static_cast<std::uint32_t>(value);
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--runs N] [--seed S] [--program-share PERCENT] [--scale MICROS]\n",
                argv[0]);
            return 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    if (programShare > 0) {
        campaign::CampaignRun::WarmUpProgram();
    }

    using campaign::CampaignPlan;
    using campaign::CampaignRun;
    std::map<std::string, std::uint64_t> faults;
    std::map<std::string, std::uint64_t> outcomes;
    std::uint64_t failed = 0, falseSuccesses = 0, hangs = 0, programRuns = 0;
    double worstShare = 0;
    std::string worst;
    const auto started = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < runs; ++i) {
        const bool program = (seed + i) % 100 < programShare;
        const CampaignPlan plan = CampaignPlan::Draw(seed + i, !program, program);
        const campaign::RunReport report =
            program ? CampaignRun::OnProgram(plan, scale) : CampaignRun::OnEngine(plan, scale);
        programRuns += program ? 1 : 0;
        ++faults[campaign::FaultName(plan.fault)];
        ++outcomes[report.interrupted ? std::string("interrupted (") +
                                            campaign::InterruptionName(plan.interruption) + ")"
                   : report.reportedSuccess ? "succeeded"
                                            : "failed"];
        for (const std::string& v : report.violations) {
            falseSuccesses +=
                v.rfind("false success", 0) == 0 || v.rfind("failure expected", 0) == 0 ? 1 : 0;
        }
        hangs += report.hang ? 1 : 0;
        const double share =
            static_cast<double>(report.elapsedMs) / static_cast<double>(plan.boundMs);
        if (share > worstShare) {
            worstShare = share;
            worst = "seed " + std::to_string(plan.seed) + " (" + campaign::FaultName(plan.fault) +
                    "): " + std::to_string(report.elapsedMs) + " ms against a bound of " +
                    std::to_string(plan.boundMs) + " ms of waits (" +
                    std::to_string(report.limitMs) + " ms with the allowance for real work)";
        }
        if (!report.Passed()) {
            ++failed;
            std::printf("%s\n",
                        CampaignRun::Describe(plan, report, CampaignRun::KeepDir()).c_str());
        }
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    std::printf("runs: %llu (%llu through the whole program), seeds %llu to %llu, %lld s\n",
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(programRuns),
                static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed + runs - 1), static_cast<long long>(seconds));
    std::printf("faults by kind:\n");
    for (const auto& [name, count] : faults) {
        std::printf("  %-24s %llu\n", name.c_str(), static_cast<unsigned long long>(count));
    }
    std::printf("outcomes:\n");
    for (const auto& [name, count] : outcomes) {
        std::printf("  %-24s %llu\n", name.c_str(), static_cast<unsigned long long>(count));
    }
    std::printf("runs that broke an invariant: %llu\nfalse successes: %llu\nhangs: %llu\n",
                static_cast<unsigned long long>(failed),
                static_cast<unsigned long long>(falseSuccesses),
                static_cast<unsigned long long>(hangs));
    std::printf("longest run against its bound: %.2f, %s\n", worstShare, worst.c_str());
    return failed == 0 ? 0 : 1;
}
