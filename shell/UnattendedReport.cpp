#include "shell/UnattendedReport.h"

#include "engine/Notifications.h"
#include "shell/CMainFrame.h"

namespace {

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

UnattendedReport::UnattendedReport(std::FILE* out) : out_(out) {}

void UnattendedReport::Print(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void UnattendedReport::Show(const std::string& text) {
    Print("Message: " + WithoutLineEnd(text));
    std::lock_guard lock(mutex_);
    failed_ = true;
    if (fileOpen_ && failedFile_.empty()) {
        failedFile_ = fileName_;
    }
}

void UnattendedReport::Fail(const std::string& why) {
    std::lock_guard lock(mutex_);
    failed_ = true;
    if (why_.empty()) {
        why_ = why;
    }
}

void UnattendedReport::OnNotification(std::uint32_t message, platform::WPARAM wParam,
                                      platform::LPARAM lParam, const char* currentFile) {
    if (message == kestrup::WM_SET_MODE_USB) {
        {
            std::lock_guard lock(mutex_);
            connected_ = true;
        }
        Print("Status: USB device connected");
        return;
    }
    if (message != kestrup::WM_UPGRADE_PROGRESS) {
        return;
    }
    const std::int32_t w = kestrup::ProgressValue(wParam);
    std::string line;
    {
        std::lock_guard lock(mutex_);
        if (w == kestrup::PROGRESS_START) {
            if (fileOpen_ && !fileConfirmed_) {
                failed_ = true;
            }
            ++filesStarted_;
            fileOpen_ = true;
            fileConfirmed_ = false;
            lastDecile_ = -1;
            fileName_ = currentFile;
            line = std::string("Sending ") + currentFile;
        } else if (w == kestrup::PROGRESS_STATUS) {
            const auto code = static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam));
            line = "Status: " + WithoutLineEnd(CMainFrame::StatusText(code, currentFile));
            switch (code) {
                case 8:
                    if (fileOpen_ && !fileConfirmed_) {
                        fileConfirmed_ = true;
                        ++filesConfirmed_;
                    }
                    break;
                case kestrup::STATUS_UPGRADE_DONE:
                    completed_ = true;
                    if (fileOpen_ && !fileConfirmed_) {
                        fileConfirmed_ = true;
                        ++filesConfirmed_;
                    }
                    break;
                case kestrup::STATUS_FLASHING:
                    // The image arrived; its flash result decides.
                    if (fileConfirmed_) {
                        fileConfirmed_ = false;
                        --filesConfirmed_;
                    }
                    break;
                case kestrup::STATUS_DETECTING:
                    break;
                case kestrup::STATUS_DETECT_FAILED:
                    gaveUp_ = !connected_;
                    failed_ = true;
                    break;
                default:
                    failed_ = true;
                    if (fileOpen_ && failedFile_.empty()) {
                        failedFile_ = fileName_;
                    }
                    break;
            }
        } else if (w == kestrup::PROGRESS_END) {
            // A file's end without its confirmation is a refused header.
            if (fileOpen_ && !fileConfirmed_) {
                failed_ = true;
                if (failedFile_.empty()) {
                    failedFile_ = fileName_;
                }
                line = std::string("Status: ") + currentFile + ": refused by the instrument";
            }
            fileOpen_ = false;
        } else {
            const int decile = w / 10;
            if (decile != lastDecile_ && w >= 0 && w <= 100) {
                lastDecile_ = decile;
                line.append(" ").append(currentFile).append(" ");
                line.append(std::to_string(w)).append("% complete");
            }
        }
    }
    if (!line.empty()) {
        Print(line);
    }
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

std::string UnattendedReport::Why(bool packageHasApplicationImage) const {
    if (Verdict(packageHasApplicationImage) == Outcome::Succeeded) {
        return {};
    }
    std::lock_guard lock(mutex_);
    if (!why_.empty()) {
        return why_;
    }
    if (!connected_) {
        return gaveUp_ ? "instrument not found" : "instrument not connected";
    }
    if (filesStarted_ == 0) {
        return "no file sent";
    }
    if (!failedFile_.empty()) {
        return failedFile_ + " failed";
    }
    if (filesConfirmed_ != filesStarted_) {
        return fileName_ + " was not confirmed by the instrument";
    }
    if (packageHasApplicationImage && !completed_) {
        return "the instrument did not report the upgrade completed";
    }
    return "a failure was reported";
}
