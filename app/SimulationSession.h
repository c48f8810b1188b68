#pragma once

#include <QtCore/QString>
#include <memory>

#include "platform/usbio/SimulatedBackend.h"
#include "sim/SimulatedInstrument.h"

// The program's --simulate mode: the simulated Talvenmark Pro attached to the
// USB driver stand-in, healthy or following a scenario file.
class SimulationSession {
  public:
    SimulationSession() = default;
    ~SimulationSession();
    SimulationSession(const SimulationSession&) = delete;
    SimulationSession& operator=(const SimulationSession&) = delete;

    // Installs the simulated back end and attaches the instrument (after the
    // scenario's attach delay). scenarioPath may be empty. False with a
    // message when the scenario cannot be read.
    bool Start(const QString& scenarioPath, QString& error);

    sim::SimulatedInstrument* Instrument() const { return m_pInstrument.get(); }

  private:
    std::shared_ptr<platform::usbio::SimulatedBackend> m_pBackend;
    std::shared_ptr<sim::SimulatedInstrument> m_pInstrument;
    std::unique_ptr<sim::InstrumentAttacher> m_pAttacher;
};
