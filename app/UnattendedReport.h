#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/MessageBoxService.h"
#include "package/SignatureCheck.h"
#include "platform/Event.h"
#include "platform/MessageTypes.h"
#include "platform/Thread.h"

// The unattended mode's account of an upgrade: every status text and every
// message-box text as a line on its output, progress in steps of ten percent
// (so a log is not flooded), every 30 seconds of a flash wait, and the
// verdict with its reason. As text (one line per event, escaped for a
// terminal, the verdict always the last line) or as JSON Lines (one object
// per event, docs/json-report.md). While installed it is also the
// message-box service, dismissing every box at once. Without an output it
// only keeps the account (the window's upgrade history uses it so).
//
// An upgrade succeeded when detection connected, every file that was
// announced was confirmed by the instrument, no failure status and no message
// box came, and "Upgrade completed successfully" was reached when the package
// holds an application image.
class UnattendedReport : public kestrup::MessageBoxService {
  public:
    enum class Outcome { Running, Succeeded, Failed };
    enum class Format { Text, Json };

    // A file that was announced, and how it ended: "sent" (confirmed),
    // "failed" or "unfinished" (no answer yet).
    struct FileResult {
        std::string name;
        std::string result;
    };

    // How long the instrument may write its flash, and how often the report
    // says that it still does.
    static constexpr std::uint32_t kFlashLimitMs = 20 * 60 * 1000;
    static constexpr std::uint32_t kFlashReportIntervalMs = 30 * 1000;

    explicit UnattendedReport(std::FILE* out, Format format = Format::Text);
    ~UnattendedReport() override;
    UnattendedReport(const UnattendedReport&) = delete;
    UnattendedReport& operator=(const UnattendedReport&) = delete;

    // Any thread: prints the text and counts it as a failure.
    void Show(const std::string& text) override;

    // UI thread: a notification the main frame has handled; currentFile is
    // the name of the file being sent.
    void OnNotification(std::uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam,
                        const char* currentFile);

    // The package chosen for the run.
    void Package(const std::string& fileName);
    // Any thread: the package's signature as the hand-off checked it.
    void Signature(const SignatureCheck& check);
    // The last signature check of the run; nothing before the hand-off.
    std::optional<SignatureCheck> LastSignature() const;
    // The run's last word: its exit status and, for a failure, why.
    void Result(int exitStatus, const std::string& reason);

    // Any thread: the attempt failed for a reason no notification carries
    // (the engine could not start, nothing was heard for too long). The
    // first reason given is kept.
    void Fail(const std::string& why);

    // True once detection has given up (the run cannot begin).
    bool DetectionGaveUp() const;
    // The verdict after the run has ended.
    Outcome Verdict(bool packageHasApplicationImage) const;
    // 0 success, 1 failure.
    int ExitStatus(bool packageHasApplicationImage) const {
        return Verdict(packageHasApplicationImage) == Outcome::Succeeded ? 0 : 1;
    }
    // Why the run failed, in a few words (the reason given to Fail, else the
    // instrument not found, no file sent, the file that failed and how);
    // empty for a success.
    std::string FailureReason(bool packageHasApplicationImage) const;
    // Every file announced so far, in order.
    std::vector<FileResult> Files() const;

    // Forgets the run, for the next one in the same session.
    void Reset();

  private:
    struct Field;
    // One event: its kind, its text line (escaped here unless it already
    // is), and its fields for JSON.
    void Emit(const char* kind, const std::string& line, const std::vector<Field>& fields,
              bool lineEscaped = false);
    void RecordFailure(const std::string& file, const std::string& what);  // mutex_ held
    void StartFlashWatch(const std::string& file);
    void StopFlashWatch();

    std::FILE* out_;
    const Format format_;
    std::mutex outMutex_;
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
    std::string firstFailure_;  // the first failure, as the reason tells it
    std::string why_;           // the reason given to Fail
    std::vector<FileResult> files_;
    std::optional<SignatureCheck> signature_;

    // Says every kFlashReportIntervalMs that the flash is still being written.
    std::unique_ptr<platform::Event> flashStop_;
    std::unique_ptr<platform::Thread> flashWatch_;
};
