#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {
class Thread;
}

// The record of upgrade attempts, from the window or unattended: JSON lines in
// $XDG_STATE_HOME/kestrup/history.jsonl (~/.local/state/kestrup/ without it);
// the format is in docs/json-report.md. An attempt leaves a "begun" line when
// it starts and its end line (the whole record) when it ends, both carrying
// the attempt's id; an attempt with no end line was interrupted (the process
// was killed, the machine lost power).
//
// Each line is written with a single append, so a crash or a full disk never
// leaves a line torn in a way that spoils the others: a short write is cut
// off again, and a line that does not parse is skipped when reading. The file
// is reached from its base directory through directory handles, never through
// a symbolic link, and it is refused when it is not this user's or has more
// than one link. A history that cannot be written never fails an upgrade; the
// first failure is said once on the error output. UI thread.
class UpgradeHistory {
  public:
    // One attempt; a field added here goes into ToJson too.
    struct Attempt {
        std::string id;     // pairs the begun line with the end line
        std::string start;  // ISO 8601, UTC
        std::string end;
        std::string package;  // the archive's file name
        std::string sha256;   // of the archive, lower-case hexadecimal; empty when unreadable
        std::string language;
        std::string version;
        std::string instrument;  // "VID:PID" in hexadecimal, empty when unknown
        std::string serial;      // empty when unknown
        std::string port;        // the instrument's port path, empty when unknown
        std::string bound;       // the ID a bound run was bound to; empty when unbound
        std::vector<std::pair<std::string, std::string>> files;  // name, result
        // The package's signature as the hand-off checked it: its state
        // ("signed", "unsigned", "bad-signature", "untrusted-key"; empty when
        // the attempt ended before the check), key id and trusted comment.
        std::string signature;
        std::string keyId;
        std::string trustedComment;
        std::string result;  // "begun", then "succeeded", "failed" or "closed"
        std::string reason;  // why it failed or was cut short
    };

    // Where the history lies: the base directory (from the environment,
    // trusted as it is) and the path below it, walked without following links.
    struct Location {
        std::string base;
        std::string relative;
        std::string Path() const { return base.empty() ? std::string() : base + "/" + relative; }
        // A file given by its full path: its directory is the base.
        static Location Of(const std::string& path);
    };

    // Lines read back at most from the end of the file.
    static constexpr std::size_t kMaxReadBytes = 8 * 1024 * 1024;

    // The history for the environment; an empty base when neither an
    // absolute XDG_STATE_HOME nor HOME is set.
    static Location DefaultLocation();
    // Its path; empty without a base.
    static std::string DefaultPath() { return DefaultLocation().Path(); }
    // Lower-case hexadecimal SHA-256 of a regular file; empty when it cannot
    // be read.
    static std::string Sha256OfFile(const std::string& path);
    // The current time as the history writes it.
    static std::string Now();

    // err receives the one complaint about an unwritable history.
    UpgradeHistory(Location location, std::FILE* err);
    ~UpgradeHistory();
    UpgradeHistory(const UpgradeHistory&) = delete;
    UpgradeHistory& operator=(const UpgradeHistory&) = delete;

    // An attempt begins: its id and start are set here and its begun line is
    // written. The SHA-256 of packagePath (when given) is computed on a
    // thread of its own and goes into the end line.
    void Begin(Attempt attempt, const std::string& packagePath = {});
    bool InProgress() const { return current_.has_value(); }
    // The instrument of the attempt in progress.
    void SetInstrument(const std::string& pair, const std::string& serial,
                       const std::string& port = std::string());
    // The signature check of the attempt in progress.
    void SetSignature(const std::string& state, const std::string& keyId,
                      const std::string& trustedComment);
    // Ends the attempt in progress and appends its end line. Nothing without
    // one.
    void End(const std::string& result, const std::string& reason,
             std::vector<std::pair<std::string, std::string>> files);

    // Appends one record as one line. False (said once on err) when the
    // history cannot be written.
    bool Append(const Attempt& attempt);

    // The last count attempts, newest first, one line each for people (tab-
    // separated fields, escaped for a terminal); an attempt without an end
    // line reads "interrupted".
    std::vector<std::string> Last(int count) const;

    static std::string ToJson(const Attempt& attempt);

  private:
    void Complain(const std::string& why);
    void TakeHash();
    // The history file opened through directory handles; -1 with why.
    int Open(bool forWriting, std::string& why) const;

    Location location_;
    std::FILE* err_;
    bool complained_ = false;
    std::optional<Attempt> current_;
    std::unique_ptr<platform::Thread> hashing_;
    std::string hash_;  // written by hashing_, read after its join
};
