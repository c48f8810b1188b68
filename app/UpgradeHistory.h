#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The record of upgrade attempts, from the window or unattended: one JSON
// object per attempt and line in $XDG_STATE_HOME/kestrup/history.jsonl
// (~/.local/state/kestrup/ without it); the format is in docs/json-report.md.
//
// Each attempt is written with a single append of its whole line when it
// ends, so a crash or a full disk never leaves a line torn in a way that
// spoils the others: a short write is cut off again, and a line that does
// not parse is skipped when reading. A history that cannot be written never
// fails an upgrade; the first failure is said once on the error output.
// UI thread.
class UpgradeHistory {
  public:
    struct Attempt {
        std::string start;  // ISO 8601, UTC
        std::string end;
        std::string package;  // the archive's file name
        std::string sha256;   // of the archive, lower-case hexadecimal; empty when unreadable
        std::string language;
        std::string version;
        std::string instrument;  // "VID:PID" in hexadecimal, empty when unknown
        std::string serial;      // empty when unknown
        std::vector<std::pair<std::string, std::string>> files;  // name, result
        // The package's signature as the hand-off checked it: its state
        // ("signed", "unsigned", "bad-signature", "untrusted-key"; empty when
        // the attempt ended before the check), key id and trusted comment.
        std::string signature;
        std::string keyId;
        std::string trustedComment;
        std::string result;  // "succeeded", "failed" or "closed"
        std::string reason;  // why it failed or was cut short
    };

    // Lines read back at most from the end of the file.
    static constexpr std::size_t kMaxReadBytes = 8 * 1024 * 1024;

    // The history file for the environment; empty when neither an absolute
    // XDG_STATE_HOME nor HOME is set.
    static std::string DefaultPath();
    // Lower-case hexadecimal SHA-256 of a regular file; empty when it cannot
    // be read.
    static std::string Sha256OfFile(const std::string& path);
    // The current time as the history writes it.
    static std::string Now();

    // err receives the one complaint about an unwritable history.
    UpgradeHistory(std::string path, std::FILE* err);

    // An attempt begins: start is set here.
    void Begin(Attempt attempt);
    bool InProgress() const { return current_.has_value(); }
    // The instrument of the attempt in progress.
    void SetInstrument(const std::string& pair, const std::string& serial);
    // The signature check of the attempt in progress.
    void SetSignature(const std::string& state, const std::string& keyId,
                      const std::string& trustedComment);
    // Ends the attempt in progress and appends it. Nothing without one.
    void End(const std::string& result, const std::string& reason,
             std::vector<std::pair<std::string, std::string>> files);

    // Appends one attempt as one line. False (said once on err) when the
    // history cannot be written.
    bool Append(const Attempt& attempt);

    // The last count attempts, newest first, one line each for people.
    std::vector<std::string> Last(int count) const;

    static std::string ToJson(const Attempt& attempt);

  private:
    void Complain(const std::string& why);

    std::string path_;
    std::FILE* err_;
    bool complained_ = false;
    std::optional<Attempt> current_;
};
