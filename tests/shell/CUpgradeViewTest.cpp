#include "shell/CUpgradeView.h"

#include <QtCore/QFile>
#include <QtGui/QFontMetrics>
#include <QtGui/QHelpEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QToolTip>
#include <filesystem>

#include "engine/Notifications.h"
#include "res/Resource.h"
#include "tests/shell/ViewFixture.h"
#include "tests/support/MinisignTool.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

class UpgradeViewTest : public ViewFixture {
  protected:
    // Three packages, then start-up.
    void StartWithThree() {
        Pack("a.pcg", "English", "7.0.5", "2026-01-10");
        Pack("b.pcg", "Deutsch", "7.0.5", "2026-01-11");
        Pack("c.pcg", "Suomi", "7.0.4", "2025-12-01");
        Start();
    }

    QPoint RowCentre(int row) const {
        return List().visualItemRect(List().topLevelItem(row)).center();
    }
    void Mouse(QEvent::Type type, QPoint at) {
        QMouseEvent event(type, at, List().viewport()->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(List().viewport(), &event);
    }
    void Click(QPoint at) {
        Mouse(QEvent::MouseButtonPress, at);
        Mouse(QEvent::MouseButtonRelease, at);
    }
    void DoubleClick(QPoint at) {
        Click(at);
        Mouse(QEvent::MouseButtonDblClick, at);
        Mouse(QEvent::MouseButtonRelease, at);
    }
    QPoint EmptySpace() const { return {5, List().viewport()->height() - 3}; }
    void Key(int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&List(), &press);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
        QApplication::sendEvent(&List(), &release);
    }
    std::string Pane0() const { return frame->m_wndStatusBar.GetPaneText(0).toStdString(); }
};

