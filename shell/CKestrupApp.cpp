#include "shell/CKestrupApp.h"

#include <QtWidgets/QApplication>
#include <QtWidgets/QFileDialog>
#include <utility>

#include "engine/AppChannel.h"
#include "engine/DeviceDetection.h"
#include "engine/FileTransfer.h"
#include "res/Resource.h"
#include "res/StringTable.h"
#include "shell/CAboutBox.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"

namespace {

QString ResString(std::uint32_t id) {
    return QString::fromLatin1(res::StringTable::Load(id).c_str());
}

}  // namespace

CKestrupApp::CKestrupApp()
    : platform::ui::Application(ResString(res::AFX_IDS_APP_TITLE)),
      m_pDocView(std::make_unique<CKestrupDocTemplate>()) {
    kestrup::AppChannel::Set(&m_Channel);
}

CKestrupApp::~CKestrupApp() {
    ReleaseUi();
    if (kestrup::AppChannel::Get() == &m_Channel) {
        kestrup::AppChannel::Set(nullptr);
    }
}

void CKestrupApp::ReleaseUi() {
    if (auto shutdown = std::exchange(m_shutdown, nullptr)) {
        shutdown();
    }
    if (kestrup::MessageBoxService::Current() == &m_messageBoxService) {
        kestrup::MessageBoxService::Install(nullptr);
    }
    SetMainWnd(nullptr);
    m_pMainFrame.reset();
    DetachUiThread();
}

bool CKestrupApp::InitInstance(const QStringList& arguments) {
    // 1. The framework's defaults: this thread becomes the UI thread with its
    //    message pump and message boxes. The application ends on a quit
    //    request only, which closing the main window posts.
    AttachUiThread();
    QApplication::setQuitOnLastWindowClosed(false);
    kestrup::MessageBoxService::Install(&m_messageBoxService);

    // 2. and 3. Standard settings with a recent-file list of four entries.
    SetRegistryKey(QStringLiteral("Local AppWizard-Generated Applications"));
    LoadStdProfileSettings(4);

    // 4. The document template: the document, the frame and the view meet in
    //    the doc/view seam (CKestrupDocTemplate unless SetDocViewSeam set another).

    // 5. The command line: a new document, or the file it names.
    if (!ProcessShellCommand(arguments)) {
        return false;
    }

    // 6. Show the main window and paint it at once.
    m_pMainFrame->show();
    m_pMainFrame->raise();
    m_pMainFrame->activateWindow();
    m_pMainFrame->repaint();

    // 7. and 8. The two events; the done event starts signalled.
    m_hStopEvent = platform::Event::Create(false, false);
    m_hDoneEvent = platform::Event::Create(false, false);
    if (m_hDoneEvent) {
        m_hDoneEvent->Set();
    }

    // 9. The upgrade worker, with the main frame as its target window
    //    (SetWorkerStarter).
    if (m_workerStarter) {
        m_workerStarter(*m_pMainFrame);
    }

    // 10.
    return true;
}

bool CKestrupApp::ProcessShellCommand(const QStringList& arguments) {
    QString file;
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1Char('-'))) {
            file = argument;
            break;
        }
    }
    return file.isEmpty() ? OnFileNew() : OnFileOpen(file);
}

bool CKestrupApp::CreateFrame() {
    auto frame = std::make_unique<CMainFrame>();
    SetMainWnd(frame.get());
    // The notifications name the file the file transfer is sending.
    frame->SetCurrentFileSource(kestrup::g_szCurrentFile);
    if (!frame->Create() || !m_pDocView->CreateDocument(*frame)) {
        SetMainWnd(nullptr);
        MessageBox(ResString(res::AFX_IDP_FAILED_TO_CREATE_DOC));
        return false;
    }
    m_pMainFrame = std::move(frame);
    return true;
}

bool CKestrupApp::OnFileNew() {
    if (!m_pMainFrame && !CreateFrame()) {
        return false;
    }
    if (!m_pDocView->NewDocument()) {
        if (!m_bDocumentCreated) {
            // The new frame goes again, without a message.
            SetMainWnd(nullptr);
            m_pMainFrame.reset();
        }
        return false;
    }
    m_bDocumentCreated = true;
    return true;
}

void CKestrupApp::PrepareOpenDialog(QFileDialog& dialog) {
    dialog.setWindowTitle(ResString(res::AFX_IDS_OPENFILE));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The pattern that counts is the last parenthesised one, "*"; the
    // dialog shows the filter's text without it.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setNameFilter(ResString(res::AFX_IDS_ALLFILTER) + " (*)");
}

bool CKestrupApp::OnFileOpen(const QString& path) {
    if (!m_pMainFrame && !CreateFrame()) {
        return false;
    }
    if (!m_pDocView->OpenDocument(path)) {
        if (!m_bDocumentCreated) {
            SetMainWnd(nullptr);
            m_pMainFrame.reset();
        }
        return false;
    }
    m_bDocumentCreated = true;
    if (Settings() != nullptr) {
        Settings()->AddToRecentFileList(path);
    }
    return true;
}

void CKestrupApp::OnAppAbout() {
    CAboutBox about(GetMainWnd());
    about.exec();
}

bool CKestrupApp::OnCommand(std::uint32_t id) {
    switch (id) {
        case res::ID_APP_ABOUT:
            OnAppAbout();
            return true;
        case res::ID_FILE_NEW:
            // A rescan would rebuild the table and clear the staging
            // directory under a running detection or upgrade.
            if (!kestrup::UpgradeBusy()) {
                OnFileNew();
            }
            return true;
        case res::ID_FILE_OPEN: {
            // Opening fills the list again and resets the chosen row.
            if (kestrup::UpgradeBusy()) {
                return true;
            }
            QFileDialog dialog(GetMainWnd());
            PrepareOpenDialog(dialog);
            if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
                OnFileOpen(dialog.selectedFiles().first());
            }
            return true;
        }
        case res::ID_APP_EXIT:
            if (m_pMainFrame) {
                m_pMainFrame->close();
            }
            return true;
        default:
            return false;
    }
}

bool CKestrupApp::OnUpdateCommand(std::uint32_t id, platform::ui::CommandState& state) {
    switch (id) {
        case res::ID_FILE_NEW:
        case res::ID_FILE_OPEN:
            state.enabled = !kestrup::UpgradeBusy();
            return true;
        case res::ID_APP_ABOUT:
        case res::ID_APP_EXIT:
            state.enabled = true;
            return true;
        default:
            return false;
    }
}

int CKestrupApp::Run() {
    m_nExitCode = RunMessageLoop();
    return ExitInstance();
}

int CKestrupApp::ExitInstance() {
    SaveStdProfileSettings();
    return m_nExitCode;
}
