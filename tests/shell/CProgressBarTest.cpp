#include "shell/CProgressBar.h"

#include <gtest/gtest.h>

#include <QtCore/QPointer>
#include <QtGui/QFontMetrics>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QWidget>

#include "platform/ui/Application.h"
#include "platform/ui/ControlId.h"
#include "platform/ui/StatusBar.h"

namespace {

using platform::ui::StatusBar;

// A main window that is not a frame: the bar finds the status bar among its
// descendants by identifier 59393.
class CProgressBarTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app.AttachUiThread();
        app.SetMainWnd(&window);
        auto* holder = new QWidget(&window);
        status = new StatusBar(holder);
        platform::ui::SetControlId(status, 59393);
        status->SetIndicators({{StatusBar::kMessagePane, QString()}, {59137, "CAP"}});
        status->SetPaneText(0, "Ready");
        status->SetPaneText(1, "CAP");
        window.resize(500, 100);
        Resize(400, 25);
        window.show();
    }
    void Resize(int width, int height) { status->setGeometry(0, 60, width, height); }
    QRect Pane(int index) const { return status->GetItemRect(index); }
    int Space() const { return QFontMetrics(status->font()).horizontalAdvance(" "); }
    int Width(const QString& text) const {
        return QFontMetrics(status->font()).horizontalAdvance(text);
    }

    platform::ui::Application app{"Talvenmark Pro Upgrade Utility"};
    QWidget window;
    StatusBar* status = nullptr;
};

TEST_F(CProgressBarTest, CreatedBarShowsItsLabelAndTakesItsShareOfTheRoomBesideIt) {
    CProgressBar bar("Progress", 40, 100, true, 0);
    ASSERT_TRUE(bar.HasWindow());
    EXPECT_EQ(status->GetPaneText(0), "Progress");
    EXPECT_EQ(bar.m_strSavedPaneText, "Ready");
    EXPECT_EQ(platform::ui::GetControlId(bar.Window()), 1u);
    EXPECT_EQ(bar.Window()->parentWidget(), status);

    const QRect pane = Pane(0);
    const int left = pane.x() + Width("Progress") + 4 * Space();
    const int room = pane.x() + pane.width() - left;
    EXPECT_EQ(bar.m_rcLast.left, left);
    // 60 % of the room is given away, truncating; the bar keeps the rest.
    EXPECT_EQ(bar.m_rcLast.right, pane.x() + pane.width() - (60 * room) / 100);
    EXPECT_EQ(bar.Window()->geometry(),
              QRect(bar.m_rcLast.left, bar.m_rcLast.top, bar.m_rcLast.right - bar.m_rcLast.left,
                    bar.m_rcLast.bottom - bar.m_rcLast.top));
}

TEST_F(CProgressBarTest, EmptyLabelStartsAtThePaneAndSharesZeroAndHundredAreTheEnds) {
    CProgressBar bar("", 40, 100, true, 0);
    const QRect pane = Pane(0);
    EXPECT_EQ(bar.m_rcLast.left, pane.x());
    EXPECT_EQ(bar.m_rcLast.right, pane.x() + pane.width() - (60 * pane.width()) / 100);

    bar.SetWidthPercent(100);
    EXPECT_EQ(bar.m_rcLast.right, pane.x() + pane.width());
    bar.SetWidthPercent(0);
    EXPECT_EQ(bar.m_rcLast.right, bar.m_rcLast.left);
    EXPECT_EQ(bar.Window()->width(), 0);
    // Collapsed, it is still a visible window, so the label still reaches the pane.
    EXPECT_TRUE(bar.SetLabel("Status text\n"));
    EXPECT_EQ(status->GetPaneText(0), "Status text\n");
}

TEST_F(CProgressBarTest, ALabelWiderThanThePaneGivesAZeroWidthBarAtItsEnd) {
    CProgressBar bar("Progress", 40, 100, true, 0);
    const QString wide(200, QLatin1Char('W'));
    ASSERT_GT(Width(wide), Pane(0).width());
    bar.SetLabel(wide);
    const int left = Pane(0).x() + Width(wide) + 4 * Space();
    EXPECT_EQ(bar.m_rcLast.left, left);
    EXPECT_EQ(bar.m_rcLast.right, left);
    EXPECT_GT(left, Pane(0).x() + Pane(0).width());
}

