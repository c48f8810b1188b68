#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtGui/QAction>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtGui/QStatusTipEvent>
#include <QtWidgets/QLayout>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QToolBar>

#include "platform/ui/ControlId.h"
#include "tests/shell/FrameFixture.h"

namespace {

using CMainFrameTest = FrameFixture;

TEST_F(CMainFrameTest, FixedSizeTitledFrameWithoutMaximizeBox) {
    EXPECT_EQ(frame.windowTitle(), "Talvenmark Pro Upgrade Utility");
    const Qt::WindowFlags flags = frame.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_EQ(frame.minimumSize(), frame.maximumSize());
    EXPECT_EQ(frame.size(), frame.minimumSize());
    EXPECT_FALSE(frame.windowIcon().isNull());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(std::abs(frame.frameGeometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(frame.frameGeometry().center().y() - screen.center().y()), 1);
}

TEST_F(CMainFrameTest, MenuAndToolbarCarryTheCommands) {
    std::vector<std::string> texts;
    for (QAction* popup : frame.menuBar()->actions()) {
        texts.push_back(popup->text().toStdString());
        for (QAction* item : popup->menu()->actions()) {
            texts.push_back(item->isSeparator() ? "-" : item->text().toStdString());
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"&File", "Upgrade Via USB", "-", "E&xit", "&View",
                                               "&Toolbar", "&Status Bar", "&Help", "&About..."}));

    std::vector<std::uint32_t> buttons;
    for (QAction* action : frame.m_wndToolBar.actions()) {
        buttons.push_back(action->isSeparator() ? 0
                                                : platform::ui::CommandRouter::CommandOf(action));
    }
    EXPECT_EQ(buttons, (std::vector<std::uint32_t>{32785, 0, 57664}));
    EXPECT_EQ(frame.m_wndToolBar.actions().front()->toolTip(), "Upgrade Via USB");
    EXPECT_EQ(frame.m_wndToolBar.actions().front()->statusTip(), "Upgrade device via USB");
    EXPECT_EQ(frame.m_wndToolBar.allowedAreas(), Qt::AllToolBarAreas);
    EXPECT_TRUE(frame.m_wndToolBar.isFloatable());
    EXPECT_TRUE(frame.m_wndToolBar.isMovable());
    EXPECT_EQ(frame.toolBarArea(&frame.m_wndToolBar), Qt::TopToolBarArea);
}

TEST_F(CMainFrameTest, StatusBarHasFourPanesReadingReady) {
    const platform::ui::StatusBar& bar = frame.m_wndStatusBar;
    ASSERT_EQ(bar.GetCount(), 4);
    EXPECT_EQ(bar.GetItemId(0), 0u);
    EXPECT_EQ(bar.GetItemId(1), 59137u);
    EXPECT_EQ(bar.GetItemId(2), 59138u);
    EXPECT_EQ(bar.GetItemId(3), 59139u);
    EXPECT_EQ(bar.GetPaneText(0), "Ready");
    EXPECT_EQ(bar.GetPaneText(1), "CAP");
    EXPECT_EQ(bar.GetPaneText(2), "NUM");
    EXPECT_EQ(bar.GetPaneText(3), "SCRL");
    EXPECT_EQ(platform::ui::GetControlId(&bar), 59393u);
    EXPECT_EQ(platform::ui::GetControlId(&frame.m_wndToolBar), 59392u);
    EXPECT_EQ(CProgressBar::FindStatusBar(), &bar);
}

TEST_F(CMainFrameTest, ViewCommandsHideAndShowTheBarsAndTheChecksFollow) {
    auto& router = frame.Router();
    const QSize size = frame.size();
    EXPECT_TRUE(router.Query(59392).checked);
    EXPECT_TRUE(router.Route(59392));
    EXPECT_TRUE(frame.m_wndToolBar.isHidden());
    EXPECT_FALSE(router.Query(59392).checked);

    Send(kestrup::WM_UPGRADE_PROGRESS, kestrup::PROGRESS_START);
    EXPECT_TRUE(router.Route(59393));
    EXPECT_FALSE(router.Query(59393).checked);
    EXPECT_FALSE(frame.m_pProgressBar->Window()->isVisible());  // hidden with its parent
    router.Route(59393);
    EXPECT_TRUE(frame.m_pProgressBar->Window()->isVisible());
    router.Route(59392);
    EXPECT_TRUE(router.Query(59392).checked);
    EXPECT_EQ(frame.size(), size);

    // The menu's check marks follow when it opens.
    QAction* statusItem = nullptr;
    for (QAction* popup : frame.menuBar()->actions()) {
        for (QAction* item : popup->menu()->actions()) {
            if (platform::ui::CommandRouter::CommandOf(item) == 59393) {
                statusItem = item;
            }
        }
    }
    ASSERT_NE(statusItem, nullptr);
    router.Route(59393);
    EXPECT_FALSE(statusItem->isChecked());
}

TEST_F(CMainFrameTest, AcceleratorsWithoutHandlersDoNothing) {
    auto& router = frame.Router();
    for (std::uint32_t id : {57643u, 57635u, 57634u, 57637u, 57603u, 57680u, 57681u}) {
        EXPECT_FALSE(router.Route(id)) << id;
    }
    EXPECT_EQ(frame.m_wndStatusBar.GetPaneText(0), "Ready");
}

TEST_F(CMainFrameTest, FlyByPromptsUseTheMessagePaneAndGiveItBack) {
    QStatusTipEvent tip("Upgrade device via USB");
    QCoreApplication::sendEvent(&frame, &tip);
    EXPECT_EQ(frame.m_wndStatusBar.GetPaneText(0), "Upgrade device via USB");
    QStatusTipEvent none("");
    QCoreApplication::sendEvent(&frame, &none);
    EXPECT_EQ(frame.m_wndStatusBar.GetPaneText(0), "Ready");

    Send(kestrup::WM_UPGRADE_PROGRESS, kestrup::PROGRESS_START);
    QCoreApplication::sendEvent(&frame, &tip);
    QCoreApplication::sendEvent(&frame, &none);
    EXPECT_EQ(frame.m_wndStatusBar.GetPaneText(0), " app.bin 0% complete");
}

TEST_F(CMainFrameTest, ClosingRunsTheCloseHandlerThenEndsTheApplication) {
    int handled = 0;
    frame.SetCloseHandler([&] {
        ++handled;
        return true;
    });
    frame.close();
    EXPECT_EQ(handled, 1);
    EXPECT_FALSE(frame.isVisible());
    EXPECT_EQ(app.Pump()->QuitRequests(), 1);
}

TEST_F(CMainFrameTest, ACloseHandlerCanKeepTheWindowOpenAndObserversSeeNotifications) {
    frame.SetCloseHandler([] { return false; });
    std::vector<std::uint32_t> seen;
    frame.SetNotificationObserver([&](std::uint32_t message, platform::WPARAM, platform::LPARAM) {
        seen.push_back(message);
    });
    frame.close();
    EXPECT_TRUE(frame.isVisible());
    EXPECT_EQ(app.Pump()->QuitRequests(), 0);
    Send(kestrup::WM_SET_MODE_USB, 0);
    EXPECT_EQ(seen, std::vector<std::uint32_t>{kestrup::WM_SET_MODE_USB});
}

}  // namespace

namespace {

TEST_F(CMainFrameTest, TheToolbarDocksOnAnySideInsideTheFixedFrame) {
    const QSize size = frame.size();
    const int viewWidth = frame.View()->width();
    frame.addToolBar(Qt::LeftToolBarArea, &frame.m_wndToolBar);
    frame.layout()->activate();
    EXPECT_EQ(frame.toolBarArea(&frame.m_wndToolBar), Qt::LeftToolBarArea);
    EXPECT_EQ(frame.size(), size);
    EXPECT_LT(frame.View()->width(), viewWidth);
    EXPECT_TRUE(frame.m_wndToolBar.isVisible());
}

}  // namespace
