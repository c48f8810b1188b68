#include "platform/ui/ModalMessageBox.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <atomic>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/TimeFacility.h"
#include "platform/ui/QtMessagePump.h"
#include "tests/platform/ui/QtTestEnvironment.h"

namespace {

TEST(ModalMessageBoxTest, ACallerOnAnotherThreadWaitsUntilTheBoxIsDismissed) {
    platform::TimeFacility::ScopedScale scale(1);
    platform::ui::QtMessagePump pump;
    platform::ui::ModalMessageBox boxes;
    platform::ThreadId shownOn = 0;
    QString caption;
    QString text;
    std::atomic<bool> returned{false};
    auto dismiss = platform::Event::Create(false, false);
    boxes.SetPresenter([&](QWidget*, const QString& c, const QString& t) {
        shownOn = platform::Thread::CurrentId();
        caption = c;
        text = t;
        // The operator takes a while: the caller must still be waiting.
        EXPECT_EQ(dismiss->Wait(100, "operator"), platform::WaitResult::TimedOut);
        EXPECT_FALSE(returned.load());
    });
    auto worker = platform::Thread::Start([&] {
        boxes.Show("Title", "Something failed\n");
        returned = true;
        pump.PostQuit(0);
    });
    const auto deadline = LoopDeadline("the worker's return from the box");
    EXPECT_EQ(QCoreApplication::exec(), 0);
    worker->Join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(shownOn, platform::Thread::CurrentId());
    EXPECT_EQ(caption, "Title");
    EXPECT_EQ(text, "Something failed\n");
}

TEST(ModalMessageBoxTest, TheRealBoxHasTheCaptionTheTextAndOneOkButton) {
    platform::ui::ModalMessageBox boxes;
    bool checked = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), "Talvenmark Pro Upgrade Utility");
        EXPECT_EQ(box->text(), "x.bin: CRC Failed");
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->standardButton(box->buttons().front()), QMessageBox::Ok);
        checked = true;
        box->buttons().front()->click();
    });
    boxes.Show("Talvenmark Pro Upgrade Utility", "x.bin: CRC Failed");
    EXPECT_TRUE(checked);
}

}  // namespace
