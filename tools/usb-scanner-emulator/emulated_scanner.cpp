#include "emulated_scanner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {
constexpr uint8_t kStart = 0x1B;
constexpr uint8_t kScan = 0x53;
constexpr uint8_t kPower = 0x44;
constexpr uint8_t kRecordBytes = 23;
} // namespace

uint8_t PageByte(int page, int offset)
{
    return static_cast<uint8_t>((page * 53 + offset * 7 + (offset >> 9)) & 0xFF);
}

bool ParseLockFrame(const uint8_t *bytes, size_t length, LockRequest &request)
{
    if (length < 55)
        return false;
    auto u32 = [&](size_t at) {
        uint32_t value;
        std::memcpy(&value, bytes + at, sizeof(value));
        return value;
    };
    auto u16 = [&](size_t at) {
        uint16_t value;
        std::memcpy(&value, bytes + at, sizeof(value));
        return value;
    };
    request.bitDepth = bytes[8] == 1 ? 1 : bytes[8] == 2 ? 8 : 24;
    request.compression = bytes[9];
    request.quality = bytes[10];
    request.area.width = u32(12);
    request.area.height = u32(16);
    request.area.xStart = u32(20);
    request.area.yStart = u32(24);
    request.area.xResolution = u16(28);
    request.area.yResolution = u16(30);
    request.source = bytes[32];
    return true;
}

void EmulatedScanner::queueResponse(uint8_t commandClass, uint8_t code, uint8_t flag, const std::vector<uint8_t> &body,
                                    uint8_t reserved, int claimedDataSize)
{
    uint16_t dataSize = static_cast<uint16_t>(claimedDataSize >= 0 ? claimedDataSize : static_cast<int>(body.size()));
    std::vector<uint8_t> frame = {kStart, commandClass, code, 0, static_cast<uint8_t>(dataSize & 0xFF),
                                  static_cast<uint8_t>(dataSize >> 8), flag, reserved};
    frame.insert(frame.end(), body.begin(), body.end());
    m_pending.push_back(frame);
}

void EmulatedScanner::queueRecord(uint8_t status, const std::vector<uint8_t> &image)
{
    uint16_t dataSize = static_cast<uint16_t>(kRecordBytes + image.size());
    std::vector<uint8_t> record = {kStart, kScan, 0x02, 0, static_cast<uint8_t>(dataSize & 0xFF),
                                   static_cast<uint8_t>(dataSize >> 8), 0x80, 0};
    record.push_back(status);
    record.resize(8 + kRecordBytes, 0);
    m_pending.push_back(record);
    if (!image.empty())
        m_pending.push_back(image);
}

void EmulatedScanner::keepPageBytes(int page, const std::vector<uint8_t> &image)
{
    if (m_knobs.recordDirectory.empty())
        return;
    std::string path = m_knobs.recordDirectory + "/" + m_serial + "_page_" + std::to_string(page) + ".bin";
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
}

void EmulatedScanner::keepFrame(const char *name, const uint8_t *bytes, size_t length)
{
    if (m_knobs.recordDirectory.empty())
        return;
    std::ofstream out(m_knobs.recordDirectory + "/" + m_serial + "_" + name + ".bin", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes), static_cast<std::streamsize>(length));
}

void EmulatedScanner::queueScan()
{
    m_scanning = true;
    queueRecord(8, {}); // begin of scan
    if (m_knobs.endless) {
        queueRecord(9, {});
        queueEndlessChunk();
        return;
    }
    for (int page = 0; page < m_knobs.pages; ++page) {
        // A device that stops answering: nothing more ever comes on IN.
        if (page == m_knobs.stallAfterPages)
            return;
        queueRecord(9, {});
        for (int offset = 0; offset < m_knobs.pageBytes; offset += m_knobs.chunkBytes) {
            int length = std::min(m_knobs.chunkBytes, m_knobs.pageBytes - offset);
            std::vector<uint8_t> image(static_cast<size_t>(length));
            for (int i = 0; i < length; ++i)
                image[static_cast<size_t>(i)] = PageByte(page, offset + i);
            queueRecord(0, image);
            keepPageBytes(page, image);
        }
        queueRecord(7, {});
        if (page == 0 && m_knobs.abortDuringScan) {
            m_pending.push_back({kStart, kScan, 0x0F, 0, 0, 0, 0x80, 0});
            return;
        }
    }
    queueRecord(1, {});
}

