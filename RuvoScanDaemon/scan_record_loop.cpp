#include "scan_record_loop.h"

#include "client_io.h"
#include "scan_log.h"
#include "scan_protocol.h"

#include <csignal>
#include <unistd.h>

namespace {

struct RecordTexts {
    const char *pageFailureSendError;
    const char *writeError;
    const char *sendError;
    const char *exitLine;
};

RecordTexts textsOf(RecordLayout layout)
{
    if (layout == RecordLayout::Usb)
        return {"usb USBScanRecordRes err", "usb send scan data err", "usb send scan data len err",
                "usb scan record process exit:%d pid:%d"};
    return {"usb TCPRecordRes err", "send scan data err", "send scan data len err",
            "tcp scan record process exit:%d pid:%d"};
}

// The fields of one record to the client, whichever its layout.
struct RecordFields {
    int32_t status;
    int32_t fileIndex;
    int32_t size;
    int32_t result;
};

bool sendScanRecord(int connection, RecordLayout layout, const RecordFields &fields, int sendStallMs)
{
    if (layout == RecordLayout::Usb) {
        USBScanRecordRes record{fields.status, fields.fileIndex, fields.size, fields.result};
        return SendToClient(connection, &record, sizeof(record), sendStallMs);
    }
    TCPRecordRes record{fields.result, fields.size, fields.fileIndex, fields.status};
    return SendToClient(connection, &record, sizeof(record), sendStallMs);
}

volatile sig_atomic_t s_stopRequested = 0;

// One run of the record loop: where it reads, writes and sends, and how it ends.
class RecordLoop {
public:
    RecordLoop(ScanRecordSource &source, PageFiles &pages, RecordLayout layout, int connection, int sendStallMs,
               const std::function<void()> &beforeLastRecord)
        : m_source(source), m_pages(pages), m_layout(layout), m_connection(connection), m_sendStallMs(sendStallMs),
          m_beforeLastRecord(beforeLastRecord), m_texts(textsOf(layout))
    {
    }

    ScanLoopOutcome run()
    {
        while (step()) {
        }
        RuvoInfoLog(m_texts.exitLine, m_outcome.result, static_cast<int>(getpid()));
        return m_outcome;
    }

private:
    // One read and its record; false when the loop ends.
    bool step();
    // Writes the data of a good read to its page; false when no page could be
    // begun for it (the loop ends).
    bool writeData(const ScanRecordRead &read, int fileIndex, RecordFields &sent);
    void announceEnd()
    {
        if (m_beforeLastRecord)
            m_beforeLastRecord();
    }
    void reportPageFailure(int fileIndex);

