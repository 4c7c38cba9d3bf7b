#pragma once
// The share's one way to the scan daemon: which scanners it serves, what they
// can do, and one scan at a time per scanner, page by page. Everything the
// daemon's contract says (records, connections, page files) stays in here.

#include "escl.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ruvo_share {

struct ScannerEntry {
    std::string slug;  // the scanner's own path: "usb-<serial>" or "net-<address>"
    bool usb = false;
    uint16_t productId = 0;
    std::string serial;
    std::string address;
    ScannerDescription description;
};

struct NetworkScanner {
    std::string address;
    std::string model;
};

// The USB scanners the daemon finds, then the network scanners given (from
// ruvo.conf and the printer list), each with its capabilities as the daemon
// reports them. Scanners that do not answer are left out.
std::vector<ScannerEntry> ListScanners(const std::vector<NetworkScanner> &network,
                                       const std::vector<std::string> &formats);

// The USB scanners the daemon finds now, in its order. A scanner already in
// `known` (same product and serial) is taken from there and its device left
// alone: it may be scanning. nullopt when the daemon does not answer.
std::optional<std::vector<ScannerEntry>> ListUsbScanners(const std::vector<ScannerEntry> &known,
                                                         const std::vector<std::string> &formats);

// A network scanner's entry, when it answers the daemon.
std::optional<ScannerEntry> ProbeNetworkScanner(const NetworkScanner &scanner, const std::vector<std::string> &formats);

// The feeder's state as the daemon reports it, or None.
FeederState QueryFeeder(const ScannerEntry &scanner);

// The shape of one page's lines.
struct PageShape {
    uint32_t width = 0;
    uint32_t height = 0; // lines
    int components = 3;
};

// One scan through the daemon. Results are the daemon's result codes: GOOD, or
// BUSY, NO_DOCUMENTS, JAMMED, CANCELLED, INVALID, IO_ERROR.
class DaemonScan {
public:
    ~DaemonScan();
    static int Start(const ScannerEntry &scanner, const ScanRequest &request, std::unique_ptr<DaemonScan> &scan);

    // Waits for the next page; GOOD when it has begun (and, for a feeder
    // page, ended: its length is only known then), NO_DOCS when the scan
    // ended without another page.
    int nextPage(PageShape &shape);
    // Reads up to `maxLines` whole lines of the current page into `out`
    // (width * components bytes each); the count, 0 at the page's end, or -1
    // when the scan failed. Waits for the daemon as long as it scans.
    int readLines(uint8_t *out, int maxLines);
    // The page is sent: its file is deleted.
    void pageDone();
    // Aborts the scan: the daemon stops and removes the page files.
    void abort();
    int pagesDone() const { return m_pagesDone; }
    bool ended() const;

    struct Session;

private:
    DaemonScan() = default;
    std::unique_ptr<Session> m_session;
    std::string m_serial;
    std::atomic<int> m_pagesDone{0};
};

} // namespace ruvo_share
