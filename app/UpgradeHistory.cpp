#include "app/UpgradeHistory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QCryptographicHash>
#include <QtCore/QDateTime>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "platform/TextEscape.h"
#include "platform/Thread.h"

namespace {

QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string S(const QJsonValue& value) {
    return value.toString().toStdString();
}

// Creates an absolute directory and its parents for the current user only.
bool MakeDirectories(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            if (::mkdir(path.substr(0, pos).c_str(), 0700) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

// A fresh id for an attempt: 64 random bits in hexadecimal.
std::string NewId() {
    std::random_device random;
    const std::uint64_t value = (static_cast<std::uint64_t>(random()) << 32) ^ random();
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Escaped(const std::string& text) {
    return platform::TextEscape::ForTerminal(text);
}

}  // namespace

UpgradeHistory::Location UpgradeHistory::Location::Of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (path.empty() || path[0] != '/' || slash == std::string::npos) {
        return {};
    }
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

UpgradeHistory::Location UpgradeHistory::DefaultLocation() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return {state, "kestrup/history.jsonl"};
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return {home, ".local/state/kestrup/history.jsonl"};
    }
    return {};
}

std::string UpgradeHistory::Sha256OfFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return {};
    }
    struct stat info {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n < 0 && errno != EINTR) {
            ok = false;
        } else if (n > 0) {
            hash.addData(QByteArrayView(buffer, n));
        }
    }
    ::close(fd);
    return ok ? hash.result().toHex().toStdString() : std::string();
}

std::string UpgradeHistory::Now() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
}

UpgradeHistory::UpgradeHistory(Location location, std::FILE* err)
    : location_(std::move(location)), err_(err) {}

UpgradeHistory::~UpgradeHistory() {
    TakeHash();
}

void UpgradeHistory::Begin(Attempt attempt, const std::string& packagePath) {
    TakeHash();
    attempt.id = NewId();
    attempt.start = Now();
    attempt.result = "begun";
    Append(attempt);
    current_ = std::move(attempt);
    if (!packagePath.empty()) {
        // A package can be large: the window's thread does not wait for its
        // hash.
        hashing_ =
            platform::Thread::Start([this, packagePath] { hash_ = Sha256OfFile(packagePath); });
        if (!hashing_) {
            hash_ = Sha256OfFile(packagePath);
        }
    }
}

void UpgradeHistory::TakeHash() {
    if (hashing_) {
        hashing_->Join();
        hashing_.reset();
    }
    if (current_ && !hash_.empty()) {
        current_->sha256 = hash_;
    }
    hash_.clear();
}

void UpgradeHistory::SetInstrument(const std::string& pair, const std::string& serial,
                                   const std::string& port) {
    if (current_) {
        current_->instrument = pair;
        current_->serial = serial;
        current_->port = port;
    }
}

void UpgradeHistory::SetSignature(const std::string& state, const std::string& keyId,
                                  const std::string& trustedComment) {
    if (current_) {
        current_->signature = state;
        current_->keyId = keyId;
        current_->trustedComment = trustedComment;
    }
}

void UpgradeHistory::End(const std::string& result, const std::string& reason,
                         std::vector<std::pair<std::string, std::string>> files) {
    if (!current_) {
        return;
    }
    TakeHash();
    Attempt attempt = std::move(*current_);
    current_.reset();
    attempt.end = Now();
    attempt.result = result;
    attempt.reason = reason;
    attempt.files = std::move(files);
    Append(attempt);
}

