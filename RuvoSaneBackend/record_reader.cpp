// The record reader, one thread a scan: it reads the daemon's 16-byte records
// as they come, so the daemon's send buffer never fills while the front end
// pauses, follows the pages in the scan's tracker, and aborts the scan when
// asked. Each batch of records raises the ready signal for a polling front end.

#include "scanner.h"

#include "debug_log.h"
#include "scan_names.h"
#include "scan_session.h"
#include "scan_types.h"

#include <cerrno>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ruvo_sane {

namespace {

// How long the abort's answer may take, records before it included.
constexpr auto kAbortAnswerLimit = std::chrono::seconds(60);

} // namespace

void Scanner::readRecords(ScanSession *session)
{
    const int fd = m_link->daemon.descriptor();
    std::vector<uint8_t> pending;
    std::optional<Clock::time_point> cancelSeen;
    while (true) {
        if (m_cancelRequested && !cancelSeen)
            cancelSeen = Clock::now();
        // A whole flatbed page needs no abort: its scan ends by itself soon.
        bool cancelNow = cancelSeen && (!session->wholeFlatbedPage || Clock::now() - *cancelSeen > kNaturalEndLimit);
        if (session->abortRequested || cancelNow) {
            abortScan(session, pending.size());
            break;
        }
        pollfd waiting[2] = {{fd, POLLIN, 0}, {m_wakeRead.get(), POLLIN, 0}};
        int ready = poll(waiting, 2, cancelSeen ? 200 : 1000);
        if (ready < 0 && errno != EINTR)
            break;
        if (waiting[1].revents) {
            drainWake();
            continue;
        }
        if ((waiting[0].revents & (POLLIN | POLLHUP | POLLERR)) && !takeRecords(session, pending))
            break;
    }
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        session->readerDone = true;
        session->changed.notify_all();
    }
    m_ready.raise();
    waitAfterRecords(session);
}

// Receives what the daemon sent and applies its whole records. False once
// the record stream has ended (the scan finished, or the connection failed).
bool Scanner::takeRecords(ScanSession *session, std::vector<uint8_t> &pending)
{
    uint8_t buffer[4096];
    ssize_t got = recv(m_link->daemon.descriptor(), buffer, sizeof(buffer), 0);
    if (got < 0 && errno == EINTR)
        return true;
    if (got <= 0) {
        m_link->broken = true;
        std::lock_guard<std::mutex> lock(session->mutex);
        session->tracker.finish(ruvo_wire::RESULT_IO_ERROR);
        session->changed.notify_all();
        Debug(kDebugError, "the scan daemon closed the connection during the scan");
        return false;
    }
    pending.insert(pending.end(), buffer, buffer + got);
    bool finished = false, protocolError = false;
    applyRecords(session, pending, finished, protocolError);
    m_ready.raise();
    if (!finished)
        return true;
    if (protocolError) {
        Debug(kDebugError, "the scan daemon's records make no sense; aborting the scan");
        abortScan(session, pending.size());
    } else if (!pending.empty()) {
        m_link->broken = true; // bytes after the scan's last record: no framing left
    } else {
        m_transport->scanEnded(*m_link);
    }
    return false;
}

// Applies the whole records of `pending` to the scan's tracker and keeps
// the rest for the next receive.
void Scanner::applyRecords(ScanSession *session, std::vector<uint8_t> &pending, bool &finished, bool &protocolError)
{
    auto exists = [session](int page) {
        struct stat info;
        return lstat(ruvo_wire::PageFileName(session->baseName, page).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    };
    size_t whole = pending.size() / kRecordSize * kRecordSize;
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        size_t used = 0;
        for (; used < whole && !session->tracker.finished(); used += kRecordSize) {
            DaemonRecord record = m_transport->decodeRecord(pending.data() + used);
            Debug(kDebugTrace, "record st=%d index=%d size=%d result=%d", record.status, record.fileIndex,
                  record.dataSize, record.result);
            session->tracker.apply(record, exists);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        // Only a whole record shows the scan moving: bytes dripped one at a
        // time do not hold the stall limit off.
        if (used > 0)
            session->lastRecord = Clock::now();
        finished = session->tracker.finished();
        protocolError = session->tracker.protocolError();
        session->changed.notify_all();
    }
}

void Scanner::drainWake()
{
    char drained[16];
    while (::read(m_wakeRead.get(), drained, sizeof(drained)) > 0) {
    }
}

// After the last record the reader stays until the session ends, so that a
// cancel of pages the scanner delivered and nobody read removes them at once.
void Scanner::waitAfterRecords(ScanSession *session)
{
    while (!session->stopRequested) {
        if (m_cancelRequested && !session->aborted && m_link->usable()) {
            deleteUnreadPages(*session);
            return;
        }
        pollfd waiting{m_wakeRead.get(), POLLIN, 0};
        if (poll(&waiting, 1, 1000) > 0)
            drainWake();
    }
}

void Scanner::stopReader(ScanSession &session)
{
    if (!session.reader.joinable())
        return;
    session.stopRequested = true;
    char wake = 1;
    if (::write(m_wakeWrite.get(), &wake, 1) < 0) {
        // The pipe is full: the reader is awake already.
    }
    session.reader.join();
}

// Aborts the scan through the daemon.
void Scanner::abortScan(ScanSession *session, size_t leftover)
{
    bool sent = m_transport->sendAbort(*m_link, session->baseName);
    if (!sent || !awaitAbortAnswer(leftover)) {
        Debug(kDebugError, "the scan daemon did not answer the abort; the connection is dropped");
        m_link->broken = true;
    } else {
        m_transport->scanEnded(*m_link);
    }
    session->aborted = sent;
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        session->tracker.finish(ruvo_wire::RESULT_CANCELLED);
        session->changed.notify_all();
    }
    m_ready.raise();
}

// Records may still arrive before the abort's 4-byte answer, and nothing
// follows it: the answer has come once the bytes since the last whole record
// number 4 more than a multiple of 16 and the stream then stays quiet.
bool Scanner::awaitAbortAnswer(size_t leftover)
{
    const int fd = m_link->daemon.descriptor();
    uint64_t count = leftover;
    auto deadline = Clock::now() + kAbortAnswerLimit;
    uint8_t buffer[4096];
    while (Clock::now() < deadline) {
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, 200);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            if (count % kRecordSize == 4)
                return true;
            continue;
        }
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0)
            return false;
        count += static_cast<uint64_t>(got);
    }
    return false;
}

} // namespace ruvo_sane
