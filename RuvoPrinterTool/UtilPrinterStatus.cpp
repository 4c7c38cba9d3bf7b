#include "UtilPrinterStatus.h"

#include <cstring>

namespace {

// Walks the reply; every read checks first that the field ends inside it.
class ReplyCursor
{
public:
    ReplyCursor(const unsigned char *bytes, unsigned long length) : m_bytes(bytes), m_length(length) {}

    // Copies `width` bytes into `target` (which holds at least width + 1 bytes).
    bool Take(unsigned long width, unsigned char *target)
    {
        if (width > m_length - m_position)
            return false;
        if (width > 0)
            std::memcpy(target, m_bytes + m_position, width);
        m_position += width;
        return true;
    }
    // A counted field of `lengthWidth` bytes: the count's raw bytes and number.
    bool TakeNumber(unsigned long width, unsigned char *raw, quint64 &number)
    {
        if (!Take(width, raw))
            return false;
        number = UtilPrinterStatus::byteToDWORD(raw, width);
        return true;
    }
    // A text of `length` bytes into a zero-filled buffer of `capacity` bytes.
    bool TakeText(quint64 length, unsigned char *buffer, unsigned long capacity)
    {
        if (length >= capacity)
            return false; // the buffer keeps a terminating zero
        return Take(static_cast<unsigned long>(length), buffer);
    }
    const unsigned char *Here() const { return m_bytes + m_position; }

private:
    const unsigned char *m_bytes;
    unsigned long m_length;
    unsigned long m_position = 0;
};

void StoreSupply(unsigned char *raw, unsigned long capacity, const unsigned char *value, unsigned long length,
                 quint64 *number)
{
    // A repeated tag replaces the earlier value whole.
    std::memset(raw, 0, capacity);
    std::memcpy(raw, value, qMin(length, capacity - 1));
    if (number)
        *number = length == 0 ? 0 : UtilPrinterStatus::byteToDWORD(value, length);
}

} // namespace

UtilPrinterStatus::UtilPrinterStatus()
{
    // Every member but the two code arrays is plain data; zero it field by field
    // through one helper so a new member cannot be forgotten here silently.
    auto zero = [](auto &member) { std::memset(&member, 0, sizeof member); };
    zero(m_ucHeader); zero(m_ucReserved7); zero(m_ucReserved8); zero(m_ucReserved10);
    zero(m_ucVendorLength); zero(m_ucProductLength); zero(m_ucSerialLength);
    zero(m_ucReservedAfterSerial); zero(m_ucStatus); zero(m_ucFWVersionLength);
    zero(m_ucFifthLength); zero(m_ucErrorCount); zero(m_ucWarningCount);
    zero(m_ucReservedByte); zero(m_ucReservedWord1); zero(m_ucReservedWord2); zero(m_ucSupplyCount);
    zero(m_dwVendorLength); zero(m_dwProductLength); zero(m_dwSerialLength); zero(m_dwStatus);
    zero(m_dwFWVersionLength); zero(m_dwFifthLength); zero(m_dwErrorCount); zero(m_dwWarningCount);
    zero(m_dwSupplyCount);
    zero(m_szVendorName); zero(m_szProductName); zero(m_szSerialNumber); zero(m_szFWVersion);
    zero(m_szFifthText);
    zero(m_ucSupplySerialNumber); zero(m_ucSupplyType); zero(m_ucRemainingToner); zero(m_ucWasteToner);
    zero(m_ucOPCRotation); zero(m_ucNumberOfPages); zero(m_ucNumberOfPrint); zero(m_ucPrintDotsCount);
    zero(m_ucPrinterNumOfPages); zero(m_ucPrinterNumOfPrint);
    zero(m_dwSupplyType); zero(m_dwRemainingToner); zero(m_dwWasteToner); zero(m_dwOPCRotation);
    zero(m_dwNumberOfPages); zero(m_dwNumberOfPrint); zero(m_dwPrintDotsCount);
    zero(m_dwPrinterNumOfPages); zero(m_dwPrinterNumOfPrint);
}

