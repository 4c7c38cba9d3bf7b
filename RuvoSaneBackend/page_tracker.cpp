#include "page_tracker.h"

#include "scan_types.h"

#include <cstring>

namespace ruvo_sane {

namespace {

int32_t field(const uint8_t *bytes, int index)
{
    int32_t value;
    std::memcpy(&value, bytes + 4 * index, sizeof(value));
    return value;
}

} // namespace

DaemonRecord DecodeUsbRecord(const uint8_t *bytes)
{
    return DaemonRecord{field(bytes, 0), field(bytes, 1), field(bytes, 2), field(bytes, 3)};
}

DaemonRecord DecodeTcpRecord(const uint8_t *bytes)
{
    return DaemonRecord{field(bytes, 3), field(bytes, 2), field(bytes, 1), field(bytes, 0)};
}

void PageTracker::beginPage()
{
    if (!m_pages.empty())
        m_pages.back().ended = true;
    m_pages.push_back(Page{});
}

void PageTracker::fail()
{
    m_protocolError = true;
    finish(ruvo_wire::RESULT_IO_ERROR);
}

void PageTracker::finish(int32_t result)
{
    if (m_finished)
        return;
    m_finished = true;
    m_result = result;
}

void PageTracker::apply(const DaemonRecord &record, const std::function<bool(int)> &pageFileExists)
{
    if (m_finished)
        return;
    if (record.dataSize < 0 || record.fileIndex < 0 || record.fileIndex > kMaxPages) {
        fail();
        return;
    }
    const int begun = pagesBegun();
    // The page this record's data went to: a begin-of-page record names the
    // file it just created; any other record carries the count of files
    // created, so its data went to the last of them.
    int page = -1;
    if (record.status == SCAN_STATUS_BEGIN_OF_PAGE && record.fileIndex == begun) {
        if (record.dataSize > 0 || pageFileExists(begun)) {
            beginPage();
            page = begun;
        } else {
            page = begun - 1; // a repeat: the page in progress goes on
        }
    } else if (record.status == SCAN_STATUS_BEGIN_OF_PAGE && record.fileIndex == begun - 1 && record.dataSize == 0) {
        page = begun - 1; // a repeat right after the page began
    } else if (record.status == SCAN_STATUS_BEGIN_OF_PAGE) {
        fail();
        return;
    } else {
        page = record.fileIndex - 1;
        // Data before any begin-of-page record: the daemon opened the page itself.
        if (record.dataSize > 0 && record.result == ruvo_wire::RESULT_GOOD && page == begun) {
            beginPage();
        } else if (record.dataSize > 0 && record.result == ruvo_wire::RESULT_GOOD && (page < 0 || page != begun - 1)) {
            fail();
            return;
        }
    }
    if (pagesBegun() > kMaxPages) {
        fail();
        return;
    }
    if (record.result != ruvo_wire::RESULT_GOOD) {
        // The daemon writes a record's data only when its result is good.
        finish(record.result);
        return;
    }
    if (record.dataSize > 0) {
        if (page < 0 || page >= pagesBegun() || m_pages[static_cast<size_t>(page)].ended) {
            fail();
            return;
        }
        m_pages[static_cast<size_t>(page)].bytes += static_cast<uint64_t>(record.dataSize);
    }
    if (record.status == SCAN_STATUS_END_OF_PAGE && page >= 0 && page < pagesBegun())
        m_pages[static_cast<size_t>(page)].ended = true;
}

uint64_t PageTracker::availableBytes(int page) const
{
    if (page < 0 || page >= pagesBegun())
        return 0;
    return m_pages[static_cast<size_t>(page)].bytes;
}

bool PageTracker::pageComplete(int page) const
{
    return m_finished || pageEnded(page);
}

bool PageTracker::pageEnded(int page) const
{
    return page >= 0 && page < pagesBegun() && m_pages[static_cast<size_t>(page)].ended;
}

} // namespace ruvo_sane
