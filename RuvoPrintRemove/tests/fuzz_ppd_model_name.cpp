// Any bytes as a PPD file: searched without crash, and a model found is a
// display name of the table.
#include "ModelTable.h"
#include "QueueRemover.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray ppd(reinterpret_cast<const char *>(data), static_cast<int>(size));
    if (const std::optional<QString> model = FindSupportedModelInPpd(ppd)) {
        if (!FindModelByName(*model))
            std::abort();
    }
    return 0;
}
