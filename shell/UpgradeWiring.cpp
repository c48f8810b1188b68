#include "shell/UpgradeWiring.h"

#include <QtCore/QMetaObject>
#include <QtWidgets/QMessageBox>

#include "engine/AppChannel.h"
#include "engine/DeviceDetection.h"
#include "engine/EngineShutdown.h"
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
    m_threads.worker = kestrup::StartUpgradeWorker(&frame);
    kestrup::g_pUpgradeThread.store(m_threads.worker.get());
    if (!m_threads.worker) {
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
    if (!m_threads.worker) {
        // The operator was told at start-up; an unattended run ends here.
        AttemptFailed("the upgrade worker could not be started");
        return;
    }
    if (m_threads.detection) {
        m_threads.detection->Join();  // an earlier detection that has ended
        m_threads.detection.reset();
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
        } else if (end == kestrup::DetectionEnd::PackageDamaged) {
            AttemptFailed("no file sent: the package is damaged");
        } else if (end == kestrup::DetectionEnd::NoSpace) {
            AttemptFailed("no file sent: not enough free space to unpack the package");
        } else if (end == kestrup::DetectionEnd::TwoApplicationImages) {
            AttemptFailed("no file sent: the package holds more than one application image");
        } else if (end == kestrup::DetectionEnd::TwoBootImages) {
            AttemptFailed("no file sent: the package holds more than one boot image");
        } else if (end == kestrup::DetectionEnd::PackageRefused) {
            AttemptFailed(std::string("no file sent: the package ") +
                          m_template.Document()->LastCheck().RefusalPhrase());
        } else if (end == kestrup::DetectionEnd::StagingUnusable) {
            AttemptFailed("no file sent: the staging directory cannot be emptied");
        } else if (end == kestrup::DetectionEnd::NotHandedOver) {
            AttemptFailed("no file sent: the upgrade could not be handed to the worker");
        }
    };
    m_threads.detection = kestrup::StartDetection(*m_template.Document(), row, context);
    if (!m_threads.detection) {
        AttemptFailed("device detection could not be started");
    }
    frame->Router().UpdateActions();
}

bool UpgradeWiring::OnClose() {
    // Once the run has begun (its opening request went out), closing would
    // end the process under the instrument's feet: ask first. Before that
    // nothing has been sent, and a run that has not begun never will.
    if (!kestrup::StopRunUnlessBegun()) {
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
    m_bShutDown = true;
    kestrup::CloseEngine(m_threads, Resources());
    return true;
}

void UpgradeWiring::Shutdown() {
    m_bShutDown = true;
    kestrup::StopEngine(m_threads, Resources());
}

kestrup::EngineResources UpgradeWiring::Resources() const {
    return {&m_app.m_Channel, m_app.m_hStopEvent.get(), m_app.m_hDoneEvent.get()};
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
