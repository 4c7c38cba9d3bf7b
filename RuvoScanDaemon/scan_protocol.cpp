#include "scan_protocol.h"

#include "ruvo_usb.h"
#include "scan_log.h"

#include <cstring>
#include <new>

namespace {

constexpr int kRequestTimeoutMs = 5000;
constexpr int kResponseTimeoutMs = 5000;
constexpr int kFeederTimeoutMs = 15000;
constexpr int kDataTimeoutMs = 30000;
constexpr int kDataReadAttempts = 10;

// One per process: each forked process has its own copy.
uint8_t m_ResComBuf[kResponseBufferSize];

uint16_t headerDataSize(const uint8_t *bytes)
{
    return static_cast<uint16_t>(bytes[4] | (bytes[5] << 8));
}

bool frameIs(const uint8_t *bytes, int received, uint8_t commandClass, uint8_t commandCode)
{
    return received >= 3 && bytes[0] == kFrameStart && bytes[1] == commandClass && bytes[2] == commandCode;
}

int readResponse(int handle, int timeout)
{
    std::memset(m_ResComBuf, 0, sizeof(m_ResComBuf));
    return ruvo_bulk_read(handle, m_ResComBuf, sizeof(m_ResComBuf), timeout);
}

void logHeader(int number)
{
    RuvoInfoLog("Header type(#%d): cmdStart[0x%02X] cmdClass[0x%02X] cmdCode[0x%02X]", number, m_ResComBuf[0],
                m_ResComBuf[1], m_ResComBuf[2]);
}

int readAgain(int handle, int &received)
{
    received = readResponse(handle, kResponseTimeoutMs);
    if (received > 0)
        logHeader(2);
    else
        RuvoInfoLog("ResponseScanner(ResCommon) #2 failed. ");
    return received;
}

int simpleCommand(int handle, uint8_t commandClass, uint8_t commandCode, CommandType type)
{
    auto frame = BuildCommandFrame(commandClass, commandCode);
    int result = RequestScanner(handle, frame.data(), static_cast<int>(frame.size()));
    if (result == 0)
        result = ResponseScanner(handle, type);
    return result;
}

} // namespace

std::array<uint8_t, sizeof(ReqCommon)> BuildCommandFrame(uint8_t commandClass, uint8_t commandCode)
{
    return {kFrameStart, commandClass, commandCode, 0, 0, 0, kRequestFlags, 0};
}

std::array<uint8_t, kLockFrameSize> BuildLockFrame(const SettingInfo &settings)
{
    ReqScanLock lock;
    std::memset(&lock, 0, sizeof(lock));
    lock.header = {kFrameStart, kClassScan, kCodeLock, 0, static_cast<uint16_t>(kLockFrameSize - sizeof(ReqCommon)),
                   kRequestFlags, 0};
    if (settings.bitDepth == 1)
        lock.depth = 1;
    else if (settings.bitDepth == 8)
        lock.depth = 2;
    else
        lock.depth = 3;
    if (settings.bitDepth != 1) {
        lock.compressionMode = static_cast<uint8_t>(settings.compType & 0xFF);
        lock.compressionLevel = (settings.compType == COMPRESSION_WICKED || settings.compType == COMPRESSION_JPEG) ? 70 : 0;
    }
    lock.filter = 3;
    lock.width = settings.width;
    lock.height = settings.height;
    lock.xOffset = settings.xStart;
    lock.yOffset = settings.yStart;
    // The feeder scans at most 600 dpi; the device refuses 1200 from it.
    bool feederAt1200 = settings.feederEnabled && settings.xResolution == 1200;
    lock.xResolution = feederAt1200 ? 600 : settings.xResolution;
    lock.yResolution = feederAt1200 ? 600 : settings.yResolution;
    if (settings.feederEnabled)
        lock.scanSource = settings.isClient != 0 ? SCAN_SOURCE_ADF_MULTI_PAGE : SCAN_SOURCE_ADF_SINGLE_PAGE;
    else
        lock.scanSource = SCAN_SOURCE_FLATBED_SINGLE_PAGE;
    lock.duplex = 1;
    lock.backgroundRemoval = settings.backgroundRemoval != 0;
    lock.backgroundRemovalParam = settings.backgroundRemovalParam;
    lock.brightness = settings.BrightnessParam;
    lock.contrast = settings.ContrastParam;
    std::array<uint8_t, kLockFrameSize> frame;
    std::memcpy(frame.data(), &lock, kLockFrameSize);
    return frame;
}

