#include "tests/support/NotificationRecorder.h"

#include "engine/Notifications.h"
#include "engine/UpgradeWorker.h"
#include "platform/ThreadMessageQueue.h"

namespace testsupport {

platform::LRESULT NotificationRecorder::WindowProc(std::uint32_t message, platform::WPARAM wParam,
                                                   platform::LPARAM lParam) {
    std::lock_guard lock(mutex_);
    notes_.push_back(
        Note{message, kestrup::ProgressValue(wParam), static_cast<std::int64_t>(lParam)});
    return 0;
}

std::vector<NotificationRecorder::Note> NotificationRecorder::Notes() const {
    std::lock_guard lock(mutex_);
    return notes_;
}

std::vector<std::pair<std::int32_t, std::int64_t>> NotificationRecorder::Progress() const {
    std::vector<std::pair<std::int32_t, std::int64_t>> out;
    for (const Note& n : Notes()) {
        if (n.message == kestrup::WM_UPGRADE_PROGRESS) {
            out.emplace_back(n.wParam, n.lParam);
        }
    }
    return out;
}

void NotificationRecorder::Clear() {
    std::lock_guard lock(mutex_);
    notes_.clear();
}

RecordingMessageBoxes::RecordingMessageBoxes() {
    kestrup::MessageBoxService::Install(this);
}

RecordingMessageBoxes::~RecordingMessageBoxes() {
    kestrup::MessageBoxService::Install(nullptr);
}

void RecordingMessageBoxes::Show(const std::string& text) {
    const std::uint64_t answersRead = kestrup::StepsSoFar().answersRead;
    std::lock_guard lock(mutex_);
    texts_.push_back(text);
    answersRead_.push_back(answersRead);
}

std::vector<std::string> RecordingMessageBoxes::Texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
}

std::vector<std::uint64_t> RecordingMessageBoxes::AnswersReadAtEach() const {
    std::lock_guard lock(mutex_);
    return answersRead_;
}

void ClearRunStop() {
    NotificationRecorder frame;
    if (auto worker = kestrup::StartUpgradeWorker(&frame)) {
        platform::ThreadMessageQueue::Post(worker->Id(), platform::WM_QUIT, 0, 0);
        worker->Join();
    }
}

}  // namespace testsupport
