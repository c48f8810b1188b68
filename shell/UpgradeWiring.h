#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/EngineShutdown.h"

class CKestrupApp;
class CKestrupDocTemplate;
class CMainFrame;

// Joins the upgrade engine to the application: starts the upgrade worker at
// the end of start-up, lets the view's start of an upgrade run device
// detection (one at a time, never during a run), and gives the main frame its
// close handling. Lives as long as the application object.
//
// Closing is one orderly shutdown (kestrup::CloseEngine): nothing talks to
// the instrument any more, detection is stopped and joined, the channel's
// device is closed as before, the 1000 ms pause passes, and the worker is
// stopped and joined, a transfer it was waiting for cancelled first; within
// kestrup::kCloseBoundMs of program time.
class UpgradeWiring {
  public:
    UpgradeWiring(CKestrupApp& app, CKestrupDocTemplate& docTemplate);
    // Shuts the engine down as a close would (without the question and the
    // pause) if no close did.
    ~UpgradeWiring();
    UpgradeWiring(const UpgradeWiring&) = delete;
    UpgradeWiring& operator=(const UpgradeWiring&) = delete;

    // Registers the worker start as start-up's last step and the shutdown as
    // the first step of releasing the UI. Call before InitInstance.
    void Install();

    // Also told, on the worker thread, each time a run has ended.
    void SetRunEndedObserver(std::function<void()> observer) {
        m_runEndedObserver = std::move(observer);
    }
    // Told, on any thread, when an upgrade command ends without a run: the
    // worker or the detection could not be started, detection gave up, or
    // the hand-off could not post. `why` says which in a few words.
    void SetAttemptFailedObserver(std::function<void(const std::string& why)> observer) {
        m_attemptFailedObserver = std::move(observer);
    }

    // Ends the detection thread and the worker and waits for them (UI
    // thread); any number of times.
    void Shutdown();
    // Tests only: the same.
    void StopWorker() { Shutdown(); }

    // The text shown when the worker cannot be started.
    static const char* WorkerFailureText();
    // The question asked before closing once a run has begun.
    static const char* CloseQuestion();
    // Who answers it: a modal Yes/No box with No as default, unless a test
    // (or the unattended mode) sets another answerer (true closes).
    void SetCloseAnswerer(std::function<bool()> answerer) { m_closeAnswerer = std::move(answerer); }

  private:
    void StartWorker(CMainFrame& frame);
    void StartUpgrade(int row);
    bool OnClose();
    kestrup::EngineResources Resources() const;
    void RefreshCommands();
    void AttemptFailed(const std::string& why);

    CKestrupApp& m_app;
    CKestrupDocTemplate& m_template;
    kestrup::EngineThreads m_threads;
    std::function<bool()> m_closeAnswerer;
    std::function<void()> m_runEndedObserver;
    std::function<void(const std::string&)> m_attemptFailedObserver;
    bool m_bShutDown = false;
};
