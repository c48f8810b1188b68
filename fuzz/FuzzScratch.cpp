#include "fuzz/FuzzScratch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fuzzsupport {
namespace {

std::string g_scratch;

void RemoveScratch() {
    std::error_code ec;
    std::filesystem::remove_all(g_scratch, ec);
}

}  // namespace

const std::string& ScratchDir() {
    if (g_scratch.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/kestrup-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            Violation("cannot make the scratch directory", pattern);
        }
        g_scratch = pattern;
        std::atexit(RemoveScratch);
    }
    return g_scratch;
}

void WriteInput(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        Violation("cannot write the input file", path);
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            Violation("cannot write the input file", path);
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
        Violation("cannot remove", path);
    }
}

void Violation(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz invariant broken: %s %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzzsupport
