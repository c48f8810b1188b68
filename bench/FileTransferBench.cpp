// The program's own cost of sending a file to the instrument: the simulated
// instrument answers at once, the pause after each file is scaled down to a
// microsecond-range sleep through the time facility, and notifications go to
// a recording receiver. Reports time per 8192-byte data frame and MB/s for a
// 1,310,720-byte image.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "engine/FileTransfer.h"
#include "engine/Protocol.h"
#include "platform/FileSystem.h"
#include "platform/TimeFacility.h"
#include "tests/support/NotificationRecorder.h"
#include "tests/support/SimulatedRig.h"

namespace {

void BM_SendImage(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    platform::TimeFacility::ScopedScale fast(1);  // the 1000 ms pause lasts 1 ms
    testsupport::RecordingMessageBoxes boxes;
    testsupport::NotificationRecorder frame;
    testsupport::SimulatedRig rig;
    if (!rig.Connect()) {
        state.SkipWithError("no simulated instrument");
        return;
    }
    char tmpl[] = "/tmp/kestrup-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = std::string(tmpl) + "/image.dat";
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        content[i] = static_cast<char>(i * 13 + (i >> 9));
    }
    platform::FileSystem::WriteAll(path, content);

    std::uint8_t request = kestrup::OP_START_UPGRADE;
    std::uint32_t length = 1;
    rig.Channel().Send(&request, length, 1000);
    length = 1;
    rig.Channel().InPipe()->ReadSync(&request, length, 4000);

    for (auto _ : state) {
        kestrup::SendFile(path.c_str(), &frame, true);
        frame.Clear();
    }
    const double frames = static_cast<double>(size / kestrup::kDataChunk + 1);
    state.counters["frames"] = frames;
    state.counters["us_per_frame"] =
        benchmark::Counter(frames * static_cast<double>(state.iterations()) / 1e6,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
    platform::FileSystem::Delete(path);
    ::rmdir(tmpl);
}
BENCHMARK(BM_SendImage)->Arg(1310720)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
