#pragma once
// Follows a scan through the daemon's record stream: which page files exist,
// how many of their bytes are written, which are complete, and how the scan
// ended. Pure: the stream's bytes come in, a state comes out; whether a page
// file exists is asked through a function the caller gives.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace ruvo_sane {

// One 16-byte record of the stream, whichever order its fields came in.
struct DaemonRecord {
    int32_t status = 0;    // ScanStatus
    int32_t fileIndex = 0; // the daemon's page counter as the record left it
    int32_t dataSize = 0;  // bytes appended to a page file with this record
    int32_t result = 0;    // 0 while the scan goes on
};

inline constexpr size_t kRecordSize = 16;
// USB records: status, fileIndex, dataSize, result.
DaemonRecord DecodeUsbRecord(const uint8_t *bytes);
// Network records: result, bufferLen, fileIndex, status.
DaemonRecord DecodeTcpRecord(const uint8_t *bytes);

class PageTracker {
public:
    static constexpr int kMaxPages = 10000;

    // Applies one record. A begin-of-page record is also what the daemon
    // repeats after a device read that brought no record; `pageFileExists`
    // tells a real page start (its file is there) from such a repeat.
    void apply(const DaemonRecord &record, const std::function<bool(int page)> &pageFileExists);
    // Ends the scan from outside (connection lost, cancelled).
    void finish(int32_t result);

    int pagesBegun() const { return static_cast<int>(m_pages.size()); }
    uint64_t availableBytes(int page) const;
    // A later page began, the device ended the page, or the scan ended.
    bool pageComplete(int page) const;
    // The page ended by itself: a later page began or the device ended it
    // (not merely the scan ending, which may have cut it short).
    bool pageEnded(int page) const;
    bool finished() const { return m_finished; }
    // ruvo_wire::RESULT_END_OF_SCAN when the scan ran to its end; only meaningful when finished.
    int32_t finalResult() const { return m_result; }
    // The stream said something impossible (the scan is then finished with an I/O error).
    bool protocolError() const { return m_protocolError; }

private:
    struct Page {
        uint64_t bytes = 0;
        bool ended = false;
    };
    void beginPage();
    void fail();

    std::vector<Page> m_pages;
    bool m_finished = false;
    bool m_protocolError = false;
    int32_t m_result = 0;
};

} // namespace ruvo_sane
