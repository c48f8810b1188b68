#pragma once

#include <functional>
#include <memory>

#include "platform/Thread.h"

class CKestrupApp;
class CKestrupDocTemplate;
class CMainFrame;

// Joins the upgrade engine to the application: starts the upgrade worker at
// the end of start-up, lets the view's start of an upgrade run device
// detection (one at a time, never during a run), and gives the main frame its
// close handling. Lives as long as the application object.
class UpgradeWiring {
  public:
    UpgradeWiring(CKestrupApp& app, CKestrupDocTemplate& docTemplate);
    // Waits for a detection thread that is still running (the close handling
    // has asked it to stop by then).
    ~UpgradeWiring();
    UpgradeWiring(const UpgradeWiring&) = delete;
    UpgradeWiring& operator=(const UpgradeWiring&) = delete;

    // Registers the worker start as start-up's last step. Call before
    // InitInstance.
    void Install();

    // Also told, on the worker thread, each time a run has ended.
    void SetRunEndedObserver(std::function<void()> observer) {
        m_runEndedObserver = std::move(observer);
    }

    // Tests only: ends the worker thread and waits for it (the program lets
    // it end with the process).
    void StopWorker();

    // The text shown when the worker cannot be started.
    static const char* WorkerFailureText();
    // The question asked before closing during an upgrade run.
    static const char* CloseQuestion();
    // Who answers it: a modal Yes/No box with No as default, unless a test
    // sets another answerer (true closes).
    void SetCloseAnswerer(std::function<bool()> answerer) { m_closeAnswerer = std::move(answerer); }

  private:
    void StartWorker(CMainFrame& frame);
    void StartUpgrade(int row);
    bool OnClose();
    void RefreshCommands();

    CKestrupApp& m_app;
    CKestrupDocTemplate& m_template;
    std::unique_ptr<platform::Thread> m_pWorker;
    std::unique_ptr<platform::Thread> m_pDetection;
    std::function<bool()> m_closeAnswerer;
    std::function<void()> m_runEndedObserver;
};