int ConvertResponseFlagToErrorCode(uint8_t flag, CommandType type)
{
    switch (flag) {
    case 0x80:
        RuvoInfoLog("Response: Command was successfully executed");
        return ruvo_wire::RESULT_GOOD;
    case 0x81:
        RuvoErrLog("Response: Command is invalid or not supported");
        return ruvo_wire::RESULT_IO_ERROR;
    case 0x82:
        RuvoErrLog("Response: Command execution has failed");
        return ruvo_wire::RESULT_IO_ERROR;
    case 0x83:
        RuvoErrLog("Response: Lock required to execute command");
        return ruvo_wire::RESULT_IO_ERROR;
    case 0x84:
        RuvoErrLog("Response: Device is currently powered off");
        return ruvo_wire::RESULT_IO_ERROR;
    case 0x85:
        RuvoErrLog("Response: Catastrophic error");
        return ruvo_wire::RESULT_IO_ERROR;
    case 0x86:
        RuvoErrLog("Response: Communication error (Host software use only. Printer will not send this error code.)");
        return ruvo_wire::RESULT_IO_ERROR;
    case 0x88:
        if (type == CMD_TYPE_SCAN_START || type == CMD_TYPE_SCAN_POWER_ON_COMMAND) {
            RuvoErrLog("Response: Invalid scan request - parameter error");
            return ruvo_wire::RESULT_IO_ERROR;
        }
        if (type == CMD_TYPE_SCAN_LOCK) {
            RuvoErrLog("Response: Lock could not be obtained - scanner resource is already locked");
            return ruvo_wire::RESULT_BUSY;
        }
        RuvoErrLog("Response flag is unknown [0x%02x]", flag);
        return ruvo_wire::RESULT_IO_ERROR;
    case 0x89:
        if (type == CMD_TYPE_SCAN_LOCK) {
            RuvoErrLog("Response: Lock could not be obtained because device doesn't have enough memory to perform scan");
            return ruvo_wire::RESULT_IO_ERROR;
        }
        RuvoErrLog("Response flag is unknown [0x%02x]", flag);
        return ruvo_wire::RESULT_IO_ERROR;
    default:
        // Flags this host does not know are taken as success: newer firmware
        // adds informational flags to answers that did succeed.
        RuvoErrLog("Response flag is unknown [0x%02x]", flag);
        return ruvo_wire::RESULT_GOOD;
    }
}

bool IsScanRecordFrame(const uint8_t *bytes, int received)
{
    return frameIs(bytes, received, kClassScan, kCodeScanRecord);
}

bool IsAbortFrame(const uint8_t *bytes, int received)
{
    return frameIs(bytes, received, kClassScan, kCodeAbort);
}

int DecodeResponse(const uint8_t *bytes, int received, CommandType type)
{
    if (received == 0)
        return ruvo_wire::RESULT_BUSY;
    if (received < 0)
        return received;
    // A header cut short leaves the rest of the (cleared) buffer as zeros.
    uint8_t header[sizeof(ReqCommon)] = {};
    std::memcpy(header, bytes, received < static_cast<int>(sizeof(header)) ? static_cast<size_t>(received) : sizeof(header));
    int dataSize = headerDataSize(header);
    if (dataSize != 0 && dataSize + 8 > kResponseBufferSize) {
        RuvoErrLog("m_ResComBuf is too small. needed = %d", dataSize + 8);
        return ruvo_wire::RESULT_NO_MEMORY;
    }
    RuvoInfoLog("  ** readSize = %d", dataSize + 8);
    return ConvertResponseFlagToErrorCode(header[6], type);
}

int RequestScanner(int handle, const uint8_t *frame, int length)
{
    RuvoInfoLog("[enter] request size = %d", length);
    int written = ruvo_bulk_write(handle, frame, length, kRequestTimeoutMs);
    int result = ruvo_wire::RESULT_GOOD;
    if (written == -1 || written < 0) {
        RuvoErrLog("RequestScanner failed.");
        result = ruvo_wire::RESULT_IO_ERROR;
    } else if (written == 0) {
        RuvoErrLog("RequestScanner failed.");
        result = ruvo_wire::RESULT_BUSY;
    }
    RuvoInfoLog("[exit] nRet[0x%08x]", result);
    return result;
}

