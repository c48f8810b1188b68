#include "tests/support/PackageSandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace testsupport {

PackageSandbox::PackageSandbox() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::string pattern = (base / "kestrup-package-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        root_ = pattern + "/";
        std::filesystem::create_directories(root_ + "bin");
        std::filesystem::create_directories(root_ + "cfg");
        std::filesystem::create_directories(root_ + "outside");
        ::mkdir((root_ + "run").c_str(), 0700);
    }
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) {
        hadRuntimeDir_ = true;
        savedRuntimeDir_ = old;
    }
    ::setenv("XDG_RUNTIME_DIR", (root_ + "run").c_str(), 1);
    systemDir_ = std::make_unique<PackageTrust::ScopedSystemDir>(SystemDir());
}

PackageSandbox::~PackageSandbox() {
    if (hadRuntimeDir_) {
        ::setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    if (!root_.empty()) {
        // Read-only files and folders left by a test must not stop the clean-up.
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink()) {
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ec);
            }
        }
        std::filesystem::remove_all(root_, ec);
    }
}

bool PackageSandbox::Write(const std::string& path, const std::string& contents) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    return static_cast<bool>(out.flush());
}

std::string PackageSandbox::Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string PackageSandbox::Names(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& name : names) {
        joined += joined.empty() ? name : " " + name;
    }
    return joined;
}

}  // namespace testsupport
