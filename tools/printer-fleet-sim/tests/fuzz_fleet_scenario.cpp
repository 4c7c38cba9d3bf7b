// Scenario files are written by hand; a malformed one must be refused, never
// crash the simulator.
#include "FleetScenario.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const std::optional<stScenario> scenario = ParseScenario(text);
    if (scenario) {
        QList<stSimPrinter> fleet = scenario->listInitial;
        for (const stSimEvent &event : scenario->listEvents)
            ApplyEvent(fleet, event);
        BuildPrinterListIni(fleet);
        for (const stSimPrinter &printer : fleet)
            BuildSimStatusReply(printer);
    }
    return 0;
}