int ResponseScanner(int handle, CommandType type)
{
    int received = readResponse(handle, type == CMD_TYPE_SCAN_ADF_STATUS ? kFeederTimeoutMs : kResponseTimeoutMs);
    if (received > 0)
        logHeader(1);
    // Records of a scan still running in the device come before the answer.
    while (received > 0 && IsScanRecordFrame(m_ResComBuf, received)) {
        RuvoInfoLog("ScanRecord Response recieve. Retry read.");
        readAgain(handle, received);
    }
    if (received > 0 && IsAbortFrame(m_ResComBuf, received)) {
        RuvoInfoLog("ScanAbort Response recieve. Retry read.");
        readAgain(handle, received);
    }
    int result;
    if (received <= 0) {
        RuvoInfoLog("ResponseScanner(ResCommon) #1 failed. ");
        result = received == 0 ? ruvo_wire::RESULT_BUSY : received;
    } else {
        result = DecodeResponse(m_ResComBuf, received, type);
    }
    RuvoInfoLog("[exit] nRet[0x%08x]", result);
    return result;
}

int ReadWithRetry(int handle, uint8_t *buffer, int count)
{
    if (count <= 0)
        return ruvo_wire::RESULT_GOOD;
    int done = 0;
    for (int attempt = 0; attempt < kDataReadAttempts; ++attempt) {
        int got = ruvo_bulk_read(handle, buffer + done, count - done, kDataTimeoutMs);
        if (got > 0)
            done += got;
        if (done >= count)
            return ruvo_wire::RESULT_GOOD;
    }
    RuvoErrLog("ReadWithRetry failed.");
    return ruvo_wire::RESULT_IO_ERROR;
}

ScanRecordDecision DecodeScanRecord(const uint8_t *bytes, int received)
{
    ScanRecordDecision decision;
    if (IsAbortFrame(bytes, received)) {
        decision.kind = ScanRecordDecision::AbortFromDevice;
        decision.result = ruvo_wire::RESULT_CANCELLED;
        return decision;
    }
    int dataSize = received >= 6 ? headerDataSize(bytes) : 0;
    if (dataSize == 0) {
        decision.kind = ScanRecordDecision::Empty;
        decision.result = ruvo_wire::RESULT_GOOD;
        return decision;
    }
    decision.kind = ScanRecordDecision::Record;
    decision.status = received > 8 ? bytes[8] : 0;
    switch (decision.status) {
    case SCAN_STATUS_OPERATION_CONTINUOUS:
        // A data record too short to hold its own record bytes names no image.
        if (dataSize < kScanRecordBytes) {
            decision.result = ruvo_wire::RESULT_INVALID;
        } else {
            decision.imageBytes = dataSize - kScanRecordBytes;
            decision.readImage = true;
            decision.result = ruvo_wire::RESULT_GOOD;
        }
        break;
    case SCAN_STATUS_END_OF_DATA:
        decision.result = ruvo_wire::RESULT_END_OF_SCAN;
        break;
    case SCAN_STATUS_ABORTED_OUT_OF_MEMORY:
        decision.result = ruvo_wire::RESULT_NO_MEMORY;
        break;
    case SCAN_STATUS_ABORTED_BY_REQUEST:
    case SCAN_STATUS_ABORTED_BY_DEVICE:
        decision.result = ruvo_wire::RESULT_CANCELLED;
        break;
    case SCAN_STATUS_ABORTED_PAPER_JAM:
        decision.result = ruvo_wire::RESULT_JAMMED;
        break;
    case SCAN_STATUS_END_OF_PAGE:
    case SCAN_STATUS_BEGIN_OF_SCAN:
    case SCAN_STATUS_BEGIN_OF_PAGE:
        decision.result = ruvo_wire::RESULT_GOOD;
        break;
    default:
        decision.result = ruvo_wire::RESULT_INVALID;
        break;
    }
    return decision;
}

