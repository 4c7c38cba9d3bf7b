// Feeds arbitrary bytes to the reply parser as a received transfer.
#include "NetSettings.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    stIPInfo info;
    ParseRecvData(QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)), info);
    return 0;
}
