#include "shell/CKestrupApp.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QSettings>
#include <QtCore/QTimer>
#include <QtGui/QFileSystemModel>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <atomic>
#include <cstring>

#include "engine/FileTransfer.h"
#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "platform/Thread.h"
#include "platform/WindowMessages.h"
#include "shell/CAboutBox.h"
#include "shell/CMainFrame.h"
#include "tests/platform/ui/QtTestEnvironment.h"

namespace {

class RecordingDocView : public CDocViewSeam {
  public:
    explicit RecordingDocView(std::vector<std::string>& log) : log_(log) {}
    bool CreateDocument(CMainFrame& frame) override {
        log_.push_back("create");
        auto* view = new QWidget;
        view->setFixedSize(300, 200);
        frame.SetView(view, nullptr, nullptr);
        return true;
    }
    bool NewDocument() override {
        log_.push_back("new");
        return newResult;
    }
    bool OpenDocument(const QString& path) override {
        log_.push_back("open " + path.toStdString());
        return openResult;
    }
    bool newResult = true;
    bool openResult = true;

  private:
    std::vector<std::string>& log_;
};

class CKestrupAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto seam = std::make_unique<RecordingDocView>(log);
        docView = seam.get();
        app.SetDocViewSeam(std::move(seam));
        app.SetWorkerStarter([this](CMainFrame& frame) {
            log.push_back("worker");
            workerFrame = &frame;
            doneAtWorkerStart = app.m_hDoneEvent && app.m_hDoneEvent->IsSignaled();
            visibleAtWorkerStart = frame.isVisible();
        });
    }
    std::vector<std::string> log;
    RecordingDocView* docView = nullptr;
    CKestrupApp app;
    CMainFrame* workerFrame = nullptr;
    bool doneAtWorkerStart = false;
    bool visibleAtWorkerStart = false;
};

TEST_F(CKestrupAppTest, StartUpShowsTheFrameThenMakesTheEventsThenStartsTheWorker) {
    ASSERT_TRUE(app.InitInstance({}));
    EXPECT_EQ(log, (std::vector<std::string>{"create", "new", "worker"}));
    ASSERT_NE(app.MainFrame(), nullptr);
    EXPECT_EQ(app.GetMainWnd(), app.MainFrame());
    EXPECT_EQ(workerFrame, app.MainFrame());
    EXPECT_TRUE(visibleAtWorkerStart);
    EXPECT_TRUE(doneAtWorkerStart);
    ASSERT_TRUE(app.m_hStopEvent);
    EXPECT_FALSE(app.m_hStopEvent->IsSignaled());
    // Auto-reset: one wait takes the start-up signal.
    EXPECT_EQ(app.m_hDoneEvent->Wait(0), platform::WaitResult::Signaled);
    EXPECT_EQ(app.m_hDoneEvent->Wait(0), platform::WaitResult::TimedOut);
    EXPECT_EQ(app.MainFrame()->m_wndStatusBar.GetPaneText(0), "Ready");
    EXPECT_EQ(app.MainFrame()->windowTitle(), "Talvenmark Pro Upgrade Utility");
    EXPECT_EQ(app.AppName(), "Talvenmark Pro Upgrade Utility");
    EXPECT_EQ(kestrup::MessageBoxService::Current() != nullptr, true);
}

TEST_F(CKestrupAppTest, NotificationsNameTheFileTheTransferIsSending) {
    ASSERT_TRUE(app.InitInstance({}));
    std::strcpy(kestrup::g_szCurrentFile, "app.bin");
    platform::WindowMessages::Send(app.MainFrame(), kestrup::WM_UPGRADE_PROGRESS,
                                   kestrup::ProgressWParam(kestrup::PROGRESS_START), 0);
    EXPECT_EQ(app.MainFrame()->m_wndStatusBar.GetPaneText(0), " app.bin 0% complete");
    kestrup::g_szCurrentFile[0] = '\0';
}

TEST_F(CKestrupAppTest, AFileThatCannotBeOpenedFailsStartUpBeforeEventsAndWorker) {
    docView->openResult = false;
    EXPECT_FALSE(app.InitInstance({"/no/such.pcg"}));
    EXPECT_EQ(log, (std::vector<std::string>{"create", "open /no/such.pcg"}));
    EXPECT_EQ(app.MainFrame(), nullptr);
    EXPECT_FALSE(app.m_hStopEvent);
    EXPECT_FALSE(app.m_hDoneEvent);
}