void EmulatedScanner::keepChartBytes(const std::vector<uint8_t> &image)
{
    if (m_knobs.recordDirectory.empty())
        return;
    std::string path = m_knobs.recordDirectory + "/" + m_serial + "_scan_" + std::to_string(m_scanNumber) + "_page_" +
                       std::to_string(m_page) + ".bin";
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
}

void EmulatedScanner::startChartScan()
{
    m_scanning = true;
    ++m_scanNumber;
    bool fromFeeder = m_lock.source == 3 || m_lock.source == 4;
    if (!fromFeeder)
        m_pagesToScan = 1;
    else if (m_lock.source == 4)
        m_pagesToScan = std::min(1, m_sheetsLeft);
    else
        m_pagesToScan = m_sheetsLeft;
    m_page = 0;
    m_pageOpen = false;
    queueRecord(8, {}); // begin of scan
}

// Queues the next records of a chart scan: a page's beginning, a piece of its
// image, its end, or the end of the scan.
void EmulatedScanner::queueNextChartPiece()
{
    const scan_chart::Area &area = m_lock.area;
    bool fromFeeder = m_lock.source == 3 || m_lock.source == 4;
    if (!m_pageOpen) {
        if (m_page >= m_pagesToScan || area.xResolution <= 0 || area.yResolution <= 0) {
            queueRecord(1, {}); // end of data
            m_scanning = false;
            return;
        }
        if (fromFeeder && m_page == m_knobs.jamOnPage) {
            queueRecord(5, {}); // paper jam
            m_scanning = false;
            return;
        }
        if (fromFeeder)
            --m_sheetsLeft;
        m_pageLines = fromFeeder ? scan_chart::FeederPageLines(area, m_knobs.sheetLength) : area.height;
        m_nextLine = 0;
        m_jpeg.clear();
        m_jpegSent = 0;
        bool jpeg = m_lock.compression == 2 && m_lock.bitDepth != 1;
        if (jpeg)
            m_jpeg = scan_chart::EncodeJpeg(area, m_lock.bitDepth, m_page, m_pageLines, m_lock.quality);
        m_pageOpen = true;
        queueRecord(9, {}); // begin of page
        return;
    }
    size_t chunk = static_cast<size_t>(std::clamp(m_knobs.chartChunkBytes, 1, 65535 - kRecordBytes));
    std::vector<uint8_t> image;
    if (m_lock.compression == 2 && m_lock.bitDepth != 1) {
        size_t count = std::min(chunk, m_jpeg.size() - m_jpegSent);
        image.assign(m_jpeg.begin() + static_cast<std::ptrdiff_t>(m_jpegSent),
                     m_jpeg.begin() + static_cast<std::ptrdiff_t>(m_jpegSent + count));
        m_jpegSent += count;
    } else {
        size_t lineBytes =
            scan_chart::PaddedLineBytes(scan_chart::LineBytes(area.width, m_lock.bitDepth), m_knobs.boundary);
        // Whole lines per record, at least one even when a line is longer
        // than a record may be: then the line goes out in several records.
        while (m_nextLine < m_pageLines && image.size() + lineBytes <= chunk) {
            scan_chart::AppendLine(area, m_lock.bitDepth, m_page, m_nextLine, m_knobs.boundary, image);
            ++m_nextLine;
        }
        if (image.empty() && m_nextLine < m_pageLines) {
            scan_chart::AppendLine(area, m_lock.bitDepth, m_page, m_nextLine, m_knobs.boundary, image);
            ++m_nextLine;
        }
    }
    if (image.empty()) {
        queueRecord(7, {}); // end of page
        m_pageOpen = false;
        ++m_page;
        return;
    }
    keepChartBytes(image);
    // A record carries at most 65535 - 23 image bytes.
    for (size_t offset = 0; offset < image.size(); offset += chunk) {
        size_t count = std::min(chunk, image.size() - offset);
        queueRecord(0, std::vector<uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(offset),
                                            image.begin() + static_cast<std::ptrdiff_t>(offset + count)));
    }
}

