#include "shell/UpgradeWiring.h"

#include <QtCore/QMetaObject>
#include <QtWidgets/QMessageBox>

#include "engine/AppChannel.h"
#include "engine/DeviceDetection.h"
#include "engine/MessageBoxService.h"
#include "engine/UpgradeWorker.h"
#include "platform/Event.h"
#include "platform/ThreadMessageQueue.h"
#include "platform/TimeFacility.h"
#include "shell/CKestrupApp.h"
#include "shell/CKestrupDocTemplate.h"
#include "shell/CMainFrame.h"
#include "shell/CUpgradeView.h"
#include "usb/UsbTransferChannel.h"

namespace {
constexpr std::uint32_t kPauseBeforeClosingMs = 1000;
}

UpgradeWiring::UpgradeWiring(CKestrupApp& app, CKestrupDocTemplate& docTemplate)
    : m_app(app), m_template(docTemplate) {}

UpgradeWiring::~UpgradeWiring() {
    kestrup::SetRunEndedCallback(nullptr);
    if (m_pDetection) {
        m_pDetection->Join();
    }
    if (m_pWorker) {
        // The worker ends with the process; it is never waited for.
        if (kestrup::g_pUpgradeThread.load() == m_pWorker.get()) {
            kestrup::g_pUpgradeThread.store(nullptr);
        }
        m_pWorker->Detach();
    }
}

const char* UpgradeWiring::WorkerFailureText() {
    return "The upgrade worker could not be started; upgrades are not possible.\n";
}

const char* UpgradeWiring::CloseQuestion() {
    return "An upgrade is in progress. Closing now may leave the instrument unusable. "
           "Close anyway?";
}

void UpgradeWiring::Install() {
    m_app.SetWorkerStarter([this](CMainFrame& frame) { StartWorker(frame); });
}

void UpgradeWiring::StartWorker(CMainFrame& frame) {
    frame.SetCloseHandler([this] { return OnClose(); });
    if (CUpgradeView* view = m_template.View()) {
        view->SetDetectionStarter([this](int row) { StartUpgrade(row); });
    }
    m_pWorker = kestrup::StartUpgradeWorker(&frame);
    kestrup::g_pUpgradeThread.store(m_pWorker.get());
    if (!m_pWorker) {
        // Without a worker the hand-off has nowhere to go: say so once the
        // window is up, and the upgrade command does nothing.
        QMetaObject::invokeMethod(
            &frame, [] { kestrup::ShowMessageBox(WorkerFailureText()); }, Qt::QueuedConnection);
        return;
    }
    kestrup::SetRunEndedCallback([this] {
        RefreshCommands();
        if (m_runEndedObserver) {
            m_runEndedObserver();
        }
    });
}

void UpgradeWiring::StartUpgrade(int row) {
    CUpgradeView* view = m_template.View();
    CMainFrame* frame = m_app.MainFrame();
    if (view == nullptr || frame == nullptr || !m_pWorker || kestrup::UpgradeBusy()) {
        return;
    }
    if (m_pDetection) {
        m_pDetection->Join();  // an earlier detection that has ended
        m_pDetection.reset();
    }
    kestrup::DetectionContext context;
    context.channel = &m_app.m_Channel;
    context.stopEvent = m_app.m_hStopEvent.get();
    context.doneEvent = m_app.m_hDoneEvent.get();
    context.mainWindow = frame;
    context.view = view;
    context.ended = [this] { RefreshCommands(); };
    m_pDetection = kestrup::StartDetection(*m_template.Document(), row, context);
    frame->Router().UpdateActions();
}

bool UpgradeWiring::OnClose() {
    // Closing while files are being sent or the instrument writes its flash
    // would end the process under the instrument's feet: ask first.
    if (kestrup::g_bUpgradeRunPending.load()) {
        bool close = false;
        if (m_closeAnswerer) {
            close = m_closeAnswerer();
        } else {
            close = QMessageBox::question(m_app.MainFrame(), m_app.AppName(), CloseQuestion(),
                                          QMessageBox::Yes | QMessageBox::No,
                                          QMessageBox::No) == QMessageBox::Yes;
        }
        if (!close) {
            return false;
        }
    }
    if (kestrup::g_bConnected.load() != 0) {
        m_app.m_Channel.Close();
    } else {
        m_app.m_hStopEvent->Set();
        m_app.m_hDoneEvent->Wait(platform::kInfinite, "detection done");
    }
    platform::TimeFacility::Sleep(kPauseBeforeClosingMs, "before closing");
    return true;
}

void UpgradeWiring::RefreshCommands() {
    // Any thread: the command states are brought up to date on the UI thread.
    if (CMainFrame* frame = m_app.MainFrame()) {
        QMetaObject::invokeMethod(
            frame, [frame] { frame->Router().UpdateActions(); }, Qt::QueuedConnection);
    }
}

void UpgradeWiring::StopWorker() {
    kestrup::SetRunEndedCallback(nullptr);
    if (m_pWorker) {
        platform::ThreadMessageQueue::Post(m_pWorker->Id(), platform::WM_QUIT, 0, 0);
        m_pWorker->Join();
        if (kestrup::g_pUpgradeThread.load() == m_pWorker.get()) {
            kestrup::g_pUpgradeThread.store(nullptr);
        }
        m_pWorker.reset();
    }
}
