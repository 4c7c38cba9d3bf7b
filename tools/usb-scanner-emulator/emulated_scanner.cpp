#include "emulated_scanner.h"

#include <cstdio>
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
        queueResponse(kScan, code, m_knobs.unknownFlag ? 0x87 : 0x80);
        break;
    case 0x01: // start
        if (!m_locked) {
            queueResponse(kScan, code, 0x83);
            break;
        }
        queueResponse(kScan, code, 0x80);
        queueScan();
        break;
    case 0x03: { // properties
        std::vector<uint8_t> body = {1, 2, 0, 3, 24, 8, 0, 0, 0x0F, 0, 0, 0, 0x34, 0x12, 0x05, 0};
        queueResponse(kScan, code, 0x80, body, 0, m_knobs.oversizeResponse ? 193 : -1);
        break;
    }
    case 0x04: // feeder status: loaded
        queueResponse(kScan, code, 0x80, {}, 2);
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
