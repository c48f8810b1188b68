#include "platform/usbio/libusb/UsbIdList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace platform::usbio {
namespace {

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<std::uint16_t> ParseHex16(std::string_view s) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 4) {
        return std::nullopt;
    }
    std::uint16_t value = 0;
    for (char c : s) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = static_cast<std::uint16_t>(value * 16 + digit);
    }
    return value;
}

}  // namespace

std::optional<UsbIdList::Id> UsbIdList::Parse(std::string_view text) {
    text = Trim(text);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto vendor = ParseHex16(Trim(text.substr(0, colon)));
    const auto product = ParseHex16(Trim(text.substr(colon + 1)));
    if (!vendor || !product) {
        return std::nullopt;
    }
    return Id{*vendor, *product};
}

std::vector<std::string> UsbIdList::DefaultFiles() {
    std::vector<std::string> files{"/etc/kestrup/usb-ids"};
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config != nullptr && config[0] == '/') {
        files.push_back(std::string(config) + "/kestrup/usb-ids");
    } else if (home != nullptr && home[0] != '\0') {
        files.push_back(std::string(home) + "/.config/kestrup/usb-ids");
    }
    return files;
}

void UsbIdList::Add(Id id) {
    if (std::find(ids_.begin(), ids_.end(), id) == ids_.end()) {
        ids_.push_back(id);
    }
}

bool UsbIdList::Add(std::string_view text) {
    const auto id = Parse(text);
    if (!id) {
        return false;
    }
    Add(*id);
    return true;
}

std::size_t UsbIdList::AddFile(const std::string& path, std::vector<std::string>& problems) {
    // Opened without blocking and read only when it is a regular file, so a
    // FIFO or a device in its place cannot hold up start-up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            problems.push_back(path + ": " + std::strerror(errno));
        }
        return 0;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        problems.push_back(path + ": not a regular file");
        return 0;
    }
    std::string text(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), kMaxFileSize) + 1,
                     '\0');
    std::size_t have = 0;
    bool readError = false;
    while (have < text.size()) {
        const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            readError = true;
            break;
        }
        if (n == 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (readError) {
        problems.push_back(path + ": read error");
        return 0;
    }
    text.resize(have);
    if (text.size() > kMaxFileSize || static_cast<std::size_t>(st.st_size) > kMaxFileSize) {
        problems.push_back(path + ": larger than " + std::to_string(kMaxFileSize) + " bytes");
        return 0;
    }
    std::size_t added = 0;
    std::size_t lineNumber = 0;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        ++lineNumber;
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        if (const auto id = Parse(line)) {
            Add(*id);
            ++added;
        } else {
            problems.push_back(path + ":" + std::to_string(lineNumber) +
                               ": not a vendor:product pair");
        }
    }
    return added;
}

bool UsbIdList::Contains(std::uint16_t vendor, std::uint16_t product) const {
    return std::find(ids_.begin(), ids_.end(), Id{vendor, product}) != ids_.end();
}

}  // namespace platform::usbio