int ScanRecord(int handle, int32_t *status, std::vector<uint8_t> &buffer, uint16_t *readSize)
{
    RuvoInfoLog("** %s", "ScanRecord");
    uint8_t record[kRecordBufferSize] = {};
    int received = ruvo_bulk_read(handle, record, kResponseBufferSize, kDataTimeoutMs);
    if (received < 0) {
        RuvoErrLog("ScanRecord(ResCommon) failed. ");
        return ruvo_wire::RESULT_IO_ERROR;
    }
    ScanRecordDecision decision = DecodeScanRecord(record, received);
    if (decision.kind == ScanRecordDecision::AbortFromDevice) {
        RuvoInfoLog("ScanAbort Command from Device.");
        return decision.result;
    }
    if (decision.kind == ScanRecordDecision::Empty) {
        // Nothing within the record timeout from a device that still answers:
        // a scan cannot go on without records, so end it instead of polling for ever.
        if (received == 0) {
            RuvoErrLog("ScanRecord(ResCommon) failed. ");
            return ruvo_wire::RESULT_IO_ERROR;
        }
        RuvoInfoLog("[exit] nRet[0x%08x]", decision.result);
        return decision.result;
    }
    RuvoInfoLog("  ** status = %d, resCmd.dataSize = %d", decision.status, headerDataSize(record));
    *status = decision.status;
    int result = decision.result;
    if (decision.readImage) {
        size_t needed = static_cast<size_t>(decision.imageBytes);
        if (buffer.size() < needed) {
            try {
                buffer.resize(needed);
            } catch (const std::bad_alloc &) {
                RuvoErrLog("resize scan data buffer err");
                RuvoInfoLog("[exit] nRet[0x%08x]", ruvo_wire::RESULT_NO_MEMORY);
                return ruvo_wire::RESULT_NO_MEMORY;
            }
        }
        result = ReadWithRetry(handle, buffer.data(), decision.imageBytes);
        *readSize = static_cast<uint16_t>(decision.imageBytes);
        RuvoInfoLog("  ** exist scan data : readSize = %d", decision.imageBytes);
    }
    RuvoInfoLog("[exit] nRet[0x%08x]", result);
    return result;
}

int ScanLock(int handle, const SettingInfo &settings)
{
    RuvoInfoLog("** %s", "ScanLock");
    RuvoInfoLog("x:%d y:%d width:%d height:%d dpi:%d depth:%d", settings.xStart, settings.yStart, settings.width,
                settings.height, settings.xResolution, settings.bitDepth);
    auto frame = BuildLockFrame(settings);
    int result = RequestScanner(handle, frame.data(), static_cast<int>(frame.size()));
    if (result == 0)
        result = ResponseScanner(handle, CMD_TYPE_SCAN_LOCK);
    return result;
}

int ScanStart(int handle)
{
    RuvoInfoLog("** %s", "ScanStart");
    return simpleCommand(handle, kClassScan, kCodeScanStart, CMD_TYPE_SCAN_START);
}

int ScanUnlock(int handle)
{
    RuvoInfoLog("** %s", "ScanUnlock");
    return simpleCommand(handle, kClassScan, kCodeUnlock, CMD_TYPE_SCAN_UNLOCK);
}

int ScanGetScanSizes(int handle)
{
    RuvoInfoLog("** %s", "ScanGetScanSizes");
    return simpleCommand(handle, kClassScan, kCodeGetScanSizes, CMD_TYPE_SCAN_GET_SCAN_SIZES);
}

int ScanPowerOn(int handle)
{
    RuvoInfoLog("** %s", "ScanPowerOn");
    int result = simpleCommand(handle, kClassPower, kCodePowerOn, CMD_TYPE_SCAN_POWER_ON_COMMAND);
    if (result == 0)
        RuvoInfoLog("ScanPowerOn Sleep: %d seconds for the scanner to warm prior to scanning.", m_ResComBuf[8]);
    return result;
}

int ScanADFStatus(int handle, int32_t *status)
{
    RuvoInfoLog("** %s", "ScanADFStatus");
    int result = simpleCommand(handle, kClassScan, kCodeAdfStatus, CMD_TYPE_SCAN_ADF_STATUS);
    if (result == 0 && status)
        *status = m_ResComBuf[7];
    return result;
}

int ScanDeviceProperties(int handle, ResScanDeviceProperties *properties)
{
    RuvoInfoLog("** %s", "ScanDeviceProperties");
    int result = simpleCommand(handle, kClassScan, kCodeDeviceProperties, CMD_TYPE_SCAN_DEVICE_PROPERTIES);
    if (result == 0 && properties)
        std::memcpy(properties, m_ResComBuf, sizeof(ResScanDeviceProperties));
    return result;
}

int ScanAbort(int handle)
{
    RuvoInfoLog("** %s", "ScanAbort");
    auto frame = BuildCommandFrame(kClassScan, kCodeAbort);
    int result = RequestScanner(handle, frame.data(), static_cast<int>(frame.size()));
    // The device drops its scan state only on a reset; no answer comes to the abort.
    ruvo_reset_device(handle);
    return result;
}

const uint8_t *ResponseBuffer()
{
    return m_ResComBuf;
}
