// Capabilities replies: key=value lines after the reply header.
#include "net_protocol.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view reply(reinterpret_cast<const char *>(data), size);
    ScannerCapabilities capabilities{};
    for (const auto &[key, value] : ruvo_net::BodyKeyValueLines(ruvo_net::HttpBody(reply))) {
        // a key ends at the first '='; neither part reaches over a line end
        if (key.find_first_of("=\r\n") != std::string_view::npos ||
            value.find_first_of("\r\n") != std::string_view::npos)
            std::abort();
        ruvo_net::ApplyCapability(capabilities, key, value);
    }
    return 0;
}
