#pragma once
// One scanner as the SANE entry points see it: opened over its own daemon
// connection, scanning page by page. Whether it is a USB or a network
// scanner is its transport's business. Results are the daemon's result codes.

#include "discovery.h"
#include "ready_signal.h"
#include "scan_geometry.h"
#include "scanner_transport.h"
#include "unique_fd.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ruvo_sane {

struct ScanSession;
struct PageProgress;

class Scanner {
public:
    // Opens `entry`: connects to the daemon and asks the scanner what it can do.
    static int Open(const DeviceEntry &entry, std::unique_ptr<Scanner> &scanner);
    ~Scanner();
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    const ScannerAbilities &abilities() const { return m_abilities; }

    int start(const ScanChoice &choice);
    // Blocking (the default) or, once set during a scan, answering at once
    // with no bytes when none are ready.
    int read(uint8_t *out, int maxLength, int *length);
    // Safe from a signal handler: it only marks the scan cancelled and wakes
    // the record reader, which aborts the scan; the next call of this
    // scanner (or one waiting now) ends it.
    void cancel();
    // The shape of the frame being read, when one is.
    std::optional<FrameShape> activeShape() const;
    // Both only during a scan (from a start to the end of its scan).
    int setNonBlocking(bool nonBlocking);
    int selectDescriptor(int &descriptor) const;

private:
    explicit Scanner(const DeviceEntry &entry);
    int connect();
    bool ensureConnected();
    bool syncWithDaemon(int timeoutMs);
    int mapFeederFailure(int status);
    int checkFeeder(const ScanChoice &choice);
    int startScan(const ScanChoice &choice);
    int nextFeederPage();
    int waitForPage(int page);
    int openPage(int page);
    void finishPage();
    int failScan(int status);
    void cancelNow();
    void endSession(bool graceful);
    void deleteUnreadPages(ScanSession &session);
    void deletePageFile(ScanSession &session, int page);
    void dropLink();
    bool settleReader();
    enum class Frame { Idle, Reading, PageDone, Cancelled, Failed };
    void setFrame(Frame frame);

    // Page reading (page_reading.cpp).
    int frameEndResult() const;
    int readPage(uint8_t *out, size_t maxLength, int *length);
    int decoderEnded(ScanSession &session);
    bool feedDecoder(ScanSession &session, uint64_t available);
    int waitForBytes(ScanSession &session, bool &cleared);
    PageProgress progressOf(ScanSession &session) const;
    bool cancelTaken();

    // The record reader (record_reader.cpp).
    void readRecords(ScanSession *session);
    bool takeRecords(ScanSession *session, std::vector<uint8_t> &pending);
    void applyRecords(ScanSession *session, std::vector<uint8_t> &pending, bool &finished, bool &protocolError);
    void waitAfterRecords(ScanSession *session);
    void drainWake();
    void stopReader(ScanSession &session);
    void abortScan(ScanSession *session, size_t leftover);
    bool awaitAbortAnswer(size_t leftover);

    std::unique_ptr<ScannerTransport> m_transport;
    ScannerAbilities m_abilities;
    std::string m_name;
    std::unique_ptr<ScannerLink> m_link;

    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_cancelRequested{false};
    std::atomic<bool> m_nonBlocking{false};
    // cancel -> the record reader: one byte a cancel (non-blocking, lives
    // with the scanner, so a late signal never writes to a closed pipe).
    UniqueFd m_wakeRead;
    UniqueFd m_wakeWrite;
    // The front end's select descriptor.
    ReadySignal m_ready;
    // Written by the call that runs (start, read, close); read by
    // sane_get_parameters and sane_control_option on any thread.
    mutable std::mutex m_stateMutex; // guards m_frame and m_session (the pointer)
    Frame m_frame = Frame::Idle;
    int m_failStatus = 0;
    std::unique_ptr<ScanSession> m_session;
};

} // namespace ruvo_sane