TEST_F(UpgradeViewTest, NoPackageShowsTitlesOnlyAndStartsNothing) {
    Start();
    ASSERT_EQ(List().columnCount(), 4);
    const QTreeWidgetItem* header = List().headerItem();
    EXPECT_EQ(header->text(0).toStdString(), "language");
    EXPECT_EQ(header->text(1).toStdString(), "version");
    EXPECT_EQ(header->text(2).toStdString(), "version_date");
    EXPECT_EQ(header->text(3).toStdString(), "Filename");
    EXPECT_EQ(header->textAlignment(0) & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
    for (int c = 1; c < 4; ++c) {
        EXPECT_EQ(header->textAlignment(c) & Qt::AlignHorizontal_Mask, Qt::AlignHCenter) << c;
    }
    EXPECT_EQ(List().topLevelItemCount(), 0);
    EXPECT_EQ(view->m_nSelectedItem, -1);
    EXPECT_FALSE(view->HasSelection());

    Click(EmptySpace());
    DoubleClick(EmptySpace());
    Command(res::ID_UPGRADE_VIA_USB);
    Pump();
    EXPECT_EQ(view->m_nSelectedItem, -1);
    EXPECT_TRUE(started.empty());
}

TEST_F(UpgradeViewTest, OnePackageIsChosenAtStartAndTheCommandNeedsNoClick) {
    Pack("TPro_English.pcg", "English", "7.0.5", "2026-01-10");
    Start();
    EXPECT_EQ(Shown(), (Rows{{"English", "7.0.5", "2026-01-10", "TPro_English.pcg"}}));
    EXPECT_EQ(view->m_nSelectedItem, 0);
    EXPECT_EQ(Highlighted(), std::vector<int>{0});
    EXPECT_FALSE(List().topLevelItem(0)->icon(0).isNull());

    Command(res::ID_UPGRADE_VIA_USB);
    Pump();
    EXPECT_EQ(started, std::vector<int>{0});
}

TEST_F(UpgradeViewTest, SeveralPackagesShowTheTableCells) {
    StartWithThree();
    ASSERT_EQ(Doc().m_nPackageCount, 3);
    EXPECT_EQ(Shown(), Table());
    for (int r = 0; r < 3; ++r) {
        EXPECT_FALSE(List().topLevelItem(r)->icon(0).isNull()) << r;
        EXPECT_EQ(List().topLevelItem(r)->textAlignment(3) & Qt::AlignHorizontal_Mask,
                  Qt::AlignHCenter);
    }
    EXPECT_EQ(view->m_nSelectedItem, 0);
}

// Names and values are shown as they are, only without control characters.
TEST_F(UpgradeViewTest, CellsShowNoControlCharacters) {
    Pack("ctl\x1b[2J.pcg", "Eng\tlish\x1b]0;T\x07", "7.0\x7f.5", "2026\xc2\x9b-01 \xc3\xa4");
    Start();
    EXPECT_EQ(Shown(), (Rows{{"English]0;T", "7.0.5", "2026-01 \xc3\xa4", "ctl[2J.pcg"}}));
}

TEST_F(UpgradeViewTest, ColumnsFitTitlesAndContentsAndTheLastFillsTheList) {
    Pack("x.pcg", "A language name far wider than its title", "1", "");
    Start();
    const QHeaderView* header = List().header();
    auto* itemView = static_cast<QAbstractItemView*>(&List());
    // Contents wider than the title.
    EXPECT_EQ(List().columnWidth(0), itemView->sizeHintForColumn(0));
    EXPECT_GT(List().columnWidth(0), header->sectionSizeHint(0));
    // Titles wider than the cells ("1" and an empty date).
    for (int c = 1; c <= 2; ++c) {
        EXPECT_EQ(List().columnWidth(c), header->sectionSizeHint(c)) << c;
        EXPECT_GT(List().columnWidth(c), itemView->sizeHintForColumn(c)) << c;
    }
    // (The 10-pixel floor is never reached here: even an empty title's
    // header section is wider.)
    int total = 0;
    for (int c = 0; c < 4; ++c) {
        total += List().columnWidth(c);
    }
    EXPECT_GE(total, List().viewport()->width());
}

TEST_F(UpgradeViewTest, EachFillFitsTheFrameToTheFormAgain) {
    Start();
    Pump();
    const QSize fitted = frame->size();
    const QSize form = view->size();
    // Without the toolbar the frame keeps its size and the form grows...
    Command(res::ID_VIEW_TOOLBAR);
    Pump();
    ASSERT_EQ(frame->size(), fitted);
    ASSERT_GT(view->height(), form.height());
    // ...until the next fill fits the frame to the form again.
    Command(res::ID_FILE_NEW);
    Pump();
    EXPECT_LT(frame->height(), fitted.height());
    EXPECT_EQ(view->size(), form);
}

TEST_F(UpgradeViewTest, ClickChoosesARowAndEmptySpaceClearsTheChoice) {
    StartWithThree();
    Click(RowCentre(2));
    EXPECT_EQ(view->m_nSelectedItem, 2);
    EXPECT_EQ(Highlighted(), std::vector<int>{2});

    Click(EmptySpace());
    EXPECT_EQ(view->m_nSelectedItem, -1);
    EXPECT_TRUE(Highlighted().empty());
    Command(res::ID_UPGRADE_VIA_USB);
    Pump();
    EXPECT_TRUE(started.empty());

    Click(RowCentre(1));
    Command(res::ID_UPGRADE_VIA_USB);
    Pump();
    EXPECT_EQ(started, std::vector<int>{1});
}

TEST_F(UpgradeViewTest, DoubleClickStartsItsOwnRowAtOnce) {
    StartWithThree();
    Click(RowCentre(0));
    DoubleClick(RowCentre(2));
    EXPECT_EQ(started, std::vector<int>{2});
    EXPECT_EQ(view->m_nSelectedItem, 2);
    EXPECT_EQ(Highlighted(), std::vector<int>{2});
}

TEST_F(UpgradeViewTest, KeyboardMovesTheChosenRowWithTheHighlight) {
    StartWithThree();
    List().setFocus();
    Click(RowCentre(2));
    Key(Qt::Key_Up);
    EXPECT_EQ(Highlighted(), std::vector<int>{1});
    EXPECT_EQ(view->m_nSelectedItem, 1);
    Key(Qt::Key_Home);
    EXPECT_EQ(view->m_nSelectedItem, 0);
    Key(Qt::Key_End);
    EXPECT_EQ(view->m_nSelectedItem, 2);

    // The command acts on the row the operator sees highlighted.
    Key(Qt::Key_Up);
    Command(res::ID_UPGRADE_VIA_USB);
    Pump();
    EXPECT_EQ(started, std::vector<int>{1});
}

TEST_F(UpgradeViewTest, CommandPostsOneMessageHandledAfterTheHandlerReturns) {
    StartWithThree();
    Click(RowCentre(1));
    Command(res::ID_UPGRADE_VIA_USB);
    EXPECT_TRUE(started.empty());
    Pump();
    Pump();
    EXPECT_EQ(started, std::vector<int>{1});
}

TEST_F(UpgradeViewTest, StartCommandsFromAnySourceReachTheStartHandler) {
    StartWithThree();
    platform::WindowMessages::Send(view, platform::WM_COMMAND, res::ID_START_UPGRADE, 0);
    platform::WindowMessages::Send(view, platform::WM_COMMAND, res::ID_POSTED_UPGRADE, 0);
    platform::WindowMessages::Send(view, platform::WM_COMMAND, res::ID_UPGRADE_VIA_USB, 0);
    EXPECT_EQ(started, (std::vector<int>{0, 0}));
}

TEST_F(UpgradeViewTest, WithoutDetectionTheStartReportsDetectionUnderWay) {
    StartWithThree();
    view->SetDetectionStarter(nullptr);
    view->StartUpgrade();
    EXPECT_EQ(Pane0(), CMainFrame::StatusText(kestrup::STATUS_DETECTING, ""));
}

TEST_F(UpgradeViewTest, FormHoldsTheWarningUnderTheList) {
    Start();
    const auto* text = view->findChild<QLabel*>(QStringLiteral("warningText"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text().toStdString(),
              "Warning: To avoid corruption of the upgrade data ensure the instrument and PC are "
              "connected to the A.C. power sources. Also ensure the USB connection between the "
              "Instrument and the PC is firmly pushed home and not disturbed until upgrade is "
              "completed.");
    const auto* icon = view->findChild<QLabel*>(QStringLiteral("warningIcon"));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));
    const auto* group = view->findChild<QGroupBox*>();
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->title().toStdString(), "Information");
    EXPECT_GT(group->y(), List().geometry().bottom());
    EXPECT_TRUE(group->geometry().contains(text->geometry()));
    EXPECT_TRUE(group->geometry().contains(icon->geometry()));
    EXPECT_TRUE(view->rect().contains(group->geometry()));
    // The whole form is shown.
    EXPECT_GE(view->width(), view->sizeHint().width());
    EXPECT_GE(view->height(), view->sizeHint().height());
}

