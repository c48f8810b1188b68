#include "package/PackageTrust.h"

#include <cstdio>

#include "package/SignatureCheck.h"

namespace {
std::mutex g_systemDirMutex;
std::string g_systemDir = PackageTrust::kSystemDir;
}  // namespace

PackageTrust::ScopedSystemDir::ScopedSystemDir(std::string directory) {
    if (!directory.empty() && directory.back() != '/') {
        directory += '/';
    }
    std::lock_guard lock(g_systemDirMutex);
    saved_ = std::move(g_systemDir);
    g_systemDir = std::move(directory);
}

PackageTrust::ScopedSystemDir::~ScopedSystemDir() {
    std::lock_guard lock(g_systemDirMutex);
    g_systemDir = std::move(saved_);
}

std::string PackageTrust::SystemDir() {
    std::lock_guard lock(g_systemDirMutex);
    return g_systemDir;
}

PackageTrust::PackageTrust()
    : sink_([](const std::string& problem) {
          std::fprintf(stderr, "kestrup: %s\n", problem.c_str());
      }) {}

void PackageTrust::SetProblemSink(ProblemSink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

void PackageTrust::Tell(const std::vector<std::string>& problems) const {
    std::lock_guard lock(mutex_);
    for (const std::string& problem : problems) {
        if (told_.insert(problem).second && sink_) {
            sink_(SignatureCheck::Printable(problem));
        }
    }
}

SignaturePolicy PackageTrust::Policy() const {
    std::vector<std::string> problems;
    const SignaturePolicy policy = SignaturePolicy::Read(SystemDir() + kPolicyFile, problems);
    Tell(problems);
    return policy;
}

TrustedKeys PackageTrust::Keys(const std::string& packageDir) const {
    std::vector<std::string> problems;
    TrustedKeys keys;
    keys.AddDirectory(SystemDir() + kKeysDir, problems);
    if (const std::string beside = KeysBesidePackages(packageDir); !beside.empty()) {
        keys.AddDirectory(beside, problems);
    }
    Tell(problems);
    return keys;
}

std::string PackageTrust::KeysBesidePackages(const std::string& packageDir) {
    std::string dir = packageDir;
    while (!dir.empty() && dir.back() == '/') {
        dir.pop_back();
    }
    const std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return dir.substr(0, slash + 1) + kKeysDir;
}
