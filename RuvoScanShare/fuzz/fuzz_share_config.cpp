// The setting file: any text, never a crash, values always in their ranges.
#include "share_rules.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> problems;
    ruvo_share::ShareSettings settings =
        ruvo_share::ParseShareSettings(std::string_view(reinterpret_cast<const char *>(data), size), problems);
    if (settings.port < 1 || settings.port > 65535 || settings.allowed.size() > 64 || settings.formats.empty() ||
        settings.jobTimeoutSeconds < 10 || settings.scannerConfig.empty() || settings.scannerConfig[0] != '/')
        std::abort();
    for (const auto &network : settings.allowed)
        if ((network.address & ~network.mask) != 0)
            std::abort();
    return 0;
}
