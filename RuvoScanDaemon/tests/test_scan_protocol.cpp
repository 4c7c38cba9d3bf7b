// Frames, the response flag table, scan records, string descriptors and the
// splitting of bulk transfers: the scanner protocol as bytes, no device.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "ruvo_usb.h"
#include "scan_log.h"
#include "scan_protocol.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

template <typename Array>
Bytes toBytes(const Array &array)
{
    return Bytes(array.begin(), array.end());
}

std::string hex(const Bytes &bytes)
{
    std::string text;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof(pair), "%02X ", byte);
        text += pair;
    }
    return text;
}

SettingInfo settings(uint8_t depth, int32_t compression, uint16_t dpi, bool feeder, uint8_t isClient)
{
    SettingInfo info{};
    info.bitDepth = depth;
    info.compType = compression;
    info.width = 2550;
    info.height = 3300;
    info.xStart = 10;
    info.yStart = 0x01020304;
    info.xResolution = dpi;
    info.yResolution = dpi;
    info.feederEnabled = feeder;
    info.isClient = isClient;
    info.BrightnessParam = 50;
    info.ContrastParam = 60;
    return info;
}

// The lock frame as the scanner expects it, written out field by field.
Bytes expectedLock(uint8_t depth, uint8_t mode, uint8_t level, uint16_t dpi, uint8_t source, uint8_t background,
                   uint8_t backgroundParam)
{
    Bytes frame = {0x1B, 0x53, 0x05, 0x00, 0x2F, 0x00, 0x80, 0x00, // header, 47 bytes follow
                   depth, mode, level, 0x03,                       // filter 3
                   0xF6, 0x09, 0x00, 0x00,                         // width 2550
                   0xE4, 0x0C, 0x00, 0x00,                         // height 3300
                   0x0A, 0x00, 0x00, 0x00,                         // x 10
                   0x04, 0x03, 0x02, 0x01,                         // y 0x01020304
                   static_cast<uint8_t>(dpi & 0xFF), static_cast<uint8_t>(dpi >> 8),
                   static_cast<uint8_t>(dpi & 0xFF), static_cast<uint8_t>(dpi >> 8),
                   source, 0x01, 0x00, 0x00, 0x00, // source, duplex 1, mirror, negative, dropout
                   0x00, 0x00, 0x00, 0x00,         // dropout colours and threshold
                   background, backgroundParam, 0x00, 0x00, // background removal, edit, descreen
                   50, 60,                          // brightness, contrast
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}; // offsets 47 to 54
    if (frame.size() != 55)
        std::fprintf(stderr, "  expected lock frame has %zu bytes\n", frame.size());
    return frame;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string logDirectory()
{
    static std::string directory = [] {
        std::string path = "/tmp/scan-protocol-logs";
        mkdir(path.c_str(), 0755);
        RuvoInitDbg(path.c_str());
        return path;
    }();
    return directory;
}

} // namespace

SCAN_TEST(lockFrameOneBitSendsNoCompression)
{
    SettingInfo info = settings(1, COMPRESSION_JPEG, 300, false, 0);
    CHECK_EQ(hex(toBytes(BuildLockFrame(info))), hex(expectedLock(1, 0, 0, 300, 1, 0, 0)));
}

SCAN_TEST(lockFrameEightBitCompressionOneAtLevel70)
{
    SettingInfo info = settings(8, COMPRESSION_WICKED, 1200, false, 0);
    // The flatbed keeps 1200 dpi.
    CHECK_EQ(hex(toBytes(BuildLockFrame(info))), hex(expectedLock(2, 1, 70, 1200, 1, 0, 0)));
}

SCAN_TEST(lockFrameFeederAt1200SendsSixHundred)
{
    SettingInfo info = settings(24, COMPRESSION_NONE, 1200, true, 1);
    CHECK_EQ(hex(toBytes(BuildLockFrame(info))), hex(expectedLock(3, 0, 0, 600, 3, 0, 0)));
}

