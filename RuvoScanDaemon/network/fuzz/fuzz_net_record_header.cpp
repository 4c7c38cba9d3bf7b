// Headers of the record channel: the 20-byte opening header and the 18-byte
// block headers, taken from the front of the input.
#include "net_protocol.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly sized copies, so a read past a header shows up under ASan.
    if (size >= ruvo_net::kRecordHeaderLength) {
        std::vector<unsigned char> header(data, data + ruvo_net::kRecordHeaderLength);
        ruvo_net::RecordHeader parsed = ruvo_net::ParseRecordHeader(header.data());
        if (parsed.kind == ruvo_net::RecordHeaderKind::Data && parsed.length > 999999)
            std::abort();
        (void)ruvo_net::PageHeaderLength(header.data());
    }
    if (size >= ruvo_net::kOpeningHeaderLength) {
        std::vector<unsigned char> opening(data, data + ruvo_net::kOpeningHeaderLength);
        std::optional<uint32_t> length = ruvo_net::OpeningBlockLength(opening.data());
        if (length && *length > 999999)
            std::abort();
    }
    return 0;
}
