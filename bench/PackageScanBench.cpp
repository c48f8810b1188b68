// Scanning a package directory of 1,000 packages of about 1 MB each: the
// program's scan (descriptors extracted in-process) next to the classic way
// of running the unzip program once per archive.
//
// The archives are generated once per run into a private temporary tree and
// removed at the end. Each holds an incompressible 1 MB image, as firmware
// images barely compress, stored with the descriptor written after it, so
// that a reader has to find the descriptor through the central directory.
//
// The program's temporary directory lies under XDG_RUNTIME_DIR, which is a
// memory file system (/run/user/<uid>) on the desktops the program runs on;
// the benchmark puts it on /dev/shm where there is one, so that the figures
// are not those of a disk file system allocating and freeing an inode per
// descriptor under the load of whatever else runs on the machine.

#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "package/CKestrupDoc.h"
#include "platform/FileSystem.h"
#include "platform/profile/ProfileReader.h"

extern char** environ;

namespace {

constexpr int kPackages = 1000;
constexpr std::size_t kImageBytes = 1024 * 1024;

bool AddMember(archive* zip, const std::string& name, const std::string& data) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
    bool ok =
        archive_write_header(zip, entry) == ARCHIVE_OK &&
        archive_write_data(zip, data.data(), data.size()) == static_cast<la_ssize_t>(data.size());
    archive_entry_free(entry);
    return ok;
}

class PackageTree {
  public:
    PackageTree() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kestrup-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        root_ = pattern + "/";
        std::filesystem::create_directories(root_ + "cfg");
        std::filesystem::create_directories(root_ + "unzip");
        std::string runtime = "/dev/shm/kestrup-bench-run-XXXXXX";
        if (::mkdtemp(runtime.data()) != nullptr) {
            runtime_ = runtime;
        } else {
            runtime_ = root_ + "run";
            std::filesystem::create_directories(runtime_);
        }
        std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);

        std::mt19937_64 random(42);
        std::string image(kImageBytes, '\0');
        for (int i = 0; i < kPackages && ok_; ++i) {
            for (std::size_t at = 0; at + 8 <= image.size(); at += 8) {
                const std::uint64_t word = random();
                std::memcpy(&image[at], &word, 8);
            }
            char name[32];
            std::snprintf(name, sizeof name, "upgrade%04d.pcg", i);
            const std::string descriptor =
                "[PACKAGE]\r\nDescription=Talvenmark Pro software,release\r\nlanguage=English\r\n"
                "Version=7.0." +
                std::to_string(i) + "\r\nversion_date=2026-12-07\r\n";
            archive* zip = archive_write_new();
            ok_ =
                archive_write_set_format_zip(zip) == ARCHIVE_OK &&
                archive_write_set_format_option(zip, "zip", "compression", "store") == ARCHIVE_OK &&
                archive_write_open_filename(zip, (root_ + "cfg/" + name).c_str()) == ARCHIVE_OK &&
                AddMember(zip, "boot.bin", image.substr(0, 4096)) &&
                AddMember(zip, "app.bin", image) && AddMember(zip, "package.inf", descriptor) &&
                archive_write_close(zip) == ARCHIVE_OK;
            archive_write_free(zip);
        }
    }
    ~PackageTree() {
        if (!root_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
            std::filesystem::remove_all(runtime_, ec);
        }
    }
    PackageTree(const PackageTree&) = delete;
    PackageTree& operator=(const PackageTree&) = delete;

    bool ok() const { return ok_ && !root_.empty(); }
    std::string Executable() const { return root_ + "bin/kestrup"; }
    std::string PackageDir() const { return root_ + "cfg/"; }
    std::string UnzipDir() const { return root_ + "unzip/"; }

  private:
    std::string root_;
    std::string runtime_;
    bool ok_ = true;
};

PackageTree& Tree() {
    static PackageTree tree;
    return tree;
}

void BM_ScanPackages(benchmark::State& state) {
    PackageTree& tree = Tree();
    if (!tree.ok()) {
        state.SkipWithError("cannot generate the packages");
        return;
    }
    CKestrupDoc doc;
    for (auto _ : state) {
        doc.ScanPackages(tree.Executable().c_str());
        benchmark::DoNotOptimize(doc.m_nPackageCount);
    }
    if (doc.m_nPackageCount != kPackages) {
        state.SkipWithError("not every package was listed");
    }
    state.SetItemsProcessed(state.iterations() * kPackages);
}

// The classic way: one unzip process per archive for the descriptor, then the
// same descriptor reading as the scan.
void BM_UnzipProcessPerArchive(benchmark::State& state) {
    PackageTree& tree = Tree();
    if (!tree.ok()) {
        state.SkipWithError("cannot generate the packages");
        return;
    }
    std::vector<platform::FileSystem::Entry> entries;
    platform::FileSystem::List(tree.PackageDir(), entries);
    const std::string target = tree.UnzipDir();
    const std::string descriptor = target + "package.inf";
    int listed = 0;
    for (auto _ : state) {
        listed = 0;
        for (const auto& entry : entries) {
            if (!CKestrupDoc::IsPackageFileName(entry.name.c_str())) {
                continue;
            }
            const std::string archivePath = tree.PackageDir() + entry.name;
            std::vector<std::string> args = {"unzip",       "-o", "-qq", archivePath,
                                             "package.inf", "-d", target};
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            pid_t pid = 0;
            int status = 0;
            if (::posix_spawnp(&pid, "unzip", nullptr, nullptr, argv.data(), environ) != 0 ||
                ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
                WEXITSTATUS(status) != 0) {
                continue;
            }
            if (CKestrupDoc::IsAcceptedDescriptor(descriptor.c_str())) {
                char value[CKestrupDoc::kValueBufferSize];
                for (const char* key : {"language", "Version", "version_date"}) {
                    platform::ProfileReader::GetString("PACKAGE", key, "", value, sizeof value,
                                                       descriptor.c_str());
                    benchmark::DoNotOptimize(value);
                }
                ++listed;
            }
            platform::FileSystem::Delete(descriptor);
        }
    }
    if (listed != kPackages) {
        state.SkipWithError("not every package was listed (is unzip installed?)");
    }
    state.SetItemsProcessed(state.iterations() * kPackages);
}

}  // namespace

BENCHMARK(BM_ScanPackages)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_UnzipProcessPerArchive)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();
