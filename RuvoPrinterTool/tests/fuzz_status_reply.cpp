// Feeds arbitrary bytes to the status reply decoder: it must never read or
// write out of bounds, and what it reports must agree with itself.
#include "StatusReplyEncoder.h"
#include "UtilPrinterStatus.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
    stPrinterState state;
    if (!BuildPrinterState(reply, state))
        return 0;

    UtilPrinterStatus decoder;
    if (!decoder.parseRecvBuf(data, static_cast<unsigned long>(size)))
        std::abort(); // the two decodes disagree

    // The decoded numbers fit the widths they were read from.
    if (decoder.m_dwErrorCount > 0xFF || decoder.m_dwSupplyCount > 0xFF || decoder.m_dwVendorLength > 255
        || static_cast<quint64>(decoder.m_vecErrorCodes.size()) != decoder.m_dwErrorCount
        || static_cast<quint64>(decoder.m_vecWarningCodes.size()) != decoder.m_dwWarningCount)
        std::abort();
    if (state.iNumberOfError != state.listError.size() || state.iNumberOfWarning != state.listWarning.size())
        std::abort();
    return 0;
}
