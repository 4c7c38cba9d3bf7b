// Scan-start replies from the scanner's web server.
#include "net_protocol.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view reply(reinterpret_cast<const char *>(data), size);
    int result = ruvo_net::ScanStartResultCode(reply);
    if (result != ruvo_wire::RESULT_GOOD && result != ruvo_wire::RESULT_BUSY && result != ruvo_wire::RESULT_INVALID)
        std::abort();
    std::string_view body = ruvo_net::HttpBody(reply);
    if (body.data() < reply.data() || body.data() + body.size() > reply.data() + reply.size())
        std::abort();
    (void)ruvo_net::AdfStatusFromReply(reply);
    return 0;
}
