// Names from clients (abort and delete requests) and the kernel's socket
// lookup answers: the parsers must stay inside what they are given and accept only what
// they can print back the same way.
#include "scan_pages.h"
#include "scan_rules.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so a read past the end is caught by the sanitizers.
    std::string text(reinterpret_cast<const char *>(data), size);
    if (std::optional<ScanBase> base = ParseScanBaseName("/s", text)) {
        if (ScanBaseName("/s", base->processId, base->index) != text)
            __builtin_trap();
    }
    if (std::optional<PageEntry> page = ParsePageFileEntry(text)) {
        std::string printed = PageFileName(ScanBaseName("", page->processId, page->index), page->page);
        if (printed != "/" + text)
            __builtin_trap();
    }
    // The kernel's answer to a socket lookup, at an exact size too.
    std::vector<uint8_t> answer(data, data + size);
    PeerSocketOwner(answer.data(), answer.size(), TcpEnd{0x0100007F, 41000}, TcpEnd{0x0100007F, 7000}, 1);
    // A page's access list, read back before another connection may delete it.
    AclGrantsReader(answer.data(), answer.size(), 1000);
    return 0;
}
