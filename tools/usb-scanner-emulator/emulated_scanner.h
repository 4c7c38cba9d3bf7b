#pragma once
// The behaviour of one emulated USB scanner: what it answers on bulk IN 0x82 to
// the command frames written to bulk OUT 0x02. No USB plumbing here, so the
// behaviour can be driven directly as well as through the emulated device node.

#include "scan_chart.h"

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

    // Scanning the test chart (docs/scan-page-format.md) instead of the byte
    // pattern: the lock frame chooses area, resolution, depth and compression;
    // `pages` is the number of sheets in the feeder, a flatbed scan is one page.
    bool chart = false;
    int64_t sheetLength = 11 * scan_chart::kMicroInch; // feeder sheets (Letter)
    unsigned boundary = 4;        // line padding reported in the properties
    bool feeder = true;           // the properties' sources: flatbed, and a feeder
    int jamOnPage = -1;           // the feeder jams on this page (0-based)
    int chartChunkBytes = 32768;  // image bytes per data record of a chart scan
};

// What the lock frame asked for.
struct LockRequest {
    int bitDepth = 24;
    int compression = 0;
    int quality = 0;
    scan_chart::Area area;
    int source = 1;
};
// Reads a 55-byte lock frame; false when it is shorter.
bool ParseLockFrame(const uint8_t *bytes, size_t length, LockRequest &request);

class EmulatedScanner {
public:
    // The feeder holds `pages` sheets; the stack is put back at every unlock,
    // so each locked session of a chart scanner can feed them all again.
    EmulatedScanner(ScannerKnobs knobs, std::string serial) : m_knobs(std::move(knobs)), m_serial(std::move(serial))
    {
        m_sheetsLeft = m_knobs.pages;
    }

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
    void startChartScan();
    void queueNextChartPiece();
    void keepChartBytes(const std::vector<uint8_t> &image);
    void keepPageBytes(int page, const std::vector<uint8_t> &image);
    void keepFrame(const char *name, const uint8_t *bytes, size_t length);

    ScannerKnobs m_knobs;
    std::string m_serial;
    bool m_locked = false;
    bool m_scanning = false;
    int m_endlessCounter = 0;

    // A chart scan in progress, produced piece by piece as the host reads.
    LockRequest m_lock;
    int m_sheetsLeft = 0;
    int m_scanNumber = -1;
    int m_pagesToScan = 0;
    int m_page = 0;          // page being sent
    bool m_pageOpen = false; // its begin-of-page record is out
    uint32_t m_pageLines = 0;
    uint32_t m_nextLine = 0;
    std::vector<uint8_t> m_jpeg;
    size_t m_jpegSent = 0;
    std::deque<std::vector<uint8_t>> m_pending; // IN transfers in order
};

// The byte at `offset` of page `page`; varied so a swapped or shifted piece shows.
uint8_t PageByte(int page, int offset);
