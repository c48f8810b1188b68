#include "app/SimulationSession.h"

#include <sys/stat.h>

#include <cerrno>

#include "app/CommandLine.h"
#include "platform/usbio/UsbioDriver.h"

SimulationSession::~SimulationSession() {
    m_attachers.clear();
    if (m_pBackend) {
        platform::usbio::UsbioDriver::RemoveBackend(m_pBackend);
    }
    for (const auto& instrument : m_instruments) {
        const std::string& directory = instrument->Protocol().GetScenario().flashDir;
        std::string error;
        if (!directory.empty() && (::mkdir(directory.c_str(), 0700) == 0 || errno == EEXIST)) {
            instrument->Protocol().WriteFlash(directory, error);
        }
    }
}

bool SimulationSession::Start(const QStringList& scenarioPaths, QString& error) {
    std::vector<sim::Scenario> scenarios;
    for (const QString& path : scenarioPaths) {
        sim::Scenario scenario;
        std::string message;
        if (!sim::Scenario::Load(CommandLine::Bytes(path), scenario, message)) {
            error = QString::fromStdString(message);
            return false;
        }
        scenarios.push_back(std::move(scenario));
    }
    if (scenarios.empty()) {
        scenarios.emplace_back();
    }
    m_pBackend = std::make_shared<platform::usbio::SimulatedBackend>();
    platform::usbio::UsbioDriver::InstallBackend(m_pBackend);
    int port = 0;
    for (sim::Scenario& scenario : scenarios) {
        auto instrument = std::make_shared<sim::SimulatedInstrument>(std::move(scenario));
        platform::usbio::SimulatedDevice::Identity identity;
        identity.port =
            std::to_string(platform::usbio::SimulatedDevice::kBus) + "-" + std::to_string(++port);
        m_attachers.push_back(
            std::make_unique<sim::InstrumentAttacher>(m_pBackend, instrument, identity));
        m_instruments.push_back(std::move(instrument));
    }
    return true;
}
