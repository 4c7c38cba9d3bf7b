#pragma once
// What a data process does once it runs: reads its scanner's records (through
// a USB or a network record source, the only part in which the two differ),
// writes their data to the scan's page files and sends one record per read to
// the client; and how it is told to stop between two transfers.

#include "ruvo_network.h"
#include "scan_pages.h"
#include "scan_types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// What one read of the scanner produced.
struct ScanRecordRead {
    int result = ruvo_wire::RESULT_GOOD;
    int32_t status = SCAN_STATUS_OPERATION_CONTINUOUS;
    // A record was read just now (a USB read may bring none and keep the status).
    bool fresh = true;
    const uint8_t *data = nullptr;
    size_t length = 0;
    // When not -1: the `length` bytes are still in this socket, for the page
    // files to take (data is then unused).
    int channel = -1;
};

// How a data process reads its scanner.
class ScanRecordSource {
public:
    virtual ~ScanRecordSource() = default;
    virtual ScanRecordRead next() = 0;
    // The channel of the last read failed while its bytes were being taken.
    virtual void channelFailed() {}
};

// Records of a USB scanner, read through the connection's device handle.
class UsbRecordSource : public ScanRecordSource {
public:
    explicit UsbRecordSource(int devfd) : m_devfd(devfd) {}
    ScanRecordRead next() override;

private:
    int m_devfd;
    int32_t m_status = SCAN_STATUS_OPERATION_CONTINUOUS;
    std::vector<uint8_t> m_buffer;
};

// Reads the record channel's headers; a data block's bytes stay in the
// channel for the page files to move straight into the page.
class NetworkRecordSource : public ScanRecordSource {
public:
    explicit NetworkRecordSource(const RuvoSocket &socket) : m_socket(socket) {}
    ScanRecordRead next() override;
    void channelFailed() override;

private:
    RuvoSocket m_socket;
    bool m_first = true;
};

// The two record layouts of the client protocol (USBScanRecordRes, TCPRecordRes)
// and their log texts.
enum class RecordLayout { Usb, Network };

struct ScanLoopOutcome {
    int result = ruvo_wire::RESULT_GOOD;
    // The scanner itself ended the scan (a result not 0 from the source); false
    // when the loop stopped on this side (client gone, page file, cap).
    bool scannerEnded = false;
};

// Reads records until one carries a result other than 0, writing their data to
// the page files and sending one record per read to `connection`; a record that
// cannot be sent within `sendStallMs` ends the loop, and so does a stop request
// (ruvo_wire::RESULT_CANCELLED, nothing sent). `beforeLastRecord` runs
// just before the record that ends the scan is sent.
ScanLoopOutcome RunScanRecordLoop(ScanRecordSource &source, PageFiles &pages, RecordLayout layout, int connection,
                                  int sendStallMs, const std::function<void()> &beforeLastRecord = {});

// A data process told to stop (from a signal handler: async-signal-safe) ends
// its record loop before its next transfer with the scanner and sends no
// further record, so that the process that told it can use the scanner alone.
void RequestRecordLoopStop();
bool RecordLoopStopRequested();

// How the daemon sends to a client: all bytes, failing when the client is gone
// or takes nothing for `stallMs`, and (in a data process told to stop) giving
// up a record the client does not take.
bool SendToClient(int fd, const void *bytes, size_t length, int stallMs);
