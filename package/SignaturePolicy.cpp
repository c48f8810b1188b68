#include "package/SignaturePolicy.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/profile/ProfileReader.h"

namespace {

bool OneOf(const char* value, std::initializer_list<const char*> words) {
    for (const char* word : words) {
        if (::strcasecmp(value, word) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

SignaturePolicy SignaturePolicy::Read(const std::string& path, std::vector<std::string>& problems) {
    SignaturePolicy policy;
    // Looked at first without blocking: the descriptor reader gives the
    // default for a file it cannot read, which must not pass for "no".
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            policy.requireSignature = true;
            problems.push_back(path + ": " + std::strerror(errno) + "; signatures are required");
        }
        return policy;
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) {
        policy.requireSignature = true;
        problems.push_back(path + ": not a regular file; signatures are required");
        return policy;
    }
    char value[64];
    platform::ProfileReader::GetString(kSection, kRequireKey, "no", value, sizeof value,
                                       path.c_str());
    if (OneOf(value, {"yes", "true", "on", "1"})) {
        policy.requireSignature = true;
    } else if (!OneOf(value, {"no", "false", "off", "0"})) {
        policy.requireSignature = true;
        problems.push_back(path + ": " + kRequireKey + "=" + value +
                           " is neither yes nor no; signatures are required");
    }
    return policy;
}
