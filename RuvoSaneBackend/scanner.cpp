// A scanner's calls: opening it over a daemon connection (found again after
// the daemon closed an idle one), starting a scan and each later feeder page,
// cancelling and ending a scan with its page files removed.

#include "scanner.h"

#include "debug_log.h"
#include "scan_names.h"
#include "scan_session.h"
#include "scan_types.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ruvo_sane {

namespace {

constexpr int kSyncTimeoutMs = 10000;

} // namespace

int KnownResult(int32_t result)
{
    switch (result) {
    case ruvo_wire::RESULT_GOOD:
    case ruvo_wire::RESULT_CANCELLED:
    case ruvo_wire::RESULT_BUSY:
    case ruvo_wire::RESULT_INVALID:
    case ruvo_wire::RESULT_END_OF_SCAN:
    case ruvo_wire::RESULT_JAMMED:
    case ruvo_wire::RESULT_NO_DOCUMENTS:
    case ruvo_wire::RESULT_COVER_OPEN:
    case ruvo_wire::RESULT_IO_ERROR:
    case ruvo_wire::RESULT_NO_MEMORY:
    case ruvo_wire::RESULT_ACCESS_DENIED: return result;
    default: return ruvo_wire::RESULT_IO_ERROR;
    }
}

// ---- opening ----

Scanner::Scanner(const DeviceEntry &entry)
    : m_transport(entry.usb ? MakeUsbTransport(entry) : MakeNetworkTransport(entry)), m_name(entry.name),
      m_link(new ScannerLink)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_wakeRead.reset(ends[0]);
        m_wakeWrite.reset(ends[1]);
    }
}

Scanner::~Scanner()
{
    m_cancelRequested = false;
    cancelNow();
    m_transport->release(*m_link);
}

int Scanner::Open(const DeviceEntry &entry, std::unique_ptr<Scanner> &scanner)
{
    std::unique_ptr<Scanner> opened(new Scanner(entry));
    int status = opened->connect();
    if (status == ruvo_wire::RESULT_GOOD)
        status = opened->m_transport->describe(*opened->m_link, opened->m_abilities);
    if (status != ruvo_wire::RESULT_GOOD)
        return status;
    scanner = std::move(opened);
    return ruvo_wire::RESULT_GOOD;
}

void Scanner::dropLink()
{
    m_link->daemon.close();
    m_link->broken = false;
    m_transport->detach();
}

// Connects to the daemon and makes the scanner usable on that connection.
int Scanner::connect()
{
    dropLink();
    std::string error;
    DaemonRoute route = ConfiguredDaemonRoute();
    if (!m_link->daemon.connect(route, error)) {
        Debug(kDebugError, "cannot reach the scan daemon on %s (%s); is RuvoScanDaemon running?",
              route.describe().c_str(), error.c_str());
        return ruvo_wire::RESULT_IO_ERROR;
    }
    int status = m_transport->attach(*m_link);
    if (status != ruvo_wire::RESULT_GOOD)
        dropLink();
    return status;
}

// A request that has an answer comes back only once everything sent before
// it is done (the daemon serves a connection in order). A handle this
// connection never opened is refused at once, without touching a device.
bool Scanner::syncWithDaemon(int timeoutMs)
{
    USBCommonReq request{-1};
    int32_t result = 0;
    return m_link->daemon.exchange(USB_SCAN_UNLOCK, request, result, timeoutMs);
}

// A connection the daemon closed (it closes idle ones) is opened again, and
// the scanner made usable on it again, before it is used. Its end may still
// be on the way when the next call comes, so the connection is also asked for
// an answer first.
bool Scanner::ensureConnected()
{
    if (m_link->usable() && !m_link->daemon.closedByPeer() && syncWithDaemon(kSyncTimeoutMs))
        return true;
    Debug(kDebugInfo, "reconnecting to the scan daemon for %s", m_name.c_str());
    return connect() == ruvo_wire::RESULT_GOOD;
}

