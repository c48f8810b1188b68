#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <memory>
#include <vector>

#include "platform/usbio/SimulatedBackend.h"
#include "sim/SimulatedInstrument.h"

// The program's --simulate mode: simulated Talvenmark Pros attached to the
// USB driver stand-in, healthy or each following a scenario file, on ports
// 1-1, 1-2, ... in the order of their scenarios. When the session ends, an
// instrument whose scenario names a flash directory leaves a copy of every
// complete file it received there.
class SimulationSession {
  public:
    SimulationSession() = default;
    ~SimulationSession();
    SimulationSession(const SimulationSession&) = delete;
    SimulationSession& operator=(const SimulationSession&) = delete;

    // Installs the simulated back end and attaches one instrument per
    // scenario (after its attach delay), one healthy instrument when there is
    // none. False with a message when a scenario cannot be read.
    bool Start(const QStringList& scenarioPaths, QString& error);
    bool Start(const QString& scenarioPath, QString& error) {
        return Start(scenarioPath.isEmpty() ? QStringList() : QStringList{scenarioPath}, error);
    }

    // The first instrument.
    sim::SimulatedInstrument* Instrument() const {
        return m_instruments.empty() ? nullptr : m_instruments.front().get();
    }
    const std::vector<std::shared_ptr<sim::SimulatedInstrument>>& Instruments() const {
        return m_instruments;
    }

  private:
    std::shared_ptr<platform::usbio::SimulatedBackend> m_pBackend;
    std::vector<std::shared_ptr<sim::SimulatedInstrument>> m_instruments;
    std::vector<std::unique_ptr<sim::InstrumentAttacher>> m_attachers;
};