TEST_F(CKestrupAppTest, AFileOpenedAtStartUpGoesIntoTheRecentFileList) {
    ASSERT_TRUE(app.InitInstance({"/pkgs/a.pcg"}));
    EXPECT_EQ(app.Settings()->RecentFiles(), QStringList{"/pkgs/a.pcg"});
    app.ExitInstance();
    QSettings store("Local AppWizard-Generated Applications", "Talvenmark Pro Upgrade Utility");
    EXPECT_EQ(store.value("Recent File List/File1").toString(), "/pkgs/a.pcg");
}

TEST_F(CKestrupAppTest, AFrameOrViewThatCannotBeCreatedIsReportedAndEndsStartUp) {
    class FailingView : public CDocViewSeam {
      public:
        bool CreateDocument(CMainFrame&) override { return false; }
        bool NewDocument() override { return true; }
        bool OpenDocument(const QString&) override { return true; }
    };
    app.SetDocViewSeam(std::make_unique<FailingView>());
    app.AttachUiThread();
    QStringList shown;
    app.MessageBoxes()->SetPresenter(
        [&](QWidget*, const QString& caption, const QString& text) { shown << caption << text; });
    EXPECT_FALSE(app.InitInstance({}));
    EXPECT_EQ(shown,
              (QStringList{"Talvenmark Pro Upgrade Utility", "Failed to create empty document."}));
    EXPECT_EQ(app.MainFrame(), nullptr);
    EXPECT_FALSE(app.m_hDoneEvent);
    EXPECT_TRUE(log.empty());
}

TEST_F(CKestrupAppTest, AFailingNewDocumentEndsStartUpWithoutAWindow) {
    docView->newResult = false;
    EXPECT_FALSE(app.InitInstance({}));
    EXPECT_EQ(app.MainFrame(), nullptr);
    EXPECT_EQ(app.GetMainWnd(), nullptr);
}

TEST_F(CKestrupAppTest, AboutCommandRunsTheAboutBoxModally) {
    ASSERT_TRUE(app.InitInstance({}));
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(about->windowTitle(), "About Talvenmark Pro Upgrade Utility");
        seen = true;
        about->accept();
    });
    EXPECT_TRUE(app.MainFrame()->Router().Route(57664));
    EXPECT_TRUE(seen);
}

TEST_F(CKestrupAppTest, ExitClosesTheFrameAndTheMessageLoopEnds) {
    ASSERT_TRUE(app.InitInstance({}));
    QTimer::singleShot(0, [&] { app.MainFrame()->Router().Route(57665); });
    const auto deadline = LoopDeadline("the end of the message loop");
    EXPECT_EQ(app.Run(), 0);
    EXPECT_FALSE(app.MainFrame()->isVisible());
}

TEST_F(CKestrupAppTest, EngineMessageBoxesBlockTheWorkerUntilDismissed) {
    ASSERT_TRUE(app.InitInstance({}));
    QString caption;
    QString text;
    app.MessageBoxes()->SetPresenter([&](QWidget* parent, const QString& c, const QString& t) {
        EXPECT_EQ(parent, app.MainFrame());
        caption = c;
        text = t;
    });
    std::atomic<bool> returned{false};
    auto worker = platform::Thread::Start([&] {
        kestrup::ShowMessageBox("upgrade.bin: CRC Failed");
        returned = true;
        app.Pump()->PostQuit(0);
    });
    const auto deadline = LoopDeadline("the worker's return from the box");
    EXPECT_EQ(app.RunMessageLoop(), 0);
    worker->Join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(caption, "Talvenmark Pro Upgrade Utility");
    EXPECT_EQ(text, "upgrade.bin: CRC Failed");
}

TEST(CKestrupOpenDialogTest, AllFilesMatchesEveryFileNamesWithoutADotToo) {
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    CKestrupApp::PrepareOpenDialog(dialog);
    EXPECT_EQ(dialog.windowTitle(), "Open");
    auto* types = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(types, nullptr);
    EXPECT_EQ(types->count(), 1);
    EXPECT_EQ(types->currentText(), "All Files (*.*)");
    auto* model = dialog.findChild<QFileSystemModel*>();
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->nameFilters(), QStringList{"*"});
}

TEST(CAboutBoxTest, ShowsTheProgramNameVersionAndAnOkButton) {
    CAboutBox about;
    EXPECT_EQ(about.windowTitle(), "About Talvenmark Pro Upgrade Utility");
    QStringList texts;
    for (QLabel* label : about.findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) {
            texts << label->text();
        }
    }
    EXPECT_TRUE(texts.contains("Talvenmark Pro Upgrade Utility Version 7.0.5"));
    EXPECT_EQ(texts.size(), 2);
    const auto buttons = about.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons.front()->text(), "OK");
    EXPECT_TRUE(buttons.front()->isDefault());
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    // The button sits right of the texts, as its dialog units place it.
    EXPECT_GT(buttons.front()->x(), about.width() / 2);
    buttons.front()->click();
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

}  // namespace
