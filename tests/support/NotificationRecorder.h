#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/MessageBoxService.h"
#include "platform/MessageWindow.h"

namespace testsupport {

// A main-frame stand-in that records every notification it receives, with
// the current file name at that moment. Lives on the thread that creates it;
// senders on other threads are delivered by that thread's dispatcher.
class NotificationRecorder : public platform::MessageWindow {
  public:
    struct Note {
        std::uint32_t message;
        std::int32_t wParam;  // as the frame reads it: signed 32-bit
        std::int64_t lParam;
        bool operator==(const Note&) const = default;
    };

    platform::LRESULT WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;

    std::vector<Note> Notes() const;
    // Only the 1031 notifications, as (wParam, lParam) pairs.
    std::vector<std::pair<std::int32_t, std::int64_t>> Progress() const;
    void Clear();

  private:
    mutable std::mutex mutex_;
    std::vector<Note> notes_;
};

// A message-box service that records the texts and dismisses at once.
// Installs itself while alive.
class RecordingMessageBoxes : public kestrup::MessageBoxService {
  public:
    RecordingMessageBoxes();
    ~RecordingMessageBoxes() override;
    void Show(const std::string& text) override;
    std::vector<std::string> Texts() const;
    // How many answers the worker had read when each box was shown: a box
    // with more than when the stop came reports something read after it.
    std::vector<std::uint64_t> AnswersReadAtEach() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    std::vector<std::uint64_t> answersRead_;
};

// Clears a stop an earlier test in this process requested, the way the
// program does: a worker's start (the worker ends again at once).
void ClearRunStop();

}  // namespace testsupport
