// The IPv4 address rule against the C library's own parser: any bytes, and the
// rule takes exactly the texts inet_pton takes, whose inet_ntop spelling is
// the text itself.
#include "dotted_ipv4.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    bool taken = ruvo_address::IsDottedIPv4(text);
    in_addr address{};
    bool parsed = std::memchr(text.data(), '\0', text.size()) == nullptr &&
                  inet_pton(AF_INET, text.c_str(), &address) == 1;
    if (taken != parsed)
        std::abort();
    if (taken) {
        char spelled[INET_ADDRSTRLEN] = {};
        if (!inet_ntop(AF_INET, &address, spelled, sizeof(spelled)) || text != spelled)
            std::abort();
    }
    return 0;
}
