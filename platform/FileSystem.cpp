#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

bool WriteFully(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes `producer`'s bytes to a fresh temporary file beside `to`, then
// renames it over `to`.
template <typename Producer>
bool ReplaceWith(const std::string& to, Producer&& producer) {
    std::string tmpl = to + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return false;
    }
    bool ok = producer(fd);
    ok = (::fchmod(fd, 0644) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(name.data(), to.c_str()) == 0) {
        return true;
    }
    ::unlink(name.data());
    return false;
}

// Removes everything inside the open directory dfd. Folders deeper than
// this are not walked (the program's own directories are flat).
constexpr int kMaxClearDepth = 32;

bool ClearAt(int dfd, int depth) {
    DIR* dir = ::fdopendir(dfd);
    if (dir == nullptr) {
        ::close(dfd);
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    bool ok = true;
    const int fd = ::dirfd(dir);
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = ok && errno == ENOENT;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int sub =
                ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0 || depth >= kMaxClearDepth) {
                if (sub >= 0) {
                    ::close(sub);
                }
                ok = false;
                continue;
            }
            // A folder without write permission for its owner cannot be
            // emptied; make it writable first.
            ::fchmod(sub, (st.st_mode & 07777) | S_IRWXU);
            const bool emptied = ClearAt(sub, depth + 1);
            ok = emptied && ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0 && ok;
        } else {
            ok = ::unlinkat(fd, name.c_str(), 0) == 0 && ok;
        }
    }
    ::closedir(dir);
    return ok;
}

}  // namespace

std::string FileSystem::ExecutablePath() {
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(n));
}

bool FileSystem::List(const std::string& directory, std::vector<Entry>& entries) {
    entries.clear();
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    const int dfd = ::dirfd(dir);
    while (struct dirent* e = ::readdir(dir)) {
        struct stat st {};
        Kind kind = Kind::Other;
        if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISREG(st.st_mode)) {
                kind = Kind::File;
            } else if (S_ISDIR(st.st_mode)) {
                kind = Kind::Directory;
            }
        }
        entries.push_back(Entry{e->d_name, kind});
    }
    ::closedir(dir);
    // Folded to upper case, as the platform the program was designed for
    // compares names: "_" (after the capitals) sorts after the letters.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        const auto upper = [](char c) {
            return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        };
        const std::size_t n = std::min(a.name.size(), b.name.size());
        for (std::size_t i = 0; i < n; ++i) {
            if (upper(a.name[i]) != upper(b.name[i])) {
                return upper(a.name[i]) < upper(b.name[i]);
            }
        }
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    return true;
}

bool FileSystem::ClearDirectory(const std::string& directory) {
    // Without its trailing "/": a path ending in "/" resolves a final link
    // even with O_NOFOLLOW.
    std::string path = directory;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        struct stat st {};
        return errno == ENOENT && ::lstat(path.c_str(), &st) != 0;
    }
    return ClearAt(fd, 0);
}

bool FileSystem::KindOf(const std::string& path, Kind& kind) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    kind = S_ISREG(st.st_mode) ? Kind::File : S_ISDIR(st.st_mode) ? Kind::Directory : Kind::Other;
    return true;
}

bool FileSystem::Exists(const std::string& path) {
    Kind kind;
    return KindOf(path, kind);
}

bool FileSystem::SetNormalAttributes(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) {
        return false;
    }
    return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool FileSystem::CopyReplacing(const std::string& from, const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return false;
    }
    const bool ok = ReplaceWith(to, [in](int out) {
        char buffer[65536];
        while (true) {
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return false;
            }
            if (n == 0) {
                return true;
            }
            if (!WriteFully(out, buffer, static_cast<size_t>(n))) {
                return false;
            }
        }
    });
    ::close(in);
    return ok;
}

bool FileSystem::MoveReplacing(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool FileSystem::Delete(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool FileSystem::ReadAll(const std::string& path, std::string& contents, std::size_t maxBytes) {
    contents.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return false;
    }
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return n == 0;
        }
        if (contents.size() + static_cast<size_t>(n) > maxBytes) {
            // The file grew while it was read.
            ::close(fd);
            contents.clear();
            return false;
        }
        contents.append(buffer, static_cast<size_t>(n));
    }
}

bool FileSystem::WriteAll(const std::string& path, const std::string& contents) {
    return ReplaceWith(path,
                       [&](int fd) { return WriteFully(fd, contents.data(), contents.size()); });
}

}  // namespace platform
