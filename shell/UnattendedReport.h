#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/MessageBoxService.h"
#include "platform/MessageTypes.h"

// The unattended mode's account of an upgrade: every status text and every
// message-box text as a line on its output, progress in steps of ten percent
// (so a log is not flooded), and the verdict. While installed it is also the
// message-box service, dismissing every box at once.
//
// An upgrade succeeded when detection connected, every file that was
// announced was confirmed by the instrument, no failure status and no message
// box came, and "Upgrade completed successfully" was reached when the package
// holds an application image.
class UnattendedReport : public kestrup::MessageBoxService {
  public:
    enum class Outcome { Running, Succeeded, Failed };

    explicit UnattendedReport(std::FILE* out);

    // Any thread: prints the text and counts it as a failure.
    void Show(const std::string& text) override;

    // UI thread: a notification the main frame has handled; currentFile is
    // the name of the file being sent.
    void OnNotification(std::uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam,
                        const char* currentFile);

    // Any thread: a line of its own (choice of package, end of run).
    void Print(const std::string& line);

    // Any thread: the attempt failed for a reason no notification carries
    // (the engine could not start, nothing was heard for too long). The
    // first reason given is kept.
    void Fail(const std::string& why);

    // True once detection has given up (the run cannot begin).
    bool DetectionGaveUp() const;
    // Why the upgrade did not succeed, in a few words (empty when it did):
    // the reason given to Fail, else what the notifications tell.
    std::string Why(bool packageHasApplicationImage) const;
    // The verdict after the run has ended.
    Outcome Verdict(bool packageHasApplicationImage) const;
    // 0 success, 1 failure.
    int ExitStatus(bool packageHasApplicationImage) const {
        return Verdict(packageHasApplicationImage) == Outcome::Succeeded ? 0 : 1;
    }

  private:
    std::FILE* out_;
    mutable std::mutex mutex_;
    bool connected_ = false;
    bool failed_ = false;
    bool gaveUp_ = false;
    bool completed_ = false;  // status 88 seen
    int filesStarted_ = 0;
    int filesConfirmed_ = 0;
    bool fileOpen_ = false;  // a file announced and not yet confirmed or failed
    bool fileConfirmed_ = false;
    int lastDecile_ = -1;
    std::string fileName_;    // the file announced last
    std::string failedFile_;  // the first file that failed
    std::string why_;         // the reason given to Fail
};
