#include "platform/ui/StatusBar.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtGui/QFontMetrics>
#include <QtGui/QKeyEvent>
#include <map>

namespace {

using platform::ui::StatusBar;

class StatusBarTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bar.SetKeyStateSource([this](std::uint32_t id) { return keys[id]; });
        ASSERT_TRUE(bar.SetIndicators({{StatusBar::kMessagePane, QString()},
                                       {StatusBar::kIndicatorCaps, "CAP"},
                                       {StatusBar::kIndicatorNum, "NUM"},
                                       {StatusBar::kIndicatorScroll, "SCRL"}}));
        bar.resize(500, bar.sizeHint().height());
        bar.show();
    }
    std::map<std::uint32_t, bool> keys;
    StatusBar bar;
};

TEST_F(StatusBarTest, PanesFollowTheIndicatorListAndTheMessagePaneStretches) {
    EXPECT_EQ(bar.GetCount(), 4);
    EXPECT_EQ(bar.CommandToIndex(StatusBar::kMessagePane), 0);
    EXPECT_EQ(bar.CommandToIndex(StatusBar::kIndicatorNum), 2);
    EXPECT_EQ(bar.CommandToIndex(12345), -1);
    EXPECT_EQ(bar.GetItemId(3), StatusBar::kIndicatorScroll);

    const QFontMetrics metrics(bar.font());
    const QRect caps = bar.GetItemRect(1);
    const QRect scrl = bar.GetItemRect(3);
    // Indicator panes are as wide as their texts (plus the same margins).
    EXPECT_EQ(scrl.width() - caps.width(),
              metrics.horizontalAdvance("SCRL") - metrics.horizontalAdvance("CAP"));
    // Panes run left to right without overlap, the last one inside the bar.
    for (int i = 1; i < 4; ++i) {
        EXPECT_GT(bar.GetItemRect(i).left(), bar.GetItemRect(i - 1).right());
    }
    EXPECT_LE(scrl.x() + scrl.width(), bar.width());
    const int before = bar.GetItemRect(0).width();
    bar.resize(600, bar.height());
    EXPECT_EQ(bar.GetItemRect(0).width(), before + 100);
    EXPECT_EQ(bar.GetItemRect(3).width(), scrl.width());
    EXPECT_TRUE(bar.GetItemRect(4).isNull());
}

TEST_F(StatusBarTest, KeyIndicatorsAreEnabledOnlyWhileTheirKeyIsOnAndKeepTheirText) {
    EXPECT_TRUE(bar.IsPaneEnabled(0));
    EXPECT_FALSE(bar.IsPaneEnabled(2));
    EXPECT_FALSE(bar.IsPaneTextShown(2));  // "NUM" follows its key
    EXPECT_TRUE(bar.SetPaneText(2, "USB"));
    EXPECT_EQ(bar.GetPaneText(2), "USB");
    EXPECT_FALSE(bar.IsPaneEnabled(2));
    EXPECT_TRUE(bar.IsPaneTextShown(2));  // a mode text shows whatever the key says
    EXPECT_FALSE(bar.IsPaneTextShown(1));

    keys[StatusBar::kIndicatorNum] = true;
    bar.UpdateKeyIndicators();
    EXPECT_TRUE(bar.IsPaneEnabled(2));
    EXPECT_FALSE(bar.IsPaneEnabled(1));
    EXPECT_EQ(bar.GetPaneText(2), "USB");
    // The pane keeps the width its indicator text gave it.
    EXPECT_EQ(bar.GetItemRect(2).width(), bar.GetItemRect(1).width() +
                                              QFontMetrics(bar.font()).horizontalAdvance("NUM") -
                                              QFontMetrics(bar.font()).horizontalAdvance("CAP"));
}

TEST_F(StatusBarTest, ALockKeyPressReadsTheKeysAgain) {
    keys[StatusBar::kIndicatorCaps] = true;
    QKeyEvent letter(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QCoreApplication::sendEvent(&bar, &letter);
    EXPECT_FALSE(bar.IsPaneEnabled(1));
    QKeyEvent caps(QEvent::KeyRelease, Qt::Key_CapsLock, Qt::NoModifier);
    QCoreApplication::sendEvent(&bar, &caps);
    EXPECT_TRUE(bar.IsPaneEnabled(1));
}

TEST_F(StatusBarTest, PaneTextOutOfRangeIsRefused) {
    EXPECT_FALSE(bar.SetPaneText(-1, "x"));
    EXPECT_FALSE(bar.SetPaneText(4, "x"));
    EXPECT_TRUE(bar.SetPaneText(0, "Ready"));
    EXPECT_EQ(bar.GetPaneText(0), "Ready");
    EXPECT_FALSE(bar.SetIndicators({}));
    EXPECT_EQ(bar.GetCount(), 4);
}

TEST_F(StatusBarTest, ReadsTheRealKeyStateWhereItCanAndOffOtherwise) {
    StatusBar plain;
    plain.SetIndicators({{StatusBar::kMessagePane, QString()}, {StatusBar::kIndicatorNum, "NUM"}});
    // The offscreen platform cannot know the lock keys: the indicator is off.
    EXPECT_FALSE(plain.IsPaneEnabled(1));
}

}  // namespace
