// The unattended share of the campaign: the whole program, from its command
// line to its exit status.
#include <QtCore/QStringList>

#include <cstdio>

#include "app/Program.h"
#include "engine/UpgradeWorker.h"
#include "package/PackageGlobals.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "tests/campaign/CampaignRun.h"
#include "tests/support/PackageSandbox.h"

namespace campaign {
namespace {

constexpr std::uint64_t kRealAllowanceMicros = 3000000;

std::string ReadBack(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) {
        text.append(buffer, n);
    }
    return text;
}

std::string LineStarting(const std::string& text, const std::string& prefix, bool last) {
    std::string found;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line =
            text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.rfind(prefix, 0) == 0) {
            found = line;
            if (!last) {
                return found;
            }
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    return found;
}

}  // namespace

RunReport CampaignRun::OnProgram(const CampaignPlan& plan, std::uint32_t microsPerMs) {
    RunReport report;
    report.limitMs = plan.boundMs + kRealAllowanceMicros / microsPerMs;
    const std::vector<std::string> descriptorsBefore = OpenDescriptors();
    const std::size_t threadsBefore = platform::Thread::Running();
    {
        platform::TimeFacility::ScopedScale scale(microsPerMs);
        testsupport::PackageSandbox sandbox;
        if (!plan.WritePackage(sandbox.PackageDir())) {
            report.violations.push_back("the package could not be written");
            return report;
        }
        const std::string scenarioPath = sandbox.Root() + "scenario.txt";
        if (!platform::FileSystem::WriteAll(scenarioPath, plan.scenario)) {
            report.violations.push_back("the scenario could not be written");
            return report;
        }
        std::FILE* out = std::tmpfile();
        Program::Settings settings;
        settings.executablePath = sandbox.Executable();
        settings.out = out;
        settings.err = out;
        settings.historyPath = sandbox.Root() + "state/history.jsonl";
        const std::uint64_t from = platform::TimeFacility::NowMs();
        const int status = Program::Run(
            QStringList{"kestrup", "--simulate", "--scenario", QString::fromStdString(scenarioPath),
                        "--upgrade", QString::fromStdString(plan.packageName)},
            settings);
        report.elapsedMs = platform::TimeFacility::NowMs() - from;
        const std::string output = ReadBack(out);
        std::fclose(out);
        kestrup::g_bConnected.store(0);
        g_szStagingDir[0] = g_szPackageDir[0] = g_szPackagePath[0] = '\0';

        report.reportedSuccess = status == 0;
        const std::string result = LineStarting(output, "Result: ", true);
        if (report.reportedSuccess != (result == "Result: upgrade succeeded")) {
            report.violations.push_back("exit status " + std::to_string(status) + " with \"" +
                                        result + "\"");
        }
        if (status != 0 && status != 1) {
            report.violations.push_back("exit status " + std::to_string(status));
        }
        // An unattended run without the application image succeeds without
        // "Upgrade completed successfully"; with it, only after it.
        if (report.reportedSuccess != plan.expectSuccess) {
            report.violations.push_back(plan.expectSuccess
                                            ? "success expected, exit " + std::to_string(status)
                                            : "failure expected, exit 0");
        }
        // A flash past its wait meets two sound ends a few seconds of program
        // time apart: the engine's own time-out, and the unattended mode's
        // silence guard, whose limit is the flash wait and one detection pass.
        // With a program millisecond of a real microsecond the two are a few
        // real milliseconds apart, so which comes first is the scheduler's
        // choice; the guard's end is a failure as sound as the time-out's.
        const bool guardEnded =
            plan.fault == FaultKind::FlashOver && status == 1 &&
            result == "Result: upgrade failed: nothing heard from the instrument for too long";
        if (!plan.expectSuccess && !guardEnded) {
            std::string box = plan.expectBox;
            while (!box.empty() && box.back() == '\n') {
                box.pop_back();
            }
            if (plan.expectStatus) {
                const std::string text = StatusTextFor(*plan.expectStatus);
                bool shown = false;
                for (std::size_t at = output.find("Status: "); at != std::string::npos && !shown;
                     at = output.find("Status: ", at + 1)) {
                    const std::size_t end = output.find('\n', at);
                    const std::string line = output.substr(at, end - at);
                    shown = line.size() >= text.size() &&
                            line.compare(line.size() - text.size(), text.size(), text) == 0;
                }
                if (!shown) {
                    report.violations.push_back("no status line ending \"" + text + "\"");
                }
            }
            const std::string firstMessage = LineStarting(output, "Message: ", false);
            const std::string expected = box.empty() ? std::string() : "Message: " + box;
            if (firstMessage != expected) {
                report.violations.push_back("first message \"" + firstMessage + "\", expected \"" +
                                            expected + "\"");
            }
        }
        if (report.elapsedMs > report.limitMs) {
            report.violations.push_back("took " + std::to_string(report.elapsedMs) + " ms, bound " +
                                        std::to_string(report.limitMs) + " ms");
        }
        if (!report.Passed()) {
            report.violations.push_back("output:\n" + output);
        }
    }
    CheckWhatIsLeft(descriptorsBefore, threadsBefore, report);
    return report;
}

void CampaignRun::WarmUpProgram() {
    for (std::uint64_t seed : {1u, 2u}) {
        OnProgram(CampaignPlan::Draw(seed, false, false), 1);
    }
}

}  // namespace campaign