TEST_F(CProgressBarTest, TheBarIsInsetATenthOfThePaneHeightExceptOnLowPanes) {
    CProgressBar bar("Progress", 40, 100, true, 0);
    const QRect tall = Pane(0);
    ASSERT_GE(tall.height(), 20);
    EXPECT_EQ(bar.m_rcLast.top, tall.y() + tall.height() / 10);
    EXPECT_EQ(bar.m_rcLast.bottom, tall.y() + tall.height() - tall.height() / 10);

    Resize(400, 12);
    bar.Reposition();
    const QRect low = Pane(0);
    ASSERT_LE(low.height(), 9);
    EXPECT_EQ(bar.m_rcLast.top, low.y());
    EXPECT_EQ(bar.m_rcLast.bottom - bar.m_rcLast.top, low.height());
}

TEST_F(CProgressBarTest, NothingMovesWhenTheLayoutIsUnchanged) {
    CProgressBar bar("Progress", 40, 100, true, 0);
    const QRect placed = bar.Window()->geometry();
    bar.Window()->setGeometry(1, 1, 3, 3);  // moved behind the bar's back
    EXPECT_TRUE(bar.Reposition());
    EXPECT_EQ(bar.Window()->geometry(), QRect(1, 1, 3, 3));
    // A change of the pane moves it again.
    Resize(450, 25);
    bar.Reposition();
    EXPECT_NE(bar.Window()->geometry(), QRect(1, 1, 3, 3));
    EXPECT_EQ(bar.Window()->x(), placed.x());
}

TEST_F(CProgressBarTest, DeletingGivesPaneZeroReadyAndOtherPanesTheirSavedText) {
    status->SetPaneText(0, "Something else");
    auto* first = new CProgressBar("Progress", 40, 100, true, 0);
    status->SetPaneText(0, "Changed meanwhile");
    QPointer<QProgressBar> control(first->Window());
    delete first;
    EXPECT_EQ(status->GetPaneText(0), "Ready");
    EXPECT_TRUE(control.isNull());  // the window goes with the bar

    auto* second = new CProgressBar("Label", 40, 100, true, 1);
    EXPECT_EQ(second->m_strSavedPaneText, "CAP");
    status->SetPaneText(1, "Other");
    delete second;
    EXPECT_EQ(status->GetPaneText(1), "CAP");
}

TEST_F(CProgressBarTest, PositionIsKeptInsideTheRange) {
    CProgressBar bar("Progress", 40, 100, true, 0);
    EXPECT_EQ(bar.SetBarPos(30), 0);
    EXPECT_EQ(bar.SetBarPos(150), 30);
    EXPECT_EQ(bar.GetPos(), 100);
    EXPECT_EQ(bar.SetBarPos(-5), 100);
    EXPECT_EQ(bar.GetPos(), 0);
    EXPECT_EQ(bar.SetBarStep(4), 1);
    EXPECT_EQ(bar.SetBarStep(1), 4);
}

TEST_F(CProgressBarTest, WhileTheStatusBarIsHiddenTheLabelWaitsForTheNextPaint) {
    CProgressBar bar("Progress", 40, 100, true, 0);
    status->hide();
    EXPECT_TRUE(bar.SetLabel("Hidden label"));
    EXPECT_EQ(status->GetPaneText(0), "Progress");
    status->show();
    bar.Window()->repaint();
    EXPECT_EQ(status->GetPaneText(0), "Hidden label");
}

TEST_F(CProgressBarTest, WithoutAStatusBarEveryOperationDoesNothing) {
    app.SetMainWnd(nullptr);
    EXPECT_EQ(CProgressBar::FindStatusBar(), nullptr);
    {
        CProgressBar bar("Progress", 40, 100, true, 0);
        EXPECT_FALSE(bar.HasWindow());
        EXPECT_TRUE(bar.m_strLabel.isEmpty());
        EXPECT_FALSE(bar.SetLabel("x"));
        EXPECT_FALSE(bar.SetWidthPercent(10));
        EXPECT_FALSE(bar.SetBarRange(0, 10, 1));
        EXPECT_EQ(bar.SetBarPos(5), 0);
        EXPECT_EQ(bar.SetBarStep(2), 0);
        EXPECT_FALSE(bar.Reposition());
        status->SetPaneText(0, "Untouched");
    }
    EXPECT_EQ(status->GetPaneText(0), "Untouched");
}

TEST_F(CProgressBarTest, FindStatusBarWantsAStatusBarUnderTheIdentifier) {
    EXPECT_EQ(CProgressBar::FindStatusBar(), status);
    platform::ui::SetControlId(status, 0);
    auto* impostor = new QWidget(&window);
    platform::ui::SetControlId(impostor, 59393);
    EXPECT_EQ(CProgressBar::FindStatusBar(), nullptr);
}

}  // namespace
