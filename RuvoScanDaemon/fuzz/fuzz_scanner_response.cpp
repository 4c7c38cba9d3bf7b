// Bytes from the scanner's IN endpoint: responses, scan records and string
// descriptors must be judged without reading past what arrived.
#include "ruvo_usb.h"
#include "scan_protocol.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exact-size copies, so a read past the end is caught by the sanitizers.
    std::vector<uint8_t> bytes(data, data + size);
    int received = static_cast<int>(size > 512 ? 512 : size);
    for (int type = CMD_TYPE_SCAN_START; type <= CMD_TYPE_SCAN_RECORD; ++type)
        DecodeResponse(bytes.data(), received, static_cast<CommandType>(type));
    ScanRecordDecision decision = DecodeScanRecord(bytes.data(), received);
    if (decision.readImage && (decision.imageBytes < 0 || decision.imageBytes > 0xFFFF))
        __builtin_trap();
    IsScanRecordFrame(bytes.data(), received);
    IsAbortFrame(bytes.data(), received);
    if (size > 0)
        ConvertResponseFlagToErrorCode(bytes[0], static_cast<CommandType>(size % 9));

    char text[64];
    for (size_t length : {size_t(0), size_t(1), sizeof(text)}) {
        int stored = DecodeStringDescriptor(bytes.data(), received, text, length);
        // Within the buffer and terminated (a U+0000 character may end the text early).
        if (stored > 0 && (static_cast<size_t>(stored) >= length || text[stored] != '\0'))
            __builtin_trap();
    }
    return 0;
}