unsigned long UtilPrinterStatus::byteToDWORD(const unsigned char *bytes, unsigned long count)
{
    if (count < 2 || count > 4)
        return count == 0 ? 0 : bytes[0];
    unsigned long value = 0;
    for (unsigned long i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

void UtilPrinterStatus::setSuppliesData(unsigned long tag, const unsigned char *value, unsigned long length)
{
    switch (tag) {
    case 0x0000: StoreSupply(m_ucSupplySerialNumber, sizeof m_ucSupplySerialNumber, value, length, nullptr); break;
    case 0x0001: StoreSupply(m_ucSupplyType, sizeof m_ucSupplyType, value, length, &m_dwSupplyType); break;
    case 0x1000: StoreSupply(m_ucRemainingToner, sizeof m_ucRemainingToner, value, length, &m_dwRemainingToner); break;
    case 0x1001: StoreSupply(m_ucWasteToner, sizeof m_ucWasteToner, value, length, &m_dwWasteToner); break;
    case 0x1002: StoreSupply(m_ucOPCRotation, sizeof m_ucOPCRotation, value, length, &m_dwOPCRotation); break;
    case 0x1003: StoreSupply(m_ucNumberOfPages, sizeof m_ucNumberOfPages, value, length, &m_dwNumberOfPages); break;
    case 0x1004: StoreSupply(m_ucNumberOfPrint, sizeof m_ucNumberOfPrint, value, length, &m_dwNumberOfPrint); break;
    case 0x1100: StoreSupply(m_ucPrintDotsCount, sizeof m_ucPrintDotsCount, value, length, &m_dwPrintDotsCount); break;
    case 0x1101: StoreSupply(m_ucPrinterNumOfPages, sizeof m_ucPrinterNumOfPages, value, length, &m_dwPrinterNumOfPages); break;
    case 0x1102: StoreSupply(m_ucPrinterNumOfPrint, sizeof m_ucPrinterNumOfPrint, value, length, &m_dwPrinterNumOfPrint); break;
    default: break;
    }
}

bool UtilPrinterStatus::parseRecvBuf(const unsigned char *reply, unsigned long length)
{
    if (!reply)
        return false;
    ReplyCursor cursor(reply, length);
    if (!cursor.Take(7, m_ucHeader) || !cursor.Take(1, m_ucReserved7) || !cursor.Take(2, m_ucReserved8)
        || !cursor.Take(2, m_ucReserved10))
        return false;

    if (!cursor.TakeNumber(2, m_ucVendorLength, m_dwVendorLength)
        || !cursor.TakeText(m_dwVendorLength, m_szVendorName, kTextCapacity)
        || !cursor.TakeNumber(2, m_ucProductLength, m_dwProductLength)
        || !cursor.TakeText(m_dwProductLength, m_szProductName, kTextCapacity)
        || !cursor.TakeNumber(2, m_ucSerialLength, m_dwSerialLength)
        || !cursor.TakeText(m_dwSerialLength, m_szSerialNumber, kTextCapacity))
        return false;

    if (!cursor.Take(2, m_ucReservedAfterSerial) || !cursor.TakeNumber(1, m_ucStatus, m_dwStatus)
        || !cursor.TakeNumber(1, m_ucFWVersionLength, m_dwFWVersionLength)
        || !cursor.TakeText(m_dwFWVersionLength, m_szFWVersion, kTextCapacity)
        || !cursor.TakeNumber(1, m_ucFifthLength, m_dwFifthLength)
        || !cursor.TakeText(m_dwFifthLength, m_szFifthText, kTextCapacity))
        return false;

    unsigned char code[3] = {};
    if (!cursor.TakeNumber(1, m_ucErrorCount, m_dwErrorCount))
        return false;
    for (quint64 i = 0; i < m_dwErrorCount; ++i) {
        quint64 value = 0;
        if (!cursor.TakeNumber(2, code, value))
            return false;
        m_vecErrorCodes.append(value);
    }
    if (!cursor.TakeNumber(1, m_ucWarningCount, m_dwWarningCount))
        return false;
    for (quint64 i = 0; i < m_dwWarningCount; ++i) {
        quint64 value = 0;
        if (!cursor.TakeNumber(2, code, value))
            return false;
        m_vecWarningCodes.append(value);
    }

    if (!cursor.Take(1, m_ucReservedByte) || !cursor.Take(2, m_ucReservedWord1)
        || !cursor.Take(2, m_ucReservedWord2) || !cursor.TakeNumber(1, m_ucSupplyCount, m_dwSupplyCount))
        return false;

    unsigned char scratch[kSupplyCapacity] = {};
    for (quint64 i = 0; i < m_dwSupplyCount; ++i) {
        unsigned char tagBytes[3] = {};
        unsigned char lengthByte[2] = {};
        quint64 tag = 0;
        quint64 valueLength = 0;
        if (!cursor.TakeNumber(2, tagBytes, tag) || !cursor.TakeNumber(1, lengthByte, valueLength)
            || !cursor.TakeText(valueLength, scratch, kSupplyCapacity))
            return false;
        setSuppliesData(static_cast<unsigned long>(tag), scratch, static_cast<unsigned long>(valueLength));
    }
    return true;
}

QString UtilPrinterStatus::TextOf(const unsigned char *buffer)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(buffer));
}