void EmulatedScanner::queueEndlessChunk()
{
    std::vector<uint8_t> image(16);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = PageByte(0, m_endlessCounter * 16 + static_cast<int>(i));
    ++m_endlessCounter;
    queueRecord(0, image);
}

void EmulatedScanner::write(const uint8_t *bytes, size_t length)
{
    if (length < 8 || bytes[0] != kStart)
        return;
    uint8_t commandClass = bytes[1];
    uint8_t code = bytes[2];
    if (commandClass == kPower && code == 0x04) {
        queueResponse(kPower, code, 0x80, {3});
        return;
    }
    if (commandClass != kScan)
        return;
    switch (code) {
    case 0x05: // lock
        keepFrame("lock", bytes, length);
        if (m_knobs.chart)
            ParseLockFrame(bytes, length, m_lock);
        // Left over from an earlier scan: a record, then an abort frame.
        if (m_knobs.strayRecord) {
            queueRecord(7, {});
            m_pending.push_back({kStart, kScan, 0x0F, 0, 0, 0, 0x80, 0});
        }
        if (m_knobs.lockBusy) {
            queueResponse(kScan, code, 0x88);
        } else {
            m_locked = true;
            queueResponse(kScan, code, 0x80);
        }
        break;
    case 0x06: // unlock
        m_locked = false;
        m_sheetsLeft = m_knobs.pages;
        queueResponse(kScan, code, m_knobs.unknownFlag ? 0x87 : 0x80);
        break;
    case 0x01: // start
        if (!m_locked) {
            queueResponse(kScan, code, 0x83);
            break;
        }
        queueResponse(kScan, code, 0x80);
        if (m_knobs.chart)
            startChartScan();
        else
            queueScan();
        break;
    case 0x03: { // properties
        std::vector<uint8_t> body = {1, 2, 0, 3, 24, 8, 0, 0, 0x0F, 0, 0, 0, 0x34, 0x12, 0x05, 0};
        if (m_knobs.chart) {
            body[4] = static_cast<uint8_t>(m_knobs.boundary);
            body[5] = static_cast<uint8_t>(m_knobs.boundary);
            body[14] = m_knobs.feeder ? 0x05 : 0x01;
        }
        queueResponse(kScan, code, 0x80, body, 0, m_knobs.oversizeResponse ? 193 : -1);
        break;
    }
    case 0x04: // feeder status: loaded (a chart scanner: empty once its sheets are used up)
        queueResponse(kScan, code, 0x80, {}, m_knobs.chart && m_sheetsLeft <= 0 ? 1 : 2);
        break;
    case 0x0A: // scan sizes: one size in the list
        queueResponse(kScan, code, 0x80, {1, 4});
        break;
    case 0x0F: // abort: no answer
        m_pending.clear();
        m_scanning = false;
        break;
    default:
        queueResponse(kScan, code, 0x81);
        break;
    }
}

bool EmulatedScanner::read(size_t length, std::vector<uint8_t> &out)
{
    if (m_pending.empty() && m_scanning && m_knobs.endless)
        queueEndlessChunk();
    if (m_pending.empty() && m_scanning && m_knobs.chart)
        queueNextChartPiece();
    if (m_pending.empty())
        return false;
    std::vector<uint8_t> &front = m_pending.front();
    size_t count = std::min(length, front.size());
    out.assign(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(count));
    if (count == front.size())
        m_pending.pop_front();
    else
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(count));
    return true;
}

void EmulatedScanner::reset()
{
    m_pending.clear();
    m_scanning = false;
}