std::string UpgradeHistory::ToJson(const Attempt& a) {
    QJsonArray files;
    for (const auto& [name, result] : a.files) {
        files.append(QJsonObject{{"name", Q(name)}, {"result", Q(result)}});
    }
    // The signature is an object of its own, null when it was not checked.
    const QJsonValue signature = a.signature.empty()
                                     ? QJsonValue()
                                     : QJsonObject{{"state", Q(a.signature)},
                                                   {"key_id", Q(a.keyId)},
                                                   {"trusted_comment", Q(a.trustedComment)}};
    QJsonObject object{{"attempt", Q(a.id)},      {"start", Q(a.start)},
                       {"end", Q(a.end)},         {"package", Q(a.package)},
                       {"sha256", Q(a.sha256)},   {"language", Q(a.language)},
                       {"version", Q(a.version)}, {"instrument", Q(a.instrument)},
                       {"serial", Q(a.serial)},   {"files", files},
                       {"result", Q(a.result)},   {"reason", Q(a.reason)},
                       {"port", Q(a.port)},       {"bound", Q(a.bound)}};
    object.insert("signature", signature);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

void UpgradeHistory::Complain(const std::string& why) {
    if (!complained_ && err_ != nullptr) {
        complained_ = true;
        const std::string path = location_.base.empty() ? "(no HOME)" : location_.Path();
        std::fprintf(err_, "kestrup: %s\n",
                     Escaped("cannot write the upgrade history " + path + ": " + why).c_str());
        std::fflush(err_);
    }
}

int UpgradeHistory::Open(bool forWriting, std::string& why) const {
    if (location_.base.empty()) {
        why = "neither XDG_STATE_HOME nor HOME is set";
        return -1;
    }
    // What went wrong, with the system's word for it unless `what` says all.
    const auto failed = [&why](const std::string& what, int fd, bool saysAll = false) {
        why = saysAll ? what : what + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    };
    // The base is the environment's own choice and may be reached through
    // links; nothing below it is.
    int dir = ::open(location_.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 && errno == ENOENT && forWriting && MakeDirectories(location_.base)) {
        dir = ::open(location_.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (dir < 0) {
        return failed("cannot open " + location_.base, -1);
    }
    std::vector<std::string> parts;
    for (std::size_t from = 0; from <= location_.relative.size();) {
        std::size_t slash = location_.relative.find('/', from);
        slash = slash == std::string::npos ? location_.relative.size() : slash;
        if (slash > from) {
            parts.push_back(location_.relative.substr(from, slash - from));
        }
        from = slash + 1;
    }
    if (parts.empty()) {
        ::close(dir);
        why = "no file name";
        return -1;
    }
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const char* part = parts[i].c_str();
        int next = ::openat(dir, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && forWriting &&
            (::mkdirat(dir, part, 0700) == 0 || errno == EEXIST)) {
            next = ::openat(dir, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            const bool notFollowed = errno == ELOOP || errno == ENOTDIR;
            return failed(notFollowed ? parts[i] + " is a symbolic link or not a directory"
                                      : "cannot open " + parts[i],
                          dir, notFollowed);
        }
        ::close(dir);
        dir = next;
    }
    // A directory its group may read (a station's state directory) shares the
    // history with that group.
    struct stat folder {};
    const bool shared = ::fstat(dir, &folder) == 0 && (folder.st_mode & 0050) == 0050;
    const int flags =
        (forWriting ? O_RDWR | O_APPEND | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const int fd = ::openat(dir, parts.back().c_str(), flags, shared ? 0640 : 0600);
    if (fd < 0) {
        return failed(errno == ELOOP ? "it is a symbolic link" : "cannot open it", dir,
                      errno == ELOOP);
    }
    ::close(dir);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "it is not a regular file";
    } else if (info.st_uid != ::geteuid()) {
        why = "it belongs to another user";
    } else if (info.st_nlink != 1) {
        why = "it has more than one link";
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

bool UpgradeHistory::Append(const Attempt& attempt) {
    std::string why;
    const int fd = Open(true, why);
    if (fd < 0) {
        Complain(why);
        return false;
    }
    struct stat info {};
    ::fstat(fd, &info);
    std::string line = ToJson(attempt) + "\n";
    // A line left without its end by a crash gets one, so that this line
    // stays whole.
    if (info.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') {
            line.insert(line.begin(), '\n');
        }
    }
    const ssize_t written = ::write(fd, line.data(), line.size());
    const int error = written < 0 ? errno : ENOSPC;
    bool ok = written == static_cast<ssize_t>(line.size());
    if (!ok && written > 0) {
        // No torn line stays behind (a full disk).
        if (::ftruncate(fd, info.st_size) != 0) {
            ok = false;
        }
    }
    ::close(fd);
    if (!ok) {
        Complain(std::strerror(error));
    }
    return ok;
}

std::vector<std::string> UpgradeHistory::Last(int count) const {
    std::vector<std::string> lines;
    std::string why;
    const int fd = count > 0 ? Open(false, why) : -1;
    if (fd < 0) {
        return lines;
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0) {
        const off_t size = info.st_size;
        const off_t from =
            size > static_cast<off_t>(kMaxReadBytes) ? size - static_cast<off_t>(kMaxReadBytes) : 0;
        text.resize(static_cast<std::size_t>(size - from));
        const ssize_t n = ::pread(fd, text.data(), text.size(), from);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    // Walked from the end: an attempt's end line comes after its begun line,
    // so a begun line whose end was already met is not shown again.
    std::set<std::string> ended;
    std::size_t end = text.size();
    while (end > 0 && static_cast<int>(lines.size()) < count) {
        const std::size_t begin = text.rfind('\n', end - 1);
        const std::size_t first = begin == std::string::npos ? 0 : begin + 1;
        const QJsonDocument doc = QJsonDocument::fromJson(
            QByteArray(text.data() + first, static_cast<qsizetype>(end - first)));
        end = begin == std::string::npos ? 0 : begin;
        if (!doc.isObject()) {
            continue;  // a torn or foreign line
        }
        const QJsonObject o = doc.object();
        const std::string id = S(o["attempt"]);
        std::string result = S(o["result"]);
        if (result == "begun") {
            if (!id.empty() && ended.count(id) != 0) {
                continue;
            }
            result = "interrupted";
        } else if (!id.empty()) {
            ended.insert(id);
        }
        std::string instrument = S(o["instrument"]).empty() ? "-" : Escaped(S(o["instrument"]));
        // Appended piece by piece: GCC 12's release build mistakes a
        // prefix added to a temporary for an overlapping copy.
        if (const std::string serial = S(o["serial"]); !serial.empty()) {
            instrument.append(" ").append(Escaped(serial));
        }
        std::string line = Escaped(S(o["start"]));
        line.append("\t").append(Escaped(result));
        line.append("\t").append(Escaped(S(o["package"])));
        line.append("\t").append(Escaped(S(o["language"]) + " " + S(o["version"])));
        line.append("\t").append(instrument);
        if (const std::string reason = S(o["reason"]); !reason.empty()) {
            line.append("\t").append(Escaped(reason));
        }
        lines.push_back(line);
    }
    return lines;
}
