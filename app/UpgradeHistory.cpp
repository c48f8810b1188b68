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
#include <filesystem>

namespace {

QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string S(const QJsonValue& value) {
    return value.toString().toStdString();
}

// Creates the directory and its parents for the current user only.
bool MakeDirectories(const std::filesystem::path& dir) {
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec)) {
        return true;
    }
    if (dir.has_parent_path() && dir.parent_path() != dir && !MakeDirectories(dir.parent_path())) {
        return false;
    }
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::string UpgradeHistory::DefaultPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/kestrup/history.jsonl";
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/state/kestrup/history.jsonl";
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

UpgradeHistory::UpgradeHistory(std::string path, std::FILE* err)
    : path_(std::move(path)), err_(err) {}

void UpgradeHistory::Begin(Attempt attempt) {
    attempt.start = Now();
    current_ = std::move(attempt);
}

void UpgradeHistory::SetInstrument(const std::string& pair, const std::string& serial) {
    if (current_) {
        current_->instrument = pair;
        current_->serial = serial;
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
    QJsonObject object{
        {"start", Q(a.start)},           {"end", Q(a.end)},           {"package", Q(a.package)},
        {"sha256", Q(a.sha256)},         {"language", Q(a.language)}, {"version", Q(a.version)},
        {"instrument", Q(a.instrument)}, {"serial", Q(a.serial)},     {"files", files},
        {"result", Q(a.result)},         {"reason", Q(a.reason)}};
    object.insert("signature", signature);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

void UpgradeHistory::Complain(const std::string& why) {
    if (!complained_ && err_ != nullptr) {
        complained_ = true;
        std::fprintf(err_, "kestrup: cannot write the upgrade history %s: %s\n",
                     path_.empty() ? "(no HOME)" : path_.c_str(), why.c_str());
        std::fflush(err_);
    }
}

bool UpgradeHistory::Append(const Attempt& attempt) {
    if (path_.empty()) {
        Complain("neither XDG_STATE_HOME nor HOME is set");
        return false;
    }
    if (!MakeDirectories(std::filesystem::path(path_).parent_path())) {
        Complain(std::strerror(errno));
        return false;
    }
    const int fd = ::open(path_.c_str(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        Complain(std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        Complain("not a regular file");
        return false;
    }
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
    if (path_.empty() || count <= 0) {
        return lines;
    }
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return lines;
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const off_t size = info.st_size;
        const off_t from =
            size > static_cast<off_t>(kMaxReadBytes) ? size - static_cast<off_t>(kMaxReadBytes) : 0;
        text.resize(static_cast<std::size_t>(size - from));
        const ssize_t n = ::pread(fd, text.data(), text.size(), from);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
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
        std::string line = S(o["start"]) + "\t" + S(o["result"]) + "\t" + S(o["package"]) + "\t" +
                           S(o["language"]) + " " + S(o["version"]) + "\t" +
                           (S(o["instrument"]).empty() ? "-" : S(o["instrument"]));
        // Appended piece by piece: GCC 12's release build mistakes a
        // prefix added to a temporary for an overlapping copy.
        if (const std::string serial = S(o["serial"]); !serial.empty()) {
            line.append(" ").append(serial);
        }
        if (const std::string reason = S(o["reason"]); !reason.empty()) {
            line.append("\t").append(reason);
        }
        lines.push_back(line);
    }
    return lines;
}
