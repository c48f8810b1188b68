// The station's promise: runs bound to different instruments go side by
// side. BM_EightBoundRuns starts the program (build/<preset>/bin/kestrup, at
// real speed) once alone and then eight times together, each bound to one of
// eight simulated instruments and upgrading it with the English sample
// package, and compares the wall times: the counter `ratio` is eight
// together against one alone (the target is at most 1.3). A run that fails,
// or an instrument that does not hold the package's files, is an error.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

extern char** environ;

namespace {

constexpr int kInstruments = 8;

// Starts `runs` bound upgrades together and waits for all; false (with why)
// when one did not succeed.
bool RunTogether(const std::string& root, int runs, std::string& why) {
    std::vector<pid_t> children;
    for (int k = 1; k <= runs; ++k) {
        std::vector<std::string> args{KESTRUP_PROGRAM};
        for (int i = 1; i <= kInstruments; ++i) {
            args.insert(args.end(), {"--scenario", root + "scenario" + std::to_string(i)});
        }
        args.insert(args.end(), {"--instrument", "SIM-" + std::to_string(k), "--upgrade",
                                 "TPro_English_7.0.5.pcg"});
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = root + "out" + std::to_string(k);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            why = "cannot start " + args[0];
            return false;
        }
        posix_spawn_file_actions_destroy(&actions);
        children.push_back(pid);
    }
    bool ok = true;
    for (int k = 1; k <= runs; ++k) {
        int status = 0;
        ::waitpid(children[k - 1], &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            why = "run " + std::to_string(k) + " failed; see " + root + "out" + std::to_string(k);
            ok = false;
        }
    }
    return ok;
}

void BM_EightBoundRuns(benchmark::State& state) {
    char tmpl[] = "/tmp/kestrup-station-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        state.SkipWithError("no scratch directory");
        return;
    }
    const std::string root = std::string(tmpl) + "/";
    ::mkdir((root + "run").c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", (root + "run").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (root + "state").c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    for (int i = 1; i <= kInstruments; ++i) {
        const std::string n = std::to_string(i);
        platform::FileSystem::WriteAll(root + "scenario" + n,
                                       "serial SIM-" + n + "\nflash-dir " + root + "flash" + n);
    }
    double one = 0, eight = 0;
    std::string why;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!RunTogether(root, 1, why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        one = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        start = std::chrono::steady_clock::now();
        if (!RunTogether(root, kInstruments, why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        eight = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(eight);
    }
    for (int i = 1; i <= kInstruments && why.empty(); ++i) {
        if (!std::filesystem::exists(root + "flash" + std::to_string(i) + "/tpro_app.bin")) {
            why = "instrument SIM-" + std::to_string(i) + " does not hold the package";
            state.SkipWithError(why.c_str());
        }
    }
    state.counters["one_s"] = one;
    state.counters["eight_s"] = eight;
    state.counters["ratio"] = one > 0 ? eight / one : 0;
    if (why.empty() && one > 0 && eight / one > 1.3) {
        state.SkipWithError("eight bound runs took more than 1.3 times one");
    }
    if (why.empty()) {
        std::filesystem::remove_all(root);
    }
}
BENCHMARK(BM_EightBoundRuns)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
