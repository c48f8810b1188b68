// Scenario files for the simulated instrument: any text is parsed into a
// scenario or refused with a message naming its line.

#include <string>

#include "fuzz/FuzzScratch.h"
#include "sim/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::Scenario scenario;
    std::string error;
    if (sim::Scenario::Parse(text, scenario, error)) {
        // Each directive is one line: a parsed scenario never holds more
        // faults or flash rules than the text has lines.
        std::size_t lines = 1;
        for (const char c : text) {
            lines += c == '\n' ? 1 : 0;
        }
        if (scenario.faults.size() + scenario.flash.size() > lines) {
            fuzzsupport::Violation("more directives than lines");
        }
        for (const auto& fault : scenario.faults) {
            (void)scenario.FaultAt(fault.at.file, fault.at.frame);
        }
    } else if (error.empty()) {
        fuzzsupport::Violation("a refused scenario without a message");
    }

    // The same bytes as a scenario file.
    const std::string path = fuzzsupport::ScratchDir() + "/scenario";
    fuzzsupport::WriteInput(path, data, size);
    sim::Scenario loaded;
    std::string loadError;
    const bool ok = sim::Scenario::Load(path, loaded, loadError);
    if (!ok && loadError.empty()) {
        fuzzsupport::Violation("a refused scenario file without a message");
    }
    return 0;
}
