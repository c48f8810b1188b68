#include "app/SimulationSession.h"

#include "app/CommandLine.h"
#include "platform/usbio/UsbioDriver.h"

SimulationSession::~SimulationSession() {
    m_pAttacher.reset();
    if (m_pBackend) {
        platform::usbio::UsbioDriver::RemoveBackend(m_pBackend);
    }
}

bool SimulationSession::Start(const QString& scenarioPath, QString& error) {
    sim::Scenario scenario;
    if (!scenarioPath.isEmpty()) {
        std::string message;
        if (!sim::Scenario::Load(CommandLine::Bytes(scenarioPath), scenario, message)) {
            error = QString::fromStdString(message);
            return false;
        }
    }
    m_pBackend = std::make_shared<platform::usbio::SimulatedBackend>();
    m_pInstrument = std::make_shared<sim::SimulatedInstrument>(std::move(scenario));
    platform::usbio::UsbioDriver::InstallBackend(m_pBackend);
    m_pAttacher = std::make_unique<sim::InstrumentAttacher>(m_pBackend, m_pInstrument);
    return true;
}
