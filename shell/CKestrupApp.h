#pragma once

#include <QtCore/QStringList>
#include <functional>
#include <memory>

class QFileDialog;

#include "platform/Event.h"
#include "platform/ui/Application.h"
#include "shell/CDocViewSeam.h"
#include "shell/CMessageBoxService.h"
#include "usb/UsbTransferChannel.h"

class CMainFrame;

// The application object: start-up, the application's commands (About, New,
// Open, Exit) and exit.
class CKestrupApp : public platform::ui::Application {
  public:
    CKestrupApp();
    ~CKestrupApp() override;

    // Start-up on the UI thread (a QApplication must exist). arguments are
    // the command line without the program name. False ends the application.
    bool InitInstance(const QStringList& arguments);
    // Runs the message loop, then ExitInstance; returns the exit code.
    int Run();
    // Saves the standard settings; returns the exit code of the loop.
    int ExitInstance();
    // Destroys the windows, the message pump and the message boxes; the
    // program calls it before Qt's application object goes. The shutdown
    // step (SetShutdown) runs first, while everything is still there.
    void ReleaseUi();

    // Ends every thread that reports to the windows or uses the channel;
    // ReleaseUi runs it once before anything goes. Unset, nothing runs.
    void SetShutdown(std::function<void()> shutdown) { m_shutdown = std::move(shutdown); }

    // The document and view that start-up creates: the single-document
    // template (CKestrupDocTemplate) unless another one is set before
    // InitInstance.
    void SetDocViewSeam(std::unique_ptr<CDocViewSeam> seam) { m_pDocView = std::move(seam); }
    CDocViewSeam* DocView() const { return m_pDocView.get(); }

    // Start-up's step that starts the upgrade worker with the main frame as
    // its target window. Unset, start-up starts no worker.
    using WorkerStarter = std::function<void(CMainFrame& frame)>;
    void SetWorkerStarter(WorkerStarter starter) { m_workerStarter = std::move(starter); }

    // About box, run modally (command 57664).
    void OnAppAbout();

    bool OnCommand(std::uint32_t id) override;
    bool OnUpdateCommand(std::uint32_t id, platform::ui::CommandState& state) override;

    CMainFrame* MainFrame() const { return m_pMainFrame.get(); }

    // The one transfer channel to the instrument (registered as the
    // engine's AppChannel while the application object lives).
    UsbTransferChannel m_Channel;

    // Auto-reset, not signalled at creation; shared with the detection thread
    // and the frame's close handling.
    std::unique_ptr<platform::Event> m_hStopEvent;
    std::unique_ptr<platform::Event> m_hDoneEvent;

    // The Open dialog: titled "Open", its one filter reads "All Files (*.*)"
    // but matches every file, names without a dot too.
    static void PrepareOpenDialog(QFileDialog& dialog);

  private:
    bool ProcessShellCommand(const QStringList& arguments);
    bool OnFileNew();
    bool OnFileOpen(const QString& path);
    bool CreateFrame();

    std::unique_ptr<CDocViewSeam> m_pDocView;
    WorkerStarter m_workerStarter;
    std::function<void()> m_shutdown;
    std::unique_ptr<CMainFrame> m_pMainFrame;
    CMessageBoxService m_messageBoxService;
    bool m_bDocumentCreated = false;
    int m_nExitCode = 0;
};
