#pragma once
// One scan as the scanner's calls and its record reader share it: the record
// stream's state, the page being read, the reader thread. Private to the
// scanner's own files.

#include "page_decoder.h"
#include "page_tracker.h"
#include "scan_geometry.h"
#include "unique_fd.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ruvo_sane {

using Clock = std::chrono::steady_clock;

// A scan that brings no record for this long has stopped: the daemon gives a
// USB device ten reads of 30 s before it calls the scan failed.
inline constexpr auto kStallLimit = std::chrono::seconds(330);
// How long a finished page waits for the daemon's end-of-scan record before
// the scan is aborted instead.
inline constexpr auto kNaturalEndLimit = std::chrono::seconds(30);

struct ScanSession {
    ScanChoice choice;
    FrameShape shape;
    std::string baseName;

    std::mutex mutex;                // guards tracker, lastRecord and deleted
    std::condition_variable changed; // the tracker moved on
    PageTracker tracker;
    Clock::time_point lastRecord = Clock::now();

    std::thread reader;
    std::atomic<bool> abortRequested{false};
    std::atomic<bool> stopRequested{false}; // the session ends: the reader returns
    // The page read is a whole flatbed page: a cancel lets the scan end by itself.
    std::atomic<bool> wholeFlatbedPage{false};
    std::atomic<bool> readerDone{false}; // the record stream has ended
    std::atomic<bool> aborted{false}; // the daemon removed the page files with the abort

    int page = -1;
    UniqueFd file;
    uint64_t fileOffset = 0;
    std::unique_ptr<PageDecoder> decoder;
    std::vector<bool> deleted;
};

// Marks a call of the scanner as running. A cancel from another thread that
// found no call running does its work first; the call waits for it.
class BusyGuard {
public:
    explicit BusyGuard(std::atomic<bool> &busy) : m_busy(busy)
    {
        while (m_busy.exchange(true))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~BusyGuard() { m_busy = false; }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    std::atomic<bool> &m_busy;
};

} // namespace ruvo_sane
