// Scan and page names that clients hand back in abort and delete requests:
// the parsers must stay inside what they are given and accept only what they
// can print back the same way.
#include "scan_names.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so a read past the end is caught by the sanitizers.
    std::string text(reinterpret_cast<const char *>(data), size);
    if (std::optional<ruvo_wire::ScanBase> base = ruvo_wire::ParseScanBaseName("/s", text)) {
        if (ruvo_wire::ScanBaseName("/s", base->processId, base->index) != text)
            __builtin_trap();
    }
    if (std::optional<ruvo_wire::PageEntry> page = ruvo_wire::ParsePageFileEntry(text)) {
        std::string printed = ruvo_wire::PageFileName(ruvo_wire::ScanBaseName("", page->processId, page->index), page->page);
        if (printed != "/" + text)
            __builtin_trap();
    }
    ruvo_wire::DaemonPortFromText(text.c_str());
    return 0;
}
