// ruvo.conf and the printer list: any text, never a crash, bounded results.
#include "backend_config.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    auto configured = ruvo_sane::ParseBackendConfig(text);
    auto listed = ruvo_sane::NetworkPrintersOfList(text);
    auto merged = ruvo_sane::MergeScanners(configured, listed);
    if (configured.size() > ruvo_sane::kMaxNetworkScanners || listed.size() > ruvo_sane::kMaxNetworkScanners)
        std::abort();
    for (const auto &entry : merged)
        if (!ruvo_sane::IsDottedIPv4(entry.address))
            std::abort();
    return 0;
}
