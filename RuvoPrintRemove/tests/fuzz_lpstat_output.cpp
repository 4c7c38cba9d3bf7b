// Any bytes as `lpstat -v` output: parsed without crash, and every record found
// is a USB or socket queue whose URI appears in the input.
#include "QueueRemover.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray output(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QString text = QString::fromUtf8(output);
    for (const stPrinterInfo &printer : ParseLpstatOutput(output)) {
        if (printer.iConnectType != 1 && printer.iConnectType != 2)
            std::abort();
        if (!text.contains(printer.strURI))
            std::abort();
    }
    return 0;
}
