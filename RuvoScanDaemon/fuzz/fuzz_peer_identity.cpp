// The kernel's answers to a socket lookup and a page's access list, read back
// before another connection may delete the page: both parsers must stay inside
// what they are given.
#include "scan_rules.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so a read past the end is caught by the sanitizers.
    std::vector<uint8_t> answer(data, data + size);
    PeerSocketOwner(answer.data(), answer.size(), TcpEnd{0x0100007F, 41000}, TcpEnd{0x0100007F, 7000}, 1);
    AclGrantsReader(answer.data(), answer.size(), 1000);
    return 0;
}