// A row's tooltip tells its signature, checked only when it is asked for:
// a signature that appears after the list was filled is what the first
// tooltip shows. The four columns stay; markup in a trusted comment is text.
TEST_F(UpgradeViewTest, ARowsTooltipTellsItsSignatureCheckedWhenAskedFor) {
    using testsupport::MinisignTool;
    if (!MinisignTool::Available()) {
        GTEST_SKIP() << MinisignTool::Missing();
    }
    std::filesystem::create_directories(sandbox.KeysDir());
    ASSERT_TRUE(MinisignTool::MakeKey(sandbox.Root() + "k.key", sandbox.KeysDir() + "k.pub"));
    StartWithThree();
    EXPECT_EQ(List().columnCount(), 4);
    ASSERT_TRUE(MinisignTool::Sign(sandbox.Root() + "k.key", sandbox.PackageDir() + "b.pcg",
                                   "<b>release</b> & more"));
    const std::string tip = view->RowToolTip(1).toStdString();
    EXPECT_EQ(tip.rfind("<qt><p style='white-space:pre'>Signed by key ", 0), 0u) << tip;
    EXPECT_NE(tip.find(" and verified.</p><p>Trusted comment: &lt;b&gt;release&lt;/b&gt; &amp; "
                       "more</p></qt>"),
              std::string::npos)
        << tip;
    EXPECT_EQ(view->RowToolTip(2).toStdString(),
              "<qt><p style='white-space:pre'>Not signed.</p></qt>");
    EXPECT_TRUE(view->RowToolTip(3).isEmpty());
    EXPECT_TRUE(view->RowToolTip(-1).isEmpty());

    // The pointer resting on a row shows it.
    const QPoint at = RowCentre(1);
    QHelpEvent help(QEvent::ToolTip, at, List().viewport()->mapToGlobal(at));
    QApplication::sendEvent(List().viewport(), &help);
    EXPECT_EQ(QToolTip::text().toStdString(), tip);
    QToolTip::hideText();
}

}  // namespace