SCAN_TEST(lockFrameSinglePageFeederWithBackgroundRemoval)
{
    SettingInfo info = settings(24, COMPRESSION_JPEG, 600, true, 0);
    info.backgroundRemoval = 5;
    info.backgroundRemovalParam = 7;
    CHECK_EQ(hex(toBytes(BuildLockFrame(info))), hex(expectedLock(3, 2, 70, 600, 4, 1, 7)));
}

SCAN_TEST(commandFramesCarryClassCodeAndRequestFlag)
{
    struct Row {
        uint8_t commandClass, code;
        Bytes expected;
    };
    const Row rows[] = {
        {0x53, 0x01, {0x1B, 0x53, 0x01, 0, 0, 0, 0x80, 0}}, // start
        {0x53, 0x0F, {0x1B, 0x53, 0x0F, 0, 0, 0, 0x80, 0}}, // abort
        {0x44, 0x04, {0x1B, 0x44, 0x04, 0, 0, 0, 0x80, 0}}, // power-on
    };
    for (const Row &row : rows)
        CHECK_EQ(hex(toBytes(BuildCommandFrame(row.commandClass, row.code))), hex(row.expected));
}

SCAN_TEST(flagTableByCommandType)
{
    logDirectory();
    struct Row {
        uint8_t flag;
        CommandType type;
        int expected;
    };
    const Row rows[] = {
        {0x80, CMD_TYPE_SCAN_LOCK, 0},
        {0x81, CMD_TYPE_SCAN_START, 9},
        {0x82, CMD_TYPE_SCAN_UNLOCK, 9},
        {0x83, CMD_TYPE_SCAN_START, 9},
        {0x84, CMD_TYPE_SCAN_ADF_STATUS, 9},
        {0x85, CMD_TYPE_SCAN_DEVICE_PROPERTIES, 9},
        {0x86, CMD_TYPE_SCAN_GET_SCAN_SIZES, 9},
        {0x87, CMD_TYPE_SCAN_LOCK, 0},           // unknown flags count as success
        {0x87, CMD_TYPE_SCAN_UNLOCK, 0},
        {0x88, CMD_TYPE_SCAN_LOCK, 3},           // already locked: busy
        {0x88, CMD_TYPE_SCAN_START, 9},          // parameter error
        {0x88, CMD_TYPE_SCAN_POWER_ON_COMMAND, 9},
        {0x88, CMD_TYPE_SCAN_UNLOCK, 9},         // not a flag of this command
        {0x89, CMD_TYPE_SCAN_LOCK, 9},           // not enough memory
        {0x89, CMD_TYPE_SCAN_START, 9},
        {0x00, CMD_TYPE_SCAN_START, 0},          // outside the table
        {0x8A, CMD_TYPE_SCAN_UNLOCK, 0},
        {0xFF, CMD_TYPE_SCAN_LOCK, 0},
    };
    for (const Row &row : rows) {
        int result = ConvertResponseFlagToErrorCode(row.flag, row.type);
        if (result != row.expected)
            std::fprintf(stderr, "  flag 0x%02x type %d\n", row.flag, row.type);
        CHECK_EQ(result, row.expected);
    }
}

SCAN_TEST(flagLogLinesNameTheFlag)
{
    std::string directory = logDirectory();
    ConvertResponseFlagToErrorCode(0x88, CMD_TYPE_SCAN_UNLOCK);
    ConvertResponseFlagToErrorCode(0x88, CMD_TYPE_SCAN_LOCK);
    ConvertResponseFlagToErrorCode(0x80, CMD_TYPE_SCAN_LOCK);
    std::string errors = readFile(directory + "/ruvo_scan_err.log");
    std::string infos = readFile(directory + "/ruvo_scan_info.log");
    CHECK(errors.find("[RuvoScanSDK] Response flag is unknown [0x88]\n") != std::string::npos);
    CHECK(errors.find("[RuvoScanSDK] Response: Lock could not be obtained - scanner resource is already locked\n") !=
          std::string::npos);
    CHECK(infos.find("[RuvoScanSDK] Response: Command was successfully executed\n") != std::string::npos);
    // Failures never reach the info log.
    CHECK(infos.find("already locked") == std::string::npos);
}