int GetPrinterStatusEnum(unsigned long statusByte)
{
    switch (statusByte) {
    case 0x00: return PrinterStatusReady;
    case 0x01: return PrinterStatusInitialize;
    case 0x02: return PrinterStatusBusy;
    case 0x03: return PrinterStatusCancelingJob;
    case 0x10: return PrinterStatusPrinting;
    case 0x11: return PrinterStatusScanning;
    case 0x12: return PrinterStatusCopying;
    case 0x13: return PrinterStatusReporting;
    default: return PrinterStatusUnknown;
    }
}

namespace {

struct stErrorRange {
    unsigned long first;
    unsigned long last;
    enErrorStatus value;
};

// Inclusive ranges; codes in the gaps between them map to ErrorUnknown.
constexpr stErrorRange c_stErrorRanges[] = {
    {0x0100, 0x0101, ErrorPrinterBreakdown},
    {0x0110, 0x0110, ErrorInitialSetup},
    {0x0200, 0x0200, ErrorPrinterBreakdown},
    {0x0202, 0x0202, ErrorPrinterBreakdown},
    {0x1106, 0x1106, ErrorFrontCoverOpen},
    {0x1108, 0x1108, ErrorPrinterBreakdown},
    {0x1109, 0x110C, ErrorCartridge},
    {0x110D, 0x110D, ErrorTonerLow},
    {0x110E, 0x110E, ErrorTonerEmptyLowQuality},
    {0x110F, 0x110F, ErrorTonerEmptyReplace},
    {0x1110, 0x1110, ErrorNoCartridge},
    {0x1111, 0x1111, ErrorWasteTonerFull},
    {0x1112, 0x1114, ErrorCartridgePageLimitReached},
    {0x1115, 0x1115, ErrorDesignLifeExceeded},
    {0x1121, 0x1121, ErrorWasteTonerWillBeFull},
    {0x1122, 0x1122, ErrorCartridgePagesNearLimit},
    {0x1123, 0x1123, ErrorTonerEmptyLowQuality},
    {0x1124, 0x1124, ErrorCartridgePagesNearLimit},
    {0x1125, 0x1125, ErrorWasteTonerFull},
    {0x1126, 0x1126, ErrorDesignLifeNear},
    {0x1127, 0x1127, ErrorDesignLifeExceeded},
    {0x1128, 0x1129, ErrorDesignLifeNear},
    {0x112F, 0x112F, ErrorTonerEmptyLowQuality},
    {0x1130, 0x1130, ErrorMemoryOverflow},
    {0x1132, 0x1132, ErrorInvalidSetting},
    {0x1133, 0x1133, ErrorTrayMismatch},
    {0x1140, 0x1140, ErrorCooling},
    {0x11A0, 0x11A0, ErrorPaperTrayEmpty},
    {0x11A1, 0x11A1, ErrorManualFeederNoPaper},
    {0x11A2, 0x11A2, ErrorManualFeederStop},
    {0x11B0, 0x11B8, ErrorPaperJamInside},
    {0x11C0, 0x11C6, ErrorPaperJamInTray},
    {0x11D0, 0x11D6, ErrorPaperJamRear},
    {0x11E0, 0x11E3, ErrorPaperSizeMismatch},
    {0x11EA, 0x11EA, ErrorTonerRunningOut},
    {0x11EE, 0x11EF, ErrorTonerEmptyLowQuality},
    {0x1200, 0x1200, ErrorFixer},
    {0x1201, 0x1202, ErrorPrinterBreakdown},
    {0x1203, 0x1203, ErrorLaserDamage},
    {0x1204, 0x1207, ErrorPrinterBreakdown},
    {0x1209, 0x120B, ErrorPrinterBreakdown},
    {0x1211, 0x1211, ErrorPrinterBreakdown},
    {0x1212, 0x1212, ErrorHighTemperature},
    {0x1213, 0x121F, ErrorPrinterBreakdown},
    {0x2100, 0x2100, ErrorAdfPaperJam},
    {0x2102, 0x2102, ErrorAdfNoPaper},
    {0x2103, 0x2103, ErrorAdfFeedFailed},
    {0x2200, 0x2200, ErrorNoScanner},
    {0x4100, 0x4100, ErrorScannerBreakdown},
    {0x4200, 0x4201, ErrorScannerBreakdown},
    {0x4210, 0x4210, ErrorScannerBreakdown},
    {0x4211, 0x4211, ErrorTabletScan},
    {0x4212, 0x4212, ErrorScannerBreakdown},
    {0x4213, 0x4213, ErrorAdfScanWithoutPaper},
    {0x4214, 0x4214, ErrorFileSizeLimit},
    {0x4F00, 0x4F00, ErrorScannerBreakdown},
    {0xE100, 0xE100, ErrorIpSettings},
};

} // namespace