// A feeder scan that failed may have failed on a jammed sheet: the feeder says so.
int Scanner::mapFeederFailure(int status)
{
    if (!m_session || !m_session->choice.feeder || status == ruvo_wire::RESULT_CANCELLED ||
        status == ruvo_wire::RESULT_JAMMED)
        return status;
    // The reader still owns the connection until it has finished.
    if (!settleReader() || !m_link->usable())
        return status;
    int32_t state = 0;
    if (m_transport->feederState(*m_link, state) == ruvo_wire::RESULT_GOOD && state == ADF_STATUS_PAPER_JAM)
        return ruvo_wire::RESULT_JAMMED;
    return status;
}

// ---- scanning ----

int Scanner::start(const ScanChoice &choice)
{
    BusyGuard busy(m_busy);
    if (m_cancelRequested.exchange(false))
        cancelNow();
    // Each scan starts in blocking mode; a front end that polls says so again.
    m_nonBlocking = false;
    if (m_session && m_session->choice.feeder && m_frame == Frame::PageDone && !m_session->aborted)
        return nextFeederPage();
    endSession(true);
    setFrame(Frame::Idle);

    if (ToPixels(choice).width == 0)
        return ruvo_wire::RESULT_INVALID;
    if (!ensureConnected())
        return ruvo_wire::RESULT_IO_ERROR;
    int status = checkFeeder(choice);
    if (status == ruvo_wire::RESULT_GOOD)
        status = startScan(choice);
    if (status != ruvo_wire::RESULT_GOOD)
        return status;
    status = waitForPage(0);
    if (status == ruvo_wire::RESULT_GOOD)
        return openPage(0);
    if (status == ruvo_wire::RESULT_END_OF_SCAN)
        status = choice.feeder ? ruvo_wire::RESULT_NO_DOCUMENTS : ruvo_wire::RESULT_IO_ERROR;
    endSession(true);
    return status;
}

// The next sheet of a feeder scan that is still running or has pages left.
int Scanner::nextFeederPage()
{
    int status = waitForPage(m_session->page + 1);
    if (status == ruvo_wire::RESULT_GOOD)
        return openPage(m_session->page + 1);
    endSession(true);
    setFrame(Frame::Idle);
    return status == ruvo_wire::RESULT_END_OF_SCAN ? ruvo_wire::RESULT_NO_DOCUMENTS : status;
}

// An empty or jammed feeder is said before a scan is started on it.
int Scanner::checkFeeder(const ScanChoice &choice)
{
    if (!choice.feeder)
        return ruvo_wire::RESULT_GOOD;
    int32_t state = 0;
    if (m_transport->feederState(*m_link, state) == ruvo_wire::RESULT_GOOD) {
        if (state == ADF_STATUS_EMPTY) {
            Debug(kDebugInfo, "the feeder of %s is empty", m_name.c_str());
            return ruvo_wire::RESULT_NO_DOCUMENTS;
        }
        if (state == ADF_STATUS_PAPER_JAM) {
            Debug(kDebugError, "the feeder of %s is jammed", m_name.c_str());
            return ruvo_wire::RESULT_JAMMED;
        }
    }
    if (m_link->broken && !ensureConnected())
        return ruvo_wire::RESULT_IO_ERROR;
    return ruvo_wire::RESULT_GOOD;
}

int Scanner::startScan(const ScanChoice &choice)
{
    if (!m_wakeRead || !m_ready.valid())
        return ruvo_wire::RESULT_NO_MEMORY;
    auto session = std::make_unique<ScanSession>();
    session->choice = choice;
    session->shape = ShapeOf(choice);
    std::string baseName;
    int32_t result = m_transport->startScan(*m_link, choice, baseName);
    if (result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "%s did not start the scan (%d)", m_name.c_str(), static_cast<int>(result));
        int status = KnownResult(result);
        return status == ruvo_wire::RESULT_END_OF_SCAN || status == ruvo_wire::RESULT_GOOD ? ruvo_wire::RESULT_IO_ERROR
                                                                                           : status;
    }
    session->baseName = baseName;
    m_ready.clear();
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_session = std::move(session);
    }
    ScanSession *running = m_session.get();
    if (!ruvo_wire::IsDaemonScanBaseName(baseName)) {
        // Not a page file name of the scan directory: nothing of it is read.
        Debug(kDebugError, "the scan daemon named an unexpected page file %s", baseName.c_str());
        running->abortRequested = true;
    }
    running->reader = std::thread([this, running] { readRecords(running); });
    return ruvo_wire::RESULT_GOOD;
}

