#pragma once

#include <gtest/gtest.h>

#include <QtWidgets/QWidget>
#include <cstring>
#include <string>

#include "engine/Notifications.h"
#include "platform/WindowMessages.h"
#include "platform/ui/Application.h"
#include "shell/CMainFrame.h"
#include "shell/CProgressBar.h"

// A shown main frame with a view, as start-up leaves it, registered as the
// main window of an application attached to the test's thread.
class FrameFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        app.AttachUiThread();
        app.SetMainWnd(&frame);
        ASSERT_TRUE(frame.Create());
        auto* view = new QWidget;
        view->resize(460, 300);
        frame.SetView(view, nullptr, nullptr);
        std::strcpy(currentFile, "app.bin");
        frame.SetCurrentFileSource(currentFile);
        frame.show();
    }

    platform::LRESULT Send(std::uint32_t message, std::int32_t w, platform::LPARAM l = 0) {
        return platform::WindowMessages::Send(&frame, message, kestrup::ProgressWParam(w), l);
    }
    std::string Pane(int index) { return frame.m_wndStatusBar.GetPaneText(index).toStdString(); }
    int BarWidth() const {
        return frame.m_pProgressBar->m_rcLast.right - frame.m_pProgressBar->m_rcLast.left;
    }

    platform::ui::Application app{"Talvenmark Pro Upgrade Utility"};
    CMainFrame frame;
    char currentFile[260] = {};
};
