#include "platform/profile/ProfileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/TextEscape.h"

namespace platform {
namespace {

// Reads a regular file up to `limit` bytes into a buffer sized from the
// file. A longer file is read up to its last whole line within the limit, so
// a value is never cut at the limit. A FIFO or device is refused rather than
// waited on.
bool ReadHead(const char* path, std::size_t limit, std::string& out) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    // One byte more than the limit tells a longer file apart.
    const std::size_t want =
        std::min(static_cast<std::size_t>(st.st_size < 0 ? 0 : st.st_size), limit) + 1;
    out.resize(want);
    std::size_t have = 0;
    while (have < want) {
        const ssize_t n = ::read(fd, out.data() + have, want - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (have > limit) {
        const std::size_t lastNewline = out.rfind('\n', limit - 1);
        have = lastNewline == std::string::npos ? 0 : lastNewline + 1;
    }
    out.resize(have);
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v.remove_prefix(1);
        v.remove_suffix(1);
    }
    return v;
}

// Finds the first value of key in section; false when there is none.
bool Find(std::string_view text, std::string_view section, std::string_view key,
          std::string_view& value) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    bool inSection = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = (end == std::string_view::npos) ? std::string_view{} : text.substr(end + 1);

        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close != std::string_view::npos) {
                inSection = EqualNoCase(Trim(line.substr(1, close - 1)), section);
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        if (EqualNoCase(Trim(line.substr(0, eq)), key)) {
            value = Unquote(Trim(line.substr(eq + 1)));
            return true;
        }
    }
    return false;
}

std::size_t CopyOut(std::string_view value, char* buffer, std::size_t size) {
    std::size_t n = value.size();
    const void* nul = std::memchr(value.data(), '\0', n);
    if (nul != nullptr) {
        n = static_cast<std::size_t>(static_cast<const char*>(nul) - value.data());
    }
    if (n > size - 1) {
        // A value longer than the buffer is cut between two characters,
        // never inside one.
        n = TextEscape::CharacterBoundary(value.substr(0, n), size - 1);
    }
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
}

}  // namespace

std::size_t ProfileReader::GetString(const char* section, const char* key, const char* defaultValue,
                                     char* buffer, std::size_t size, const char* path) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const std::string_view fallback = defaultValue != nullptr ? defaultValue : "";
    if (section == nullptr || key == nullptr || path == nullptr) {
        return CopyOut(fallback, buffer, size);
    }
    std::string text;
    std::string_view value;
    if (!ReadHead(path, kMaxFileBytes, text) || !Find(text, section, key, value)) {
        return CopyOut(fallback, buffer, size);
    }
    return CopyOut(value, buffer, size);
}

}  // namespace platform