    ScanRecordSource &m_source;
    PageFiles &m_pages;
    RecordLayout m_layout;
    int m_connection;
    int m_sendStallMs;
    const std::function<void()> &m_beforeLastRecord;
    RecordTexts m_texts;
    ScanLoopOutcome m_outcome;
};

void RecordLoop::reportPageFailure(int fileIndex)
{
    announceEnd();
    RecordFields failure{SCAN_STATUS_OPERATION_CONTINUOUS, fileIndex, 0, ruvo_wire::RESULT_ACCESS_DENIED};
    if (!sendScanRecord(m_connection, m_layout, failure, m_sendStallMs))
        RuvoErrLog("%s", m_texts.pageFailureSendError);
    m_outcome.result = ruvo_wire::RESULT_ACCESS_DENIED;
}

bool RecordLoop::writeData(const ScanRecordRead &read, int fileIndex, RecordFields &sent)
{
    // Data before any begin-of-page record still belongs to a page.
    if (!m_pages.open()) {
        if (!m_pages.begin()) {
            reportPageFailure(fileIndex);
            return false;
        }
        sent.fileIndex = m_pages.count();
    }
    int written = read.channel >= 0 ? m_pages.appendFromChannel(read.channel, read.length)
                                    : m_pages.append(read.data, read.length);
    if (written == PageFiles::kChannelFailed) {
        // As a read of the block that failed: the scanner's side ended the scan.
        m_source.channelFailed();
        written = ruvo_wire::RESULT_IO_ERROR;
        sent.size = 0;
        m_outcome.scannerEnded = true;
    } else if (written == ruvo_wire::RESULT_IO_ERROR) {
        RuvoErrLog("%s", m_texts.writeError);
    } else if (written != ruvo_wire::RESULT_GOOD) {
        sent.size = 0; // nothing of this record reached the page
    }
    if (written != ruvo_wire::RESULT_GOOD) {
        sent.result = written;
        m_outcome.result = written;
    }
    return true;
}

bool RecordLoop::step()
{
    if (RecordLoopStopRequested()) {
        m_outcome.result = ruvo_wire::RESULT_CANCELLED;
        m_outcome.scannerEnded = false;
        return false;
    }
    int fileIndex = m_pages.count();
    ScanRecordRead read = m_source.next();
    m_outcome.result = read.result;
    m_outcome.scannerEnded = read.result != ruvo_wire::RESULT_GOOD;
    if (read.fresh && read.status == SCAN_STATUS_BEGIN_OF_PAGE && !m_pages.begin()) {
        reportPageFailure(fileIndex);
        return false;
    }
    RecordFields sent{read.status, fileIndex, static_cast<int32_t>(read.length), read.result};
    if (read.result == ruvo_wire::RESULT_GOOD && read.length > 0 && !writeData(read, fileIndex, sent))
        return false;
    if (sent.result != ruvo_wire::RESULT_GOOD)
        announceEnd();
    if (!sendScanRecord(m_connection, m_layout, sent, m_sendStallMs)) {
        RuvoErrLog("%s", m_texts.sendError);
        if (m_outcome.result == ruvo_wire::RESULT_GOOD)
            m_outcome.scannerEnded = false;
        return false;
    }
    return m_outcome.result == ruvo_wire::RESULT_GOOD;
}

} // namespace

ScanRecordRead UsbRecordSource::next()
{
    constexpr int32_t kNoRecord = -1;
    uint16_t readLength = 0;
    int32_t previous = m_status;
    m_status = kNoRecord;
    ScanRecordRead read;
    read.result = ScanRecord(m_devfd, &m_status, m_buffer, &readLength);
    // Only a record just read may open a page: a read that brought no
    // record keeps the previous status but must not start the page again.
    read.fresh = m_status != kNoRecord;
    if (!read.fresh)
        m_status = previous;
    read.status = m_status;
    read.data = m_buffer.data();
    read.length = readLength;
    return read;
}

ScanRecordRead NetworkRecordSource::next()
{
    ScanRecordRead read;
    uint32_t pending = 0;
    ScanStatus status = SCAN_STATUS_OPERATION_CONTINUOUS;
    read.result = ruvo_tcp_ScanRecordHeader(&m_socket, &status, &pending);
    // Page file 0 always exists, whatever the channel sends first.
    read.status = m_first ? SCAN_STATUS_BEGIN_OF_PAGE : status;
    m_first = false;
    if (read.result == ruvo_wire::RESULT_GOOD && pending > 0) {
        read.channel = m_socket.tcpFromScanner;
        read.length = pending;
    }
    return read;
}

void NetworkRecordSource::channelFailed()
{
    ruvo_tcp_RecordDataFailed(&m_socket);
}

ScanLoopOutcome RunScanRecordLoop(ScanRecordSource &source, PageFiles &pages, RecordLayout layout, int connection,
                                  int sendStallMs, const std::function<void()> &beforeLastRecord)
{
    return RecordLoop(source, pages, layout, connection, sendStallMs, beforeLastRecord).run();
}

void RequestRecordLoopStop()
{
    s_stopRequested = 1;
}

bool RecordLoopStopRequested()
{
    return s_stopRequested != 0;
}

bool SendToClient(int fd, const void *bytes, size_t length, int stallMs)
{
    return ruvo_wire::SendAll(fd, bytes, length, stallMs, RecordLoopStopRequested);
}