// Waits until page `page` has begun (GOOD), or the scan has ended without it
// (its end: EOF when it ended well).
int Scanner::waitForPage(int page)
{
    ScanSession &session = *m_session;
    std::unique_lock<std::mutex> lock(session.mutex);
    while (true) {
        if (session.tracker.pagesBegun() > page)
            return ruvo_wire::RESULT_GOOD;
        if (session.tracker.finished()) {
            int status = KnownResult(session.tracker.finalResult());
            lock.unlock();
            return status == ruvo_wire::RESULT_END_OF_SCAN ? status : mapFeederFailure(status);
        }
        if (m_cancelRequested || Clock::now() - session.lastRecord > kStallLimit) {
            lock.unlock();
            bool cancelled = m_cancelRequested.exchange(false);
            endSession(false);
            return cancelled ? ruvo_wire::RESULT_CANCELLED : ruvo_wire::RESULT_IO_ERROR;
        }
        session.changed.wait_for(lock, std::chrono::milliseconds(200));
    }
}

int Scanner::openPage(int page)
{
    ScanSession &session = *m_session;
    std::string path = ruvo_wire::PageFileName(session.baseName, page);
    session.file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (session.file.get() < 0) {
        Debug(kDebugError, "cannot read the page file %s (%s)", path.c_str(), std::strerror(errno));
        endSession(false);
        return ruvo_wire::RESULT_IO_ERROR;
    }
    session.page = page;
    session.fileOffset = 0;
    const FrameShape &shape = session.shape;
    if (UsesJpeg(session.choice)) {
        // A feeder page is at most one sheet long.
        int64_t sheetLines =
            static_cast<int64_t>(std::ceil(m_abilities.feederHeightMm * session.choice.resolution / 25.4));
        session.decoder = MakeJpegDecoder(shape.pixelsPerLine, shape.colour ? 3 : 1, shape.lines, sheetLines);
    } else {
        unsigned boundary = m_transport->lineBoundary(shape.colour);
        session.decoder = MakeRawDecoder(shape.bytesPerLine, PaddedLineBytes(shape.bytesPerLine, boundary), shape.lines);
    }
    setFrame(Frame::Reading);
    Debug(kDebugInfo, "reading page %d of %s", page, session.baseName.c_str());
    return ruvo_wire::RESULT_GOOD;
}

void Scanner::deletePageFile(ScanSession &session, int page)
{
    if (page < 0)
        return;
    {
        // The reader deletes the unread pages of a cancelled scan; the call
        // that runs deletes the pages it has read.
        std::lock_guard<std::mutex> lock(session.mutex);
        if (session.deleted.size() <= static_cast<size_t>(page))
            session.deleted.resize(static_cast<size_t>(page) + 1, false);
        if (session.deleted[static_cast<size_t>(page)] || session.aborted ||
            !ruvo_wire::IsDaemonScanBaseName(session.baseName))
            return;
        session.deleted[static_cast<size_t>(page)] = true;
    }
    CmdDeleteFileReq request{};
    std::snprintf(request.fileName, sizeof(request.fileName), "%s",
                  ruvo_wire::PageFileName(session.baseName, page).c_str());
    // No answer comes, so this may go out while records stream in.
    if (!m_link->daemon.command(CMD_DELETE_FILE, &request, sizeof(request)))
        m_link->broken = true;
}