SCAN_TEST(responseDecoding)
{
    logDirectory();
    struct Row {
        const char *name;
        Bytes bytes;
        CommandType type;
        int expected;
    };
    const Row rows[] = {
        {"success", {0x1B, 0x53, 0x05, 0, 0, 0, 0x80, 0}, CMD_TYPE_SCAN_LOCK, 0},
        {"dataSize 192 fits", {0x1B, 0x53, 0x03, 0, 192, 0, 0x80, 0}, CMD_TYPE_SCAN_DEVICE_PROPERTIES, 0},
        {"dataSize 193 overflows", {0x1B, 0x53, 0x03, 0, 193, 0, 0x80, 0}, CMD_TYPE_SCAN_DEVICE_PROPERTIES, 10},
        {"dataSize high byte", {0x1B, 0x53, 0x03, 0, 0, 1, 0x80, 0}, CMD_TYPE_SCAN_DEVICE_PROPERTIES, 10},
        {"nothing came", {}, CMD_TYPE_SCAN_START, 3},
        {"short header, flag missing", {0x1B, 0x53}, CMD_TYPE_SCAN_START, 0},
    };
    for (const Row &row : rows) {
        int result = DecodeResponse(row.bytes.data(), static_cast<int>(row.bytes.size()), row.type);
        if (result != row.expected)
            std::fprintf(stderr, "  row %s\n", row.name);
        CHECK_EQ(result, row.expected);
    }
    CHECK_EQ(DecodeResponse(nullptr, -19, CMD_TYPE_SCAN_START), -19);
}

SCAN_TEST(scanRecordByStatus)
{
    struct Row {
        int status;
        int expected;
    };
    const Row rows[] = {{1, 5}, {2, 10}, {3, 2}, {4, 2}, {5, 6}, {6, 4}, {7, 0}, {8, 0}, {9, 0}, {10, 4}, {200, 4}};
    for (const Row &row : rows) {
        Bytes record = {0x1B, 0x53, 0x02, 0, 23, 0, 0x80, 0, static_cast<uint8_t>(row.status)};
        record.resize(31, 0);
        ScanRecordDecision decision = DecodeScanRecord(record.data(), static_cast<int>(record.size()));
        CHECK_EQ(static_cast<int>(decision.kind), static_cast<int>(ScanRecordDecision::Record));
        CHECK_EQ(decision.status, row.status);
        CHECK_EQ(decision.result, row.expected);
        CHECK(!decision.readImage);
    }
}

SCAN_TEST(scanRecordDataAndSpecialFrames)
{
    // 23 record bytes + 1000 image bytes
    Bytes data = {0x1B, 0x53, 0x02, 0, 0xFF, 0x03, 0x80, 0, 0};
    data.resize(31, 0);
    ScanRecordDecision decision = DecodeScanRecord(data.data(), 31);
    CHECK(decision.readImage);
    CHECK_EQ(decision.imageBytes, 1000);
    CHECK_EQ(decision.result, 0);

    // A data record too short to hold its own record bytes names no image.
    Bytes tooShort = {0x1B, 0x53, 0x02, 0, 22, 0, 0x80, 0, 0};
    decision = DecodeScanRecord(tooShort.data(), static_cast<int>(tooShort.size()));
    CHECK(!decision.readImage);
    CHECK_EQ(decision.result, 4);

    Bytes abortFrame = {0x1B, 0x53, 0x0F, 0, 0, 0, 0x80, 0};
    decision = DecodeScanRecord(abortFrame.data(), 8);
    CHECK_EQ(static_cast<int>(decision.kind), static_cast<int>(ScanRecordDecision::AbortFromDevice));
    CHECK_EQ(decision.result, 2);

    Bytes empty = {0x1B, 0x53, 0x02, 0, 0, 0, 0x80, 0, 9};
    decision = DecodeScanRecord(empty.data(), static_cast<int>(empty.size()));
    CHECK_EQ(static_cast<int>(decision.kind), static_cast<int>(ScanRecordDecision::Empty));
    CHECK_EQ(decision.result, 0);
}

