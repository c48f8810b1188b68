#include "package/TrustedKeys.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"

using platform::FileSystem;

namespace {

bool EndsWith(const std::string& name, const char* suffix) {
    const std::size_t length = std::strlen(suffix);
    return name.size() > length && name.compare(name.size() - length, length, suffix) == 0;
}

// A key that anyone may replace is no key of the administrator's.
bool WritableByOthers(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) != 0;
}

}  // namespace

void TrustedKeys::AddDirectory(const std::string& directory, std::vector<std::string>& problems) {
    std::string dir = directory;
    if (!dir.empty() && dir.back() != '/') {
        dir += '/';
    }
    std::vector<FileSystem::Entry> entries;
    if (!FileSystem::List(dir, entries)) {
        if (errno != ENOENT) {
            problems.push_back(dir + ": " + std::strerror(errno));
        }
        return;
    }
    if (WritableByOthers(dir)) {
        problems.push_back(dir + ": others may write to it; none of its keys is trusted");
        return;
    }
    std::size_t read = 0;
    for (const FileSystem::Entry& entry : entries) {
        if (entry.kind == FileSystem::Kind::Directory || !EndsWith(entry.name, ".pub")) {
            continue;
        }
        const std::string path = dir + entry.name;
        if (++read > kMaxKeysPerDirectory) {
            problems.push_back(dir + ": more than " + std::to_string(kMaxKeysPerDirectory) +
                               " key files; the rest are not read");
            return;
        }
        std::string text;
        std::string error;
        if (WritableByOthers(path)) {
            problems.push_back(path + ": others may write to it; not trusted");
            continue;
        }
        if (!FileSystem::ReadAll(path, text, MinisignPublicKey::kMaxFileBytes)) {
            problems.push_back(path + ": cannot be read as a key file");
            continue;
        }
        if (const auto key = MinisignPublicKey::Parse(text, error)) {
            keys_.push_back(*key);
        } else {
            problems.push_back(path + ": " + error);
        }
    }
}

std::vector<MinisignPublicKey> TrustedKeys::WithId(const MinisignPublicKey::KeyId& id) const {
    std::vector<MinisignPublicKey> found;
    for (const MinisignPublicKey& key : keys_) {
        if (key.id == id) {
            found.push_back(key);
        }
    }
    return found;
}
