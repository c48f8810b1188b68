#pragma once

#include <cstdint>
#include <string>

#include "platform/MessageTypes.h"

// How far a bound run has come, for --station-status while it runs: one
// small JSON file per instrument in the station's directory beside the
// history (<state>/kestrup/station/<id>.json), replaced whole at every step
// (detecting, each file, every ten percent, flashing) and removed when the
// run has ended and its attempt is in the history. It names the run's
// process and the boot it runs in, so that a file a crash left behind is not
// read as a run that goes on.
//
// The directory gets its parent's group read permission, so that where the
// history is shared with a group (a station's state directory) the progress
// is too. UI thread.
class StationProgress {
  public:
    // The station's directory for the history at historyPath.
    static std::string DirectoryFor(const std::string& historyPath);
    // The running kernel's boot id; empty when unknown.
    static std::string BootId();

    StationProgress(std::string directory, std::string id, std::string fileName,
                    std::string package);
    ~StationProgress();
    StationProgress(const StationProgress&) = delete;
    StationProgress& operator=(const StationProgress&) = delete;

    // The attempt begins: detection looks for the instrument.
    void Begin();
    void Connected(const std::string& serial, const std::string& port);
    // A notification the main frame has handled; currentFile is the file
    // being sent.
    void OnNotification(std::uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam,
                        const char* currentFile);
    // The attempt is over (its line is in the history): the file goes.
    void End();
    // When the attempt in progress began; empty without one.
    const std::string& Start() const { return start_; }

  private:
    void Write();

    const std::string directory_;
    const std::string path_;
    std::string id_;
    std::string package_;
    std::string serial_;
    std::string port_;
    std::string state_;  // "detecting", "sending", "flashing"
    std::string file_;
    int percent_ = 0;
    std::string start_;
    bool written_ = false;
    bool complained_ = false;
};