SCAN_TEST(stringDescriptorDecoding)
{
    char text[64];
    // "Rü?" as UTF-16LE: R, u-umlaut (0x00FC: high byte 0, kept as its low byte), a CJK character.
    Bytes mixed = {10, 3, 'R', 0, 0xFC, 0x00, 0x2D, 0x4E, 'x', 0};
    CHECK_EQ(DecodeStringDescriptor(mixed.data(), 10, text, sizeof(text)), 4);
    CHECK_EQ(std::string(text), std::string("R\xFC?x"));

    Bytes serial = {8, 3, 'A', 0, 'B', 0, 'C', 0};
    CHECK_EQ(DecodeStringDescriptor(serial.data(), 8, text, 1), 0);
    CHECK_EQ(std::string(text), std::string(""));
    CHECK_EQ(DecodeStringDescriptor(serial.data(), 8, text, 3), 2);
    CHECK_EQ(std::string(text), std::string("AB"));
    // Not a string descriptor, and a descriptor cut short.
    Bytes device = {8, 1, 'A', 0, 'B', 0, 'C', 0};
    CHECK_EQ(DecodeStringDescriptor(device.data(), 8, text, sizeof(text)), -5);
    CHECK_EQ(DecodeStringDescriptor(serial.data(), 6, text, sizeof(text)), -27);
}

SCAN_TEST(bulkTransfersGoInPiecesOf512)
{
    std::vector<int> asked;
    auto full = [&](int, int length) {
        asked.push_back(length);
        return length;
    };
    auto present = [] { return 4; };
    CHECK_EQ(usb_bulk_pieces(0x82, 1000, full, present), 1000);
    CHECK_EQ(asked.size(), size_t(2));
    if (asked.size() == 2) {
        CHECK_EQ(asked[0], 512);
        CHECK_EQ(asked[1], 488);
    }

    // A short piece on IN ends the read; on OUT the transfer goes on.
    asked.clear();
    auto shortFirst = [&](int offset, int length) {
        asked.push_back(length);
        return offset == 0 ? 100 : length;
    };
    CHECK_EQ(usb_bulk_pieces(0x82, 1000, shortFirst, present), 100);
    CHECK_EQ(asked.size(), size_t(1));
    asked.clear();
    CHECK_EQ(usb_bulk_pieces(0x02, 1000, shortFirst, present), 100 + 512 + 388);
    CHECK_EQ(asked.size(), size_t(3));
}

SCAN_TEST(failedBulkPieceProbesTheDevice)
{
    logDirectory();
    int pieces = 0;
    auto failSecond = [&](int, int length) { return ++pieces == 2 ? -1 : length; };
    // Present device: 0, whatever was moved before.
    CHECK_EQ(usb_bulk_pieces(0x82, 1500, failSecond, [] { return 4; }), 0);
    pieces = 0;
    // Gone: the probe's own result.
    CHECK_EQ(usb_bulk_pieces(0x82, 1500, failSecond, [] { return -19; }), -19);
    std::string errors = readFile(logDirectory() + "/ruvo_scan_err.log");
    CHECK(errors.find("[RuvoScanSDK] ** ruvo_get_string ret:-19\n") != std::string::npos);
}

SCAN_TEST(bulkWriteRefusesMissingHandleOrBuffer)
{
    unsigned char bytes[8] = {};
    CHECK_EQ(ruvo_bulk_write(0, bytes, 8, 100), -1);
    CHECK_EQ(ruvo_bulk_write(5, nullptr, 8, 100), -1);
    CHECK_EQ(ruvo_bulk_read(-3, bytes, 8, 100), -1);
}

SCAN_TEST(wireFlagBytesHoldAnyValue)
{
    // A scanner or client may send any byte where a flag stands: it is read as
    // set, never as an invalid bool.
    std::vector<uint8_t> bytes(sizeof(ScannerCapabilities), 0);
    bytes[offsetof(ScannerCapabilities, duplex)] = 101;
    bytes[offsetof(ScannerCapabilities, profile)] = 0xFF;
    ScannerCapabilities capabilities;
    std::memcpy(&capabilities, bytes.data(), bytes.size());
    CHECK(capabilities.duplex != 0);
    CHECK(capabilities.profile != 0);
    CHECK(capabilities.color == 0);
    bool duplex = capabilities.duplex;
    CHECK(duplex);
}