void Scanner::deleteUnreadPages(ScanSession &session)
{
    int begun = 0;
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        begun = session.tracker.pagesBegun();
    }
    for (int page = 0; page < begun; ++page)
        deletePageFile(session, page);
}

void Scanner::finishPage()
{
    ScanSession &session = *m_session;
    session.file.reset();
    session.decoder.reset();
    deletePageFile(session, session.page);
    session.wholeFlatbedPage = !session.choice.feeder;
    setFrame(Frame::PageDone);
}

int Scanner::failScan(int status)
{
    status = mapFeederFailure(status);
    endSession(false);
    setFrame(Frame::Failed);
    m_failStatus = status;
    return status;
}

void Scanner::setFrame(Frame frame)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_frame = frame;
}

// A cancelled scan is over for the front end at once, though its reader may
// still be finishing it: options may be set again.
std::optional<FrameShape> Scanner::activeShape() const
{
    if (m_cancelRequested)
        return std::nullopt;
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (m_session && (m_frame == Frame::Reading || m_frame == Frame::PageDone))
        return m_session->shape;
    return std::nullopt;
}

int Scanner::setNonBlocking(bool nonBlocking)
{
    if (!activeShape())
        return ruvo_wire::RESULT_INVALID;
    m_nonBlocking = nonBlocking;
    return ruvo_wire::RESULT_GOOD;
}

int Scanner::selectDescriptor(int &descriptor) const
{
    if (!activeShape())
        return ruvo_wire::RESULT_INVALID;
    descriptor = m_ready.descriptor();
    return ruvo_wire::RESULT_GOOD;
}

// ---- ending ----

// Waits for the reader of a finished scan to finish its last exchange (the
// unlock or the abort) and joins it. False when it is still reading records.
bool Scanner::settleReader()
{
    ScanSession &session = *m_session;
    if (!session.reader.joinable())
        return true;
    {
        std::unique_lock<std::mutex> lock(session.mutex);
        if (!session.tracker.finished())
            return false;
        session.changed.wait_for(lock, std::chrono::seconds(70), [&] { return session.readerDone.load(); });
    }
    if (!session.readerDone)
        return false;
    stopReader(session);
    return true;
}

void Scanner::cancel()
{
    // Only an atomic store and writes: all safe in a signal handler. No
    // lock, no join, no memory freed, no wait on the daemon.
    m_cancelRequested = true;
    char wake = 1;
    if (::write(m_wakeWrite.get(), &wake, 1) < 0) {
        // The pipe is full: the reader has been woken already.
    }
    // A polling front end learns of it from its next read.
    m_ready.raise();
}

void Scanner::cancelNow()
{
    if (m_session) {
        // A whole flatbed page needs no abort: the scan ends by itself.
        bool graceful = m_frame == Frame::PageDone && !m_session->choice.feeder;
        endSession(graceful);
        setFrame(Frame::Cancelled);
    } else if (m_frame != Frame::Idle) {
        setFrame(Frame::Cancelled);
    }
}

// Ends the scan session: lets the scan end by itself (graceful) or aborts it,
// stops the reader and removes the page files nobody read.
void Scanner::endSession(bool graceful)
{
    if (!m_session)
        return;
    ScanSession &session = *m_session;
    if (session.reader.joinable()) {
        if (graceful) {
            std::unique_lock<std::mutex> lock(session.mutex);
            session.changed.wait_for(lock, kNaturalEndLimit, [&] { return session.readerDone.load(); });
        }
        if (!session.readerDone)
            session.abortRequested = true;
        stopReader(session);
    }
    session.file.reset();
    session.decoder.reset();
    if (!session.aborted && m_link->usable()) {
        deleteUnreadPages(session);
        // The deletions have no answer: the daemon is asked for one after
        // them, so they are done before the next request.
        if (!session.deleted.empty() && !syncWithDaemon(kSyncTimeoutMs))
            m_link->broken = true;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_session.reset();
    }
    if (m_link->broken)
        dropLink();
}

} // namespace ruvo_sane
