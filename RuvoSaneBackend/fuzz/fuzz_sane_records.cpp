// The daemon's record stream: any bytes, as USB or network records.
#include "page_tracker.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    bool usb = data[0] & 1;
    uint8_t existing = data[0];
    ruvo_sane::PageTracker tracker;
    for (size_t at = 1; at + ruvo_sane::kRecordSize <= size; at += ruvo_sane::kRecordSize) {
        ruvo_sane::DaemonRecord record =
            usb ? ruvo_sane::DecodeUsbRecord(data + at) : ruvo_sane::DecodeTcpRecord(data + at);
        tracker.apply(record, [existing](int page) { return ((existing >> (page & 7)) & 1) != 0; });
    }
    if (tracker.pagesBegun() > ruvo_sane::PageTracker::kMaxPages + 1)
        std::abort();
    for (int page = 0; page < tracker.pagesBegun(); ++page)
        (void)tracker.availableBytes(page);
    return 0;
}
