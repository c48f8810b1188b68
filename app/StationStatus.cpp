#include "app/StationStatus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <algorithm>
#include <cerrno>
#include <map>

#include "app/OutsideText.h"
#include "app/StationProgress.h"
#include "app/UpgradeHistory.h"
#include "platform/FileSystem.h"

namespace {

// At most this many progress files are looked at (one per instrument).
constexpr std::size_t kMaxInstruments = 1024;
constexpr std::size_t kMaxProgressBytes = 16 * 1024;

std::string S(const QJsonValue& value) {
    return value.toString().toStdString();
}

QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonObject Parsed(const std::string& text) {
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
    return document.isObject() ? document.object() : QJsonObject();
}

// The whole lines of the last `limit` bytes of a regular file.
std::string Tail(const std::string& path, std::size_t limit) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return text;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const off_t size = info.st_size;
        const off_t from = size > static_cast<off_t>(limit) ? size - static_cast<off_t>(limit) : 0;
        text.resize(static_cast<std::size_t>(size - from));
        const ssize_t n = ::pread(fd, text.data(), text.size(), from);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (from > 0) {
            const std::size_t first = text.find('\n');
            text.erase(0, first == std::string::npos ? text.size() : first + 1);
        }
    }
    ::close(fd);
    return text;
}

// Whether the run that wrote a progress file still runs.
bool Runs(const QJsonObject& progress, const std::string& boot) {
    const qint64 pid = progress["pid"].toInteger(0);
    if (pid <= 0 || pid > 0x3FFFFFFF || S(progress["boot"]) != boot || boot.empty()) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

std::vector<StationStatus::Instrument> StationStatus::Read(const std::string& historyPath) {
    std::map<std::string, Instrument> seen;
    // The latest finished attempt of every bound run, oldest line first.
    {
        const std::string text = Tail(historyPath, UpgradeHistory::kMaxReadBytes);
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t end = text.find('\n', at);
            end = end == std::string::npos ? text.size() : end;
            const QJsonObject record = Parsed(text.substr(at, end - at));
            at = end + 1;
            const std::string id = S(record["bound"]);
            const std::string result = S(record["result"]);
            if (id.empty() || (result != "succeeded" && result != "failed" && result != "closed")) {
                continue;
            }
            Instrument& i = seen[id];
            i = Instrument{};
            i.id = id;
            i.serial = S(record["serial"]);
            i.port = S(record["port"]);
            i.package = S(record["package"]);
            i.state = result == "succeeded" ? "succeeded" : "failed";
            i.reason = S(record["reason"]);
            i.start = S(record["start"]);
            i.end = S(record["end"]);
        }
    }
    // What runs now, and what a crash left.
    const std::string directory = StationProgress::DirectoryFor(historyPath);
    const std::string boot = StationProgress::BootId();
    std::vector<platform::FileSystem::Entry> entries;
    if (!directory.empty() && platform::FileSystem::List(directory, entries)) {
        std::size_t looked = 0;
        for (const auto& entry : entries) {
            const std::string& name = entry.name;
            if (entry.kind != platform::FileSystem::Kind::File || name.size() < 6 ||
                name.compare(name.size() - 5, 5, ".json") != 0 || ++looked > kMaxInstruments) {
                continue;
            }
            std::string content;
            if (!platform::FileSystem::ReadAll(directory + name, content, kMaxProgressBytes)) {
                continue;
            }
            const QJsonObject progress = Parsed(content);
            const std::string id = S(progress["id"]);
            const std::string start = S(progress["start"]);
            if (id.empty() || start.empty()) {
                continue;
            }
            Instrument& i = seen[id];
            const bool runs = Runs(progress, boot);
            // A finished attempt that began with or after it is the newer word.
            if (!runs && !i.start.empty() && i.start >= start) {
                continue;
            }
            i = Instrument{};
            i.id = id;
            i.serial = S(progress["serial"]);
            i.port = S(progress["port"]);
            i.package = S(progress["package"]);
            i.start = start;
            const std::string state = S(progress["state"]);
            if (!runs) {
                i.state = "interrupted";
                i.reason = "the run ended without a result";
            } else if (state == "sending" || state == "flashing") {
                i.state = "upgrading";
                i.file = S(progress["file"]);
                i.percent = std::clamp(static_cast<int>(progress["percent"].toInt()), 0, 100);
                i.flashing = state == "flashing";
            } else {
                i.state = "waiting";
            }
        }
    }
    std::vector<Instrument> instruments;
    for (auto& [id, instrument] : seen) {
        instruments.push_back(std::move(instrument));
    }
    return instruments;
}

std::string StationStatus::TextLine(const Instrument& i) {
    const std::string package = i.package.empty() ? std::string() : " " + i.package;
    std::string state;
    if (i.state == "upgrading") {
        state = "upgrading" + package + ": " + i.file + " " + std::to_string(i.percent) + "%" +
                (i.flashing ? ", flashing" : "");
    } else if (i.state == "waiting") {
        state = "waiting for the instrument" + (package.empty() ? "" : " (" + i.package + ")");
    } else if (i.state == "succeeded") {
        state = "succeeded" + package;
    } else {
        state = i.state + package + ": " + i.reason;
    }
    std::string line = OutsideText::Visible(i.id);
    line.append("\t").append(i.serial.empty() ? "-" : OutsideText::Visible(i.serial));
    line.append("\t").append(OutsideText::Visible(state));
    line.append("\t").append(i.start.empty() ? "-" : OutsideText::Visible(i.start));
    line.append("\t").append(i.end.empty() ? "-" : OutsideText::Visible(i.end));
    return line;
}

std::string StationStatus::JsonLine(const Instrument& i) {
    QJsonObject object{{"id", Q(i.id)},           {"serial", Q(i.serial)},  {"port", Q(i.port)},
                       {"package", Q(i.package)}, {"state", Q(i.state)},    {"file", Q(i.file)},
                       {"percent", i.percent},    {"flashing", i.flashing}, {"reason", Q(i.reason)},
                       {"start", Q(i.start)},     {"end", Q(i.end)}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

int StationStatus::Show(const std::string& historyPath, bool json, std::FILE* out) {
    for (const Instrument& instrument : Read(historyPath)) {
        std::fprintf(out, "%s\n", (json ? JsonLine(instrument) : TextLine(instrument)).c_str());
    }
    std::fflush(out);
    return 0;
}
