#include "app/StationProgress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <cerrno>

#include "app/UpgradeHistory.h"
#include "engine/Notifications.h"
#include "platform/FileSystem.h"

namespace {

QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The directory for this user, and for the parent's group where the parent
// lets it read.
bool MakeDirectory(const std::string& directory) {
    std::string path = directory;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    struct stat parent {};
    mode_t mode = 0700;
    if (::stat(Parent(path).c_str(), &parent) == 0) {
        mode |= parent.st_mode & 0050;
    }
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

}  // namespace

std::string StationProgress::DirectoryFor(const std::string& historyPath) {
    if (historyPath.empty()) {
        return {};
    }
    return Parent(historyPath) + "/station/";
}

std::string StationProgress::BootId() {
    std::string text;
    if (!platform::FileSystem::ReadAll("/proc/sys/kernel/random/boot_id", text, 128)) {
        return {};
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

StationProgress::StationProgress(std::string directory, std::string id, std::string fileName,
                                 std::string package)
    : directory_(std::move(directory)),
      path_(directory_.empty() ? std::string() : directory_ + fileName + ".json"),
      id_(std::move(id)),
      package_(std::move(package)) {}

StationProgress::~StationProgress() {
    End();
}

void StationProgress::Begin() {
    start_ = UpgradeHistory::Now();
    state_ = "detecting";
    file_.clear();
    percent_ = 0;
    Write();
}

void StationProgress::Connected(const std::string& serial, const std::string& port) {
    serial_ = serial;
    port_ = port;
    Write();
}

void StationProgress::OnNotification(std::uint32_t message, platform::WPARAM wParam,
                                     platform::LPARAM lParam, const char* currentFile) {
    if (message != kestrup::WM_UPGRADE_PROGRESS || start_.empty()) {
        return;
    }
    const std::int32_t w = kestrup::ProgressValue(wParam);
    if (w == kestrup::PROGRESS_START) {
        state_ = "sending";
        file_ = currentFile != nullptr ? currentFile : "";
        percent_ = 0;
        Write();
    } else if (w == kestrup::PROGRESS_STATUS && lParam == kestrup::STATUS_FLASHING) {
        state_ = "flashing";
        Write();
    } else if (w >= 0 && w <= 100 && w / 10 != percent_ / 10) {
        percent_ = w;
        Write();
    }
}

void StationProgress::End() {
    if (written_) {
        platform::FileSystem::Delete(path_);
        written_ = false;
    }
    start_.clear();
}

void StationProgress::Write() {
    if (path_.empty() || complained_) {
        return;
    }
    const QJsonObject object{
        {"id", Q(id_)},           {"serial", Q(serial_)}, {"port", Q(port_)},
        {"package", Q(package_)}, {"state", Q(state_)},   {"file", Q(file_)},
        {"percent", percent_},    {"start", Q(start_)},   {"pid", static_cast<qint64>(::getpid())},
        {"boot", Q(BootId())}};
    const std::string line =
        QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
    // Progress is only shown: a directory that cannot be written costs the
    // run nothing; it stops trying.
    if (!MakeDirectory(directory_) || !platform::FileSystem::WriteAll(path_, line)) {
        complained_ = true;
        return;
    }
    written_ = true;
}