enErrorStatus GetErrorStatusEnum(unsigned long deviceCode)
{
    for (const stErrorRange &range : c_stErrorRanges) {
        if (deviceCode >= range.first && deviceCode <= range.last)
            return range.value;
    }
    return ErrorUnknown;
}

int GetTonerTypeEnum(unsigned long)
{
    return 0;
}

bool BuildPrinterState(const QByteArray &reply, stPrinterState &state)
{
    UtilPrinterStatus decoder;
    if (!decoder.parseRecvBuf(reinterpret_cast<const unsigned char *>(reply.constData()),
                              static_cast<unsigned long>(reply.size())))
        return false;

    stPrinterState decoded;
    decoded.strPrinterSerialNumber = UtilPrinterStatus::TextOf(decoder.m_szSerialNumber);
    decoded.enCurrentStatus = GetPrinterStatusEnum(static_cast<unsigned long>(decoder.m_dwStatus));
    decoded.strFWVersion = UtilPrinterStatus::TextOf(decoder.m_szFWVersion);
    decoded.strVenderName = UtilPrinterStatus::TextOf(decoder.m_szVendorName);
    decoded.strProductName = UtilPrinterStatus::TextOf(decoder.m_szProductName);
    decoded.iNumberOfError = static_cast<int>(decoder.m_dwErrorCount);
    decoded.iNumberOfWarning = static_cast<int>(decoder.m_dwWarningCount);
    for (quint64 code : decoder.m_vecErrorCodes)
        decoded.listError.append(GetErrorStatusEnum(static_cast<unsigned long>(code)));
    for (quint64 code : decoder.m_vecWarningCodes)
        decoded.listWarning.append(GetErrorStatusEnum(static_cast<unsigned long>(code)));
    decoded.strSupplySerialNumber = UtilPrinterStatus::TextOf(decoder.m_ucSupplySerialNumber);
    decoded.enSpplyType = GetTonerTypeEnum(static_cast<unsigned long>(decoder.m_dwSupplyType));
    decoded.dwRemainingToner = decoder.m_dwRemainingToner;
    decoded.dwWasteToner = decoder.m_dwWasteToner;
    decoded.dwOPCRotation = decoder.m_dwOPCRotation;
    decoded.dwNumberOfPages = decoder.m_dwNumberOfPages;
    decoded.dwNumberOfPrint = decoder.m_dwNumberOfPrint;
    decoded.dwPrintDotsCount = decoder.m_dwPrintDotsCount;
    decoded.dwPrinterNumOfPages = decoder.m_dwPrinterNumOfPages;
    decoded.dwPrinterNumOfPrint = decoder.m_dwPrinterNumOfPrint;
    decoded.iReadFailCount = 0;
    state = decoded;
    return true;
}

bool operator==(const stPrinterState &a, const stPrinterState &b)
{
    return a.strPrinterSerialNumber == b.strPrinterSerialNumber && a.enCurrentStatus == b.enCurrentStatus
           && a.strFWVersion == b.strFWVersion && a.strVenderName == b.strVenderName
           && a.strProductName == b.strProductName && a.iNumberOfError == b.iNumberOfError
           && a.iNumberOfWarning == b.iNumberOfWarning && a.listError == b.listError
           && a.listWarning == b.listWarning && a.strSupplySerialNumber == b.strSupplySerialNumber
           && a.enSpplyType == b.enSpplyType && a.dwRemainingToner == b.dwRemainingToner
           && a.dwWasteToner == b.dwWasteToner && a.dwOPCRotation == b.dwOPCRotation
           && a.dwNumberOfPages == b.dwNumberOfPages && a.dwNumberOfPrint == b.dwNumberOfPrint
           && a.dwPrintDotsCount == b.dwPrintDotsCount && a.dwPrinterNumOfPages == b.dwPrinterNumOfPages
           && a.dwPrinterNumOfPrint == b.dwPrinterNumOfPrint && a.iReadFailCount == b.iReadFailCount;
}
