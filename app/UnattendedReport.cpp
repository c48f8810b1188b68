#include "app/UnattendedReport.h"

#include <QtCore/QDateTime>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QJsonValue>

#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "platform/TextEscape.h"
#include "shell/CMainFrame.h"

struct UnattendedReport::Field {
    const char* name;
    QJsonValue value;
};

namespace {

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

QJsonValue Str(const std::string& text) {
    return QJsonValue(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace

UnattendedReport::UnattendedReport(std::FILE* out, Format format) : out_(out), format_(format) {}

UnattendedReport::~UnattendedReport() {
    StopFlashWatch();
}

void UnattendedReport::Emit(const char* kind, const std::string& line,
                            const std::vector<Field>& fields, bool lineEscaped) {
    if (out_ == nullptr) {
        return;
    }
    std::lock_guard lock(outMutex_);
    if (format_ == Format::Text) {
        // One line per event, whatever the names in it hold: no outside text
        // can start a line of its own (a forged "Result:") or reach the
        // terminal as a control sequence.
        std::fprintf(out_, "%s\n",
                     (lineEscaped ? line : platform::TextEscape::ForTerminal(line)).c_str());
    } else {
        QJsonObject object;
        object.insert("event", QString::fromLatin1(kind));
        object.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
        for (const Field& field : fields) {
            object.insert(QString::fromLatin1(field.name), field.value);
        }
        std::fprintf(out_, "%s\n",
                     QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    }
    std::fflush(out_);
}

void UnattendedReport::Package(const std::string& fileName) {
    Emit("package", "Package: " + fileName, {{"file", Str(fileName)}});
}

void UnattendedReport::Signature(const SignatureCheck& check) {
    {
        std::lock_guard lock(mutex_);
        signature_ = check;
    }
    // The summary escapes the outside text in it already.
    Emit("signature", "Signature: " + check.Summary(),
         {{"state", QString::fromLatin1(check.StateName())},
          {"key_id", Str(check.keyId)},
          {"trusted_comment", Str(check.trustedComment)}},
         true);
}

std::optional<SignatureCheck> UnattendedReport::LastSignature() const {
    std::lock_guard lock(mutex_);
    return signature_;
}

void UnattendedReport::Result(int exitStatus, const std::string& reason) {
    StopFlashWatch();
    std::string line = exitStatus == 0 ? "Result: upgrade succeeded" : "Result: upgrade failed";
    if (exitStatus != 0 && !reason.empty()) {
        line += ": " + reason;
    }
    Emit("result", line,
         {{"exit_status", exitStatus},
          {"succeeded", exitStatus == 0},
          {"reason", Str(exitStatus == 0 ? std::string() : reason)}});
}

void UnattendedReport::RecordFailure(const std::string& file, const std::string& what) {
    failed_ = true;
    if (firstFailure_.empty()) {
        firstFailure_ = file.empty() || what.rfind(file + ":", 0) == 0 ? what : file + ": " + what;
    }
    if (!file.empty() && !files_.empty() && files_.back().name == file &&
        files_.back().result != "sent") {
        files_.back().result = "failed";
    }
}

void UnattendedReport::Fail(const std::string& why) {
    std::lock_guard lock(mutex_);
    failed_ = true;
    if (why_.empty()) {
        why_ = why;
    }
}

void UnattendedReport::Show(const std::string& text) {
    const std::string message = WithoutLineEnd(text);
    Emit("message", "Message: " + message, {{"text", Str(message)}});
    std::lock_guard lock(mutex_);
    RecordFailure(fileOpen_ && !files_.empty() ? files_.back().name : std::string(), message);
}

void UnattendedReport::OnNotification(std::uint32_t message, platform::WPARAM wParam,
                                      platform::LPARAM lParam, const char* currentFile) {
    if (message == kestrup::WM_SET_MODE_USB) {
        {
            std::lock_guard lock(mutex_);
            connected_ = true;
        }
        Emit("connected", "Status: USB device connected", {});
        return;
    }
    if (message != kestrup::WM_UPGRADE_PROGRESS) {
        return;
    }
    const std::int32_t w = kestrup::ProgressValue(wParam);
    const std::string file = currentFile != nullptr ? currentFile : "";
    if (w < 0) {
        // Whatever follows a flash wait ends it.
        StopFlashWatch();
    }
    if (w == kestrup::PROGRESS_START) {
        {
            std::lock_guard lock(mutex_);
            if (fileOpen_ && !fileConfirmed_) {
                RecordFailure(files_.empty() ? std::string() : files_.back().name,
                              "no answer from the instrument");
            }
            ++filesStarted_;
            fileOpen_ = true;
            fileConfirmed_ = false;
            lastDecile_ = -1;
            files_.push_back({file, "unfinished"});
        }
        Emit("file", "Sending " + file, {{"file", Str(file)}});
    } else if (w == kestrup::PROGRESS_STATUS) {
        const auto code = static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam));
        const std::string text = WithoutLineEnd(CMainFrame::StatusText(code, currentFile));
        {
            std::lock_guard lock(mutex_);
            auto confirm = [&] {
                if (fileOpen_ && !fileConfirmed_) {
                    fileConfirmed_ = true;
                    ++filesConfirmed_;
                    files_.back().result = "sent";
                }
            };
            switch (code) {
                case 8:
                    confirm();
                    break;
                case kestrup::STATUS_UPGRADE_DONE:
                    completed_ = true;
                    confirm();
                    break;
                case kestrup::STATUS_FLASHING:
                    // The image arrived; its flash result decides. An empty
                    // image's only percentage (-1) has ended the file before
                    // its flash wait: the wait opens it again.
                    if (fileConfirmed_) {
                        fileConfirmed_ = false;
                        --filesConfirmed_;
                        files_.back().result = "unfinished";
                    }
                    fileOpen_ = !files_.empty();
                    break;
                case kestrup::STATUS_DETECTING:
                    break;
                case kestrup::STATUS_DETECT_FAILED:
                    gaveUp_ = !connected_;
                    RecordFailure(std::string(),
                                  connected_
                                      ? "no file sent: the instrument did not answer the opening "
                                        "request"
                                      : "instrument not found");
                    break;
                default:
                    RecordFailure(fileOpen_ ? file : std::string(), text);
                    break;
            }
        }
        Emit("status", "Status: " + text,
             {{"code", code}, {"text", Str(text)}, {"file", Str(file)}});
        if (code == kestrup::STATUS_FLASHING) {
            StartFlashWatch(file);
        }
    } else if (w == kestrup::PROGRESS_END) {
        bool refused = false;
        {
            std::lock_guard lock(mutex_);
            // A file's end without its confirmation is a refused header,
            // unless the close cut the run short: the file stays unfinished.
            if (fileOpen_ && !fileConfirmed_ && !kestrup::RunStopRequested()) {
                refused = true;
                RecordFailure(file, "refused by the instrument");
            }
            fileOpen_ = false;
        }
        if (refused) {
            Emit("refused", "Status: " + file + ": refused by the instrument",
                 {{"file", Str(file)}});
        }
    } else {
        bool show = false;
        {
            std::lock_guard lock(mutex_);
            const int decile = w / 10;
            if (decile != lastDecile_ && w >= 0 && w <= 100) {
                lastDecile_ = decile;
                show = true;
            }
        }
        if (show) {
            std::string line = "Progress: ";
            line.append(file).append(" ").append(std::to_string(w)).append("% complete");
            Emit("progress", line, {{"file", Str(file)}, {"percent", w}});
        }
    }
}

void UnattendedReport::StartFlashWatch(const std::string& file) {
    StopFlashWatch();
    if (out_ == nullptr) {
        return;
    }
    flashStop_ = platform::Event::Create(true, false);
    if (!flashStop_) {
        return;
    }
    platform::Event* stop = flashStop_.get();
    flashWatch_ = platform::Thread::Start([this, stop, file] {
        std::uint32_t elapsed = 0;
        while (elapsed < kFlashLimitMs && stop->Wait(kFlashReportIntervalMs, "flash report") ==
                                              platform::WaitResult::TimedOut) {
            elapsed += kFlashReportIntervalMs;
            const std::uint32_t seconds = elapsed / 1000;
            const std::uint32_t limit = kFlashLimitMs / 1000;
            Emit("flashing",
                 "Flashing: " + file + ": the instrument has been writing its flash for " +
                     std::to_string(seconds) + " s of at most " + std::to_string(limit) + " s",
                 {{"file", Str(file)},
                  {"elapsed_s", static_cast<qint64>(seconds)},
                  {"limit_s", static_cast<qint64>(limit)}});
        }
    });
}

void UnattendedReport::StopFlashWatch() {
    if (flashWatch_) {
        flashStop_->Set();
        flashWatch_->Join();
        flashWatch_.reset();
    }
    flashStop_.reset();
}

bool UnattendedReport::DetectionGaveUp() const {
    std::lock_guard lock(mutex_);
    return gaveUp_;
}

UnattendedReport::Outcome UnattendedReport::Verdict(bool packageHasApplicationImage) const {
    std::lock_guard lock(mutex_);
    if (failed_ || !connected_ || filesStarted_ == 0 || filesConfirmed_ != filesStarted_) {
        return Outcome::Failed;
    }
    if (packageHasApplicationImage && !completed_) {
        return Outcome::Failed;
    }
    return Outcome::Succeeded;
}

std::string UnattendedReport::FailureReason(bool packageHasApplicationImage) const {
    if (Verdict(packageHasApplicationImage) == Outcome::Succeeded) {
        return {};
    }
    std::lock_guard lock(mutex_);
    if (!why_.empty()) {
        return why_;
    }
    if (gaveUp_ || !connected_) {
        return "instrument not found";
    }
    if (!firstFailure_.empty()) {
        return firstFailure_;
    }
    if (filesStarted_ == 0) {
        return "no file sent";
    }
    for (const FileResult& f : files_) {
        if (f.result != "sent") {
            return f.name + ": no answer from the instrument";
        }
    }
    return "the instrument never reported the upgrade completed";
}

std::vector<UnattendedReport::FileResult> UnattendedReport::Files() const {
    std::lock_guard lock(mutex_);
    return files_;
}

void UnattendedReport::Reset() {
    StopFlashWatch();
    std::lock_guard lock(mutex_);
    connected_ = failed_ = gaveUp_ = completed_ = false;
    filesStarted_ = filesConfirmed_ = 0;
    fileOpen_ = fileConfirmed_ = false;
    lastDecile_ = -1;
    firstFailure_.clear();
    why_.clear();
    files_.clear();
    signature_.reset();
}
