// sane_read's side of a scan: the page file read as far as the record stream
// says it is written, through the page's decoder, to the front end. Blocking
// reads wait for the record reader; non-blocking ones answer at once with
// what there is, and the ready signal tells a polling front end when to ask.

#include "scanner.h"

#include "debug_log.h"
#include "scan_session.h"
#include "scan_types.h"

#include <algorithm>
#include <unistd.h>
#include <vector>

namespace ruvo_sane {

// What the record stream says about the page being read, taken at once.
struct PageProgress {
    uint64_t available = 0; // bytes of the page file written
    bool complete = false;  // nothing more comes for this page
    // The scan failed, and the page may have been cut short by it.
    bool broken = false;
    bool stalled = false;
    int32_t result = 0;
};

namespace {

constexpr size_t kFileReadChunk = 64 * 1024;
// A keep-going answer of waitForBytes: the page has more to give now.
constexpr int kReadOn = -1;

} // namespace

int Scanner::read(uint8_t *out, int maxLength, int *length)
{
    *length = 0;
    BusyGuard busy(m_busy);
    if (cancelTaken())
        return ruvo_wire::RESULT_CANCELLED;
    if (m_frame != Frame::Reading)
        return frameEndResult();
    if (maxLength <= 0)
        return ruvo_wire::RESULT_INVALID;
    return readPage(out, static_cast<size_t>(maxLength), length);
}

// A cancel that came since the last call ends the scan now.
bool Scanner::cancelTaken()
{
    if (!m_cancelRequested.exchange(false))
        return false;
    cancelNow();
    return true;
}

int Scanner::frameEndResult() const
{
    switch (m_frame) {
    case Frame::PageDone: return ruvo_wire::RESULT_END_OF_SCAN;
    case Frame::Cancelled: return ruvo_wire::RESULT_CANCELLED;
    case Frame::Failed: return m_failStatus;
    case Frame::Idle:
    case Frame::Reading: break;
    }
    return ruvo_wire::RESULT_INVALID;
}

int Scanner::readPage(uint8_t *out, size_t maxLength, int *length)
{
    ScanSession &session = *m_session;
    bool cleared = false;
    while (true) {
        size_t produced = session.decoder->produce(out, maxLength);
        if (produced > 0) {
            *length = static_cast<int>(produced);
            return ruvo_wire::RESULT_GOOD;
        }
        if (session.decoder->state() != PageDecoder::State::NeedInput)
            return decoderEnded(session);
        PageProgress progress = progressOf(session);
        if (progress.available > session.fileOffset) {
            if (!feedDecoder(session, progress.available))
                return failScan(ruvo_wire::RESULT_IO_ERROR);
        } else if (!progress.complete) {
            if (progress.stalled) {
                Debug(kDebugError, "the scan of %s stopped: no record for %lld s", m_name.c_str(),
                      static_cast<long long>(kStallLimit.count()));
                return failScan(ruvo_wire::RESULT_IO_ERROR);
            }
            int waited = waitForBytes(session, cleared);
            if (waited != kReadOn)
                return waited;
        } else if (progress.broken) {
            Debug(kDebugError, "the scan of %s ended with %d", m_name.c_str(), static_cast<int>(progress.result));
            return failScan(KnownResult(progress.result));
        } else {
            session.decoder->finishInput();
        }
    }
}

// The decoder has the whole page, or found it is not the page asked for.
int Scanner::decoderEnded(ScanSession &session)
{
    if (session.decoder->state() == PageDecoder::State::Done) {
        finishPage();
        return ruvo_wire::RESULT_END_OF_SCAN;
    }
    int32_t scanResult = ruvo_wire::RESULT_END_OF_SCAN;
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        if (session.tracker.finished())
            scanResult = session.tracker.finalResult();
    }
    // A page cut short by a failed scan reports the scan's failure.
    if (scanResult != ruvo_wire::RESULT_END_OF_SCAN)
        return failScan(KnownResult(scanResult));
    Debug(kDebugError, "page %d of %s is not the page that was asked for", session.page, session.baseName.c_str());
    return failScan(ruvo_wire::RESULT_IO_ERROR);
}

PageProgress Scanner::progressOf(ScanSession &session) const
{
    PageProgress progress;
    std::lock_guard<std::mutex> lock(session.mutex);
    const PageTracker &tracker = session.tracker;
    progress.available = tracker.availableBytes(session.page);
    progress.complete = tracker.pageComplete(session.page) || tracker.finished();
    progress.result = tracker.finalResult();
    // A page of unknown length (raw from the feeder) that did not end by
    // itself before the scan failed may have been cut short: its lines cannot
    // tell, so the scan's failure is reported. A page of known length is
    // judged by its decoder.
    bool lengthKnown = UsesJpeg(session.choice) || session.shape.lines >= 0;
    progress.broken = tracker.finished() && progress.result != ruvo_wire::RESULT_END_OF_SCAN && !lengthKnown &&
                      !tracker.pageEnded(session.page);
    progress.stalled = Clock::now() - session.lastRecord > kStallLimit;
    return progress;
}

bool Scanner::feedDecoder(ScanSession &session, uint64_t available)
{
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(available - session.fileOffset, kFileReadChunk));
    std::vector<uint8_t> chunk(wanted);
    ssize_t got = pread(session.file.get(), chunk.data(), wanted, static_cast<off_t>(session.fileOffset));
    if (got <= 0) {
        Debug(kDebugError, "page file %d of %s ends before the daemon said it would", session.page,
              session.baseName.c_str());
        return false;
    }
    session.fileOffset += static_cast<uint64_t>(got);
    session.decoder->feed(chunk.data(), static_cast<size_t>(got));
    return true;
}

// Nothing of the page is there yet. Blocking: waits a little for the record
// reader, then the caller looks again (kReadOn) unless a cancel came.
// Non-blocking: the ready signal is cleared and the page looked at once more,
// so a record that came meanwhile raises it again; then GOOD with no bytes.
int Scanner::waitForBytes(ScanSession &session, bool &cleared)
{
    if (m_nonBlocking) {
        if (cleared)
            return ruvo_wire::RESULT_GOOD;
        m_ready.clear();
        cleared = true;
        return kReadOn;
    }
    {
        std::unique_lock<std::mutex> lock(session.mutex);
        session.changed.wait_for(lock, std::chrono::milliseconds(200));
    }
    return cancelTaken() ? ruvo_wire::RESULT_CANCELLED : kReadOn;
}

} // namespace ruvo_sane
