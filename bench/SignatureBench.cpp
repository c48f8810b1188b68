// What checking a package's signature costs, on a 100 MB package signed by
// the real minisign tool (a few hundred milliseconds at most is the target):
// the check alone (minisign's default, prehashed form), and the whole
// hand-off step, which copies the package into the private temporary
// directory and checks the copy. The package is written once into a
// sandbox (under $TMPDIR) and removed at the end.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "package/CKestrupDoc.h"
#include "package/MinisignPublicKey.h"
#include "package/PackageGlobals.h"
#include "package/PackageVerifier.h"
#include "tests/support/MinisignTool.h"
#include "tests/support/PackageSandbox.h"

namespace {

constexpr std::size_t kPackageBytes = 100 * 1000 * 1000;

using testsupport::MinisignTool;
using testsupport::PackageSandbox;

// One 100 MB package, signed, with its key trusted; made on first use.
struct SignedPackage {
    PackageSandbox sandbox;
    std::string path = sandbox.PackageDir() + "TPro_Large.pcg";
    TrustedKeys keys;
    bool ready = false;

    SignedPackage() {
        if (!MinisignTool::Available()) {
            return;
        }
        std::string bytes(kPackageBytes, '\0');
        std::mt19937_64 random(7);
        for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
            const std::uint64_t word = random();
            std::memcpy(bytes.data() + i, &word, 8);
        }
        std::filesystem::create_directories(sandbox.KeysDir());
        std::string error;
        ready = PackageSandbox::Write(path, bytes) &&
                MinisignTool::MakeKey(sandbox.Root() + "k.key", sandbox.KeysDir() + "k.pub") &&
                MinisignTool::Sign(sandbox.Root() + "k.key", path, "large");
        if (const auto key = MinisignPublicKey::Parse(
                PackageSandbox::Read(sandbox.KeysDir() + "k.pub"), error)) {
            keys.Add(*key);
        }
    }
};

SignedPackage& Package() {
    static SignedPackage package;
    return package;
}

void BM_CheckPrehashed100MB(benchmark::State& state) {
    SignedPackage& package = Package();
    if (!package.ready) {
        state.SkipWithError(MinisignTool::Missing().c_str());
        return;
    }
    for (auto _ : state) {
        if (PackageVerifier::Check(package.path, package.keys).state !=
            SignatureCheck::State::Verified) {
            state.SkipWithError("the package did not verify");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPackageBytes));
}

void BM_HandOffCopyAndCheck100MB(benchmark::State& state) {
    SignedPackage& package = Package();
    if (!package.ready) {
        state.SkipWithError(MinisignTool::Missing().c_str());
        return;
    }
    CKestrupDoc document;
    std::snprintf(g_szPackageDir, sizeof g_szPackageDir, "%s",
                  package.sandbox.PackageDir().c_str());
    char copy[kPathBufferSize];
    for (auto _ : state) {
        if (document.CopyAndCheck(package.path.c_str(), copy, sizeof copy) !=
            CKestrupDoc::CopyCheck::Accepted) {
            state.SkipWithError("the copy was not accepted");
            return;
        }
        CKestrupDoc::DeleteCopy(copy);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPackageBytes));
}

}  // namespace

BENCHMARK(BM_CheckPrehashed100MB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_HandOffCopyAndCheck100MB)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

BENCHMARK_MAIN();
