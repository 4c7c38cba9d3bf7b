#pragma once
// The behaviour of one emulated USB scanner: what it answers on bulk IN 0x82 to
// the command frames written to bulk OUT 0x02. No USB plumbing here, so the
// behaviour can be driven directly as well as through the emulated device node.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct ScannerKnobs {
    int pages = 3;
    int pageBytes = 3000;
    int chunkBytes = 1000;         // image bytes per data record
    bool lockBusy = false;         // the lock is answered with 0x88
    bool unknownFlag = false;      // the unlock is answered with 0x87
    bool oversizeResponse = false; // the properties answer claims dataSize 193
    bool abortDuringScan = false;  // an abort frame from the device after page 0
    bool strayRecord = false;      // a leftover record and abort frame before the lock answer
    int stallAfterPages = -1;      // stops answering on IN after this many pages
    bool endless = false;          // one page of small data records that never ends
    std::string recordDirectory;   // where the sent page bytes and frames are kept
};

class EmulatedScanner {
public:
    EmulatedScanner(ScannerKnobs knobs, std::string serial) : m_knobs(std::move(knobs)), m_serial(std::move(serial)) {}

    // A frame written to bulk OUT.
    void write(const uint8_t *bytes, size_t length);
    // One IN transfer of at most `length` bytes; false when nothing comes (timeout).
    bool read(size_t length, std::vector<uint8_t> &out);
    // USBDEVFS_RESET: drops whatever the device still wanted to send.
    void reset();

    const std::string &serial() const { return m_serial; }

private:
    void queueResponse(uint8_t commandClass, uint8_t code, uint8_t flag, const std::vector<uint8_t> &body = {},
                       uint8_t reserved = 0, int claimedDataSize = -1);
    void queueRecord(uint8_t status, const std::vector<uint8_t> &image);
    void queueScan();
    void queueEndlessChunk();
    void keepPageBytes(int page, const std::vector<uint8_t> &image);
    void keepFrame(const char *name, const uint8_t *bytes, size_t length);

    ScannerKnobs m_knobs;
    std::string m_serial;
    bool m_locked = false;
    bool m_scanning = false;
    int m_endlessCounter = 0;
    std::deque<std::vector<uint8_t>> m_pending; // IN transfers in order
};

// The byte at `offset` of page `page`; varied so a swapped or shifted piece shows.
uint8_t PageByte(int page, int offset);
