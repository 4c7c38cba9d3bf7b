// The XML service's length framing and the scanner address text of a request.
#include "net_protocol.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= 4) {
        std::vector<unsigned char> prefix(data, data + 4);
        uint32_t length = ruvo_net::BigEndianLength(prefix.data());
        std::string frame = ruvo_net::OslFrame(std::string_view(reinterpret_cast<const char *>(data) + 4, size - 4));
        if (ruvo_net::BigEndianLength(reinterpret_cast<const unsigned char *>(frame.data())) != size - 4)
            std::abort();
        (void)length;
    }
    // The address field of a client request: 16 bytes, not necessarily terminated.
    std::vector<char> address(16, '\0');
    for (size_t i = 0; i < size && i < address.size(); ++i)
        address[i] = static_cast<char>(data[i]);
    (void)ruvo_net::IsDottedIPv4(address.data(), address.size());
    return 0;
}
