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
#include "platform/WindowMessages.h"
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
    m_app.SetShutdown(nullptr);
    Shutdown();
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
    m_app.SetShutdown([this] { Shutdown(); });
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
    if (view == nullptr || frame == nullptr || m_bShutDown || kestrup::UpgradeBusy()) {
        return;  // a command still queued when the window closed does nothing
    }
    if (!m_pWorker) {
        // The operator was told at start-up; an unattended run ends here.
        AttemptFailed("the upgrade worker could not be started");
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
    context.ended = [this](kestrup::DetectionEnd end) {
        RefreshCommands();
        if (end == kestrup::DetectionEnd::GaveUp) {
            AttemptFailed("instrument not found");
        } else if (end == kestrup::DetectionEnd::NotHandedOver) {
            AttemptFailed("no file sent: the upgrade could not be handed to the worker");
        }
    };
    m_pDetection = kestrup::StartDetection(*m_template.Document(), row, context);
    if (!m_pDetection) {
        AttemptFailed("device detection could not be started");
    }
    frame->Router().UpdateActions();
}

bool UpgradeWiring::OnClose() {
    // From the connection on, closing would end the process under the
    // instrument's feet: ask first.
    const bool underWay = kestrup::g_bUpgradeRunPending.load() || kestrup::HandOffActive();
    if (underWay) {
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
    // Nothing starts talking to the instrument from now on, and what is under
    // way stops at its next step.
    kestrup::RequestRunStop();
    if (underWay) {
        m_app.m_Channel.CancelTransfers();
    }
    StopDetection();
    if (kestrup::g_bConnected.load() != 0) {
        m_app.m_Channel.Close();
    } else {
        m_app.m_hStopEvent->Set();
        m_app.m_hDoneEvent->Wait(platform::kInfinite, "detection done");
    }
    platform::TimeFacility::Sleep(kPauseBeforeClosingMs, "before closing");
    Shutdown();
    return true;
}

void UpgradeWiring::StopDetection() {
    if (!m_pDetection) {
        return;
    }
    if (!m_pDetection->Finished()) {
        m_app.m_hStopEvent->Set();
    }
    platform::WindowMessages::JoinDispatching(*m_pDetection);
    m_pDetection.reset();
}

void UpgradeWiring::Shutdown() {
    m_bShutDown = true;
    kestrup::RequestRunStop();
    StopDetection();
    kestrup::SetRunEndedCallback(nullptr);
    if (!m_pWorker) {
        return;
    }
    if (kestrup::g_bUpgradeRunPending.load()) {
        m_app.m_Channel.CancelTransfers();
    }
    platform::ThreadMessageQueue::Post(m_pWorker->Id(), platform::WM_QUIT, 0, 0);
    platform::WindowMessages::JoinDispatching(*m_pWorker);
    if (kestrup::g_pUpgradeThread.load() == m_pWorker.get()) {
        kestrup::g_pUpgradeThread.store(nullptr);
    }
    m_pWorker.reset();
}

void UpgradeWiring::AttemptFailed(const std::string& why) {
    if (m_attemptFailedObserver) {
        m_attemptFailedObserver(why);
    }
}

void UpgradeWiring::RefreshCommands() {
    // Any thread: the command states are brought up to date on the UI thread.
    if (CMainFrame* frame = m_app.MainFrame()) {
        QMetaObject::invokeMethod(
            frame, [frame] { frame->Router().UpdateActions(); }, Qt::QueuedConnection);
    }
}
