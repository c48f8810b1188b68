// Two figures of the upgrade engine:
//  - BM_IdleWorker: the CPU time the idle upgrade worker uses per second of
//    wall time (it blocks on its message queue, so this should be about 0);
//  - BM_FullUpgrade: a whole upgrade of a sample-sized package on the
//    simulated instrument at real speed with zero flash time, against the
//    waits the protocol mandates (the first 5000 ms detection wait and the
//    1000 ms pause after each file); the counter own_ms is the program's
//    own share.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>

#include "engine/DeviceDetection.h"
#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "package/CKestrupDoc.h"
#include "package/PackageGlobals.h"
#include "platform/Event.h"
#include "platform/PlainDispatcher.h"
#include "platform/ThreadMessageQueue.h"
#include "platform/TimeFacility.h"
#include "tests/support/ArchiveWriter.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/PackageSandbox.h"
#include "tests/support/SimulatedRig.h"

namespace {

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_IdleWorker(benchmark::State& state) {
    testsupport::NotificationRecorder frame;
    auto worker = kestrup::StartUpgradeWorker(&frame);
    double cpuPerSecond = 0;
    for (auto _ : state) {
        const double before = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        platform::TimeFacility::Sleep(3000, "idle");
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpuPerSecond = (ProcessCpuSeconds() - before) / wall;
    }
    state.counters["cpu_s_per_s"] = cpuPerSecond;
    platform::ThreadMessageQueue::Post(worker->Id(), platform::WM_QUIT, 0, 0);
    worker->Join();
}
BENCHMARK(BM_IdleWorker)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

struct HandOff : kestrup::UpgradeHandOff {
    CKestrupDoc* document = nullptr;
    kestrup::HandOffResult BeginTransfer(int row) override {
        return kestrup::HandOffToWorker(*document, row);
    }
};

std::string Image(std::size_t size, int seed) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>(i * seed + (i >> 8));
    }
    return s;
}

void BM_FullUpgrade(benchmark::State& state) {
    testsupport::PackageSandbox sandbox;
    {
        testsupport::ArchiveWriter zip(sandbox.PackageDir() + "TPro_English_7.0.5.pcg");
        zip.File("package.inf",
                 "[PACKAGE]\nDescription=Talvenmark Pro software\nlanguage=English\n");
        zip.File("language.dat", Image(24 * 1024 + 17, 3))
            .File("tpro.boot", Image(96 * 1024 + 5, 5))
            .File("tpro_app.bin", Image(900 * 1024 + 123, 7));
        zip.Close();
    }
    CKestrupDoc document;
    document.ScanPackages(sandbox.Executable().c_str());
    testsupport::RecordingMessageBoxes boxes;
    platform::PlainDispatcher dispatcher;
    testsupport::NotificationRecorder frame;
    auto worker = kestrup::StartUpgradeWorker(&frame);
    kestrup::g_pUpgradeThread.store(worker.get());
    HandOff view;
    view.document = &document;
    constexpr double kMandatedMs = 5000 + 3 * 1000;
    double totalMs = 0;
    for (auto _ : state) {
        testsupport::SimulatedRig rig;
        kestrup::g_bConnected.store(0);
        frame.Clear();
        platform::Event stop(false, false), done(false, false);
        kestrup::DetectionContext context{&rig.Channel(), &stop, &done, &frame, &view, {}};
        const auto start = std::chrono::steady_clock::now();
        auto detection = kestrup::StartDetection(document, 0, context);
        dispatcher.RunUntil([&] {
            const auto p = frame.Progress();
            return !p.empty() && p.back().first == kestrup::PROGRESS_STATUS &&
                   (p.back().second == 88 || p.back().second == 15);
        });
        // The pause after the last file belongs to the run too.
        while (kestrup::g_bUpgradeRunPending.load()) {
            dispatcher.WaitAndDispatch(1);
        }
        totalMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        detection->Join();
        if (frame.Progress().back().second != 88) {
            state.SkipWithError("upgrade did not complete");
            break;
        }
    }
    state.counters["total_ms"] = totalMs;
    state.counters["mandated_ms"] = kMandatedMs;
    state.counters["own_ms"] = totalMs - kMandatedMs;
    platform::ThreadMessageQueue::Post(worker->Id(), platform::WM_QUIT, 0, 0);
    worker->Join();
    kestrup::g_pUpgradeThread.store(nullptr);
    kestrup::g_bConnected.store(0);
}
BENCHMARK(BM_FullUpgrade)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
