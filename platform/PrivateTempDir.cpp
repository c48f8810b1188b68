#include "platform/PrivateTempDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

bool PrivateTempDir::Prepare(const std::string& directory, std::string& error) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + directory + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0) {
        error = "cannot examine " + directory + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        error = "refusing temporary directory " + directory + ": it is a symbolic link";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "refusing temporary directory " + directory + ": it is not a directory";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error = "refusing temporary directory " + directory + ": it belongs to another user";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "refusing temporary directory " + directory + ": it is writable by others";
        return false;
    }
    return true;
}

namespace {
std::mutex g_subdirectoryMutex;
std::string g_subdirectory;
}  // namespace

void PrivateTempDir::SetRunSubdirectory(const std::string& name) {
    std::lock_guard lock(g_subdirectoryMutex);
    g_subdirectory = name;
}

bool PrivateTempDir::Get(std::string& path, std::string& error) {
    std::string name;
    {
        std::lock_guard lock(g_subdirectoryMutex);
        name = g_subdirectory;
    }
    std::string base;
    if (!GetBase(base, error)) {
        return false;
    }
    if (name.empty()) {
        path = base;
        return true;
    }
    if (name == "." || name == ".." || name.find('/') != std::string::npos) {
        error = "refusing temporary directory " + base + name + ": not a plain name";
        return false;
    }
    if (!Prepare(base + name, error)) {
        return false;
    }
    path = base + name + "/";
    return true;
}

bool PrivateTempDir::GetBase(std::string& path, std::string& error) {
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        dir = std::string(runtime);
        if (dir.back() != '/') {
            dir += '/';
        }
        dir += "kestrup";
    } else {
        const char* tmp = std::getenv("TMPDIR");
        dir = (tmp != nullptr && tmp[0] == '/') ? std::string(tmp) : std::string("/tmp");
        if (dir.back() != '/') {
            dir += '/';
        }
        dir += "kestrup-" + std::to_string(::geteuid());
    }
    if (!Prepare(dir, error)) {
        return false;
    }
    path = dir + "/";
    return true;
}

}  // namespace platform
