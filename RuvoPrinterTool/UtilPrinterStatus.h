#pragma once
// Decoding of one binary status reply. All numbers on the wire are big-endian;
// every field is checked against the reply length before it is read.
#include "PrinterState.h"

#include <QByteArray>
#include <QVector>

class UtilPrinterStatus
{
public:
    static constexpr int kTextCapacity = 256;  // texts up to 255 bytes
    static constexpr int kSupplyCapacity = 65; // supply values up to 64 bytes
    static constexpr unsigned long kMinimumReplyLength = 31;

    UtilPrinterStatus();

    // True when the whole layout down to the last supply entry fits in `length`.
    // A text longer than 255 bytes or a supply value longer than 64 bytes
    // rejects the reply. Called once per decoder.
    bool parseRecvBuf(const unsigned char *reply, unsigned long length);

    // 2, 3 or 4 bytes big-endian; any other count gives the first byte alone
    // (0 for no bytes).
    static unsigned long byteToDWORD(const unsigned char *bytes, unsigned long count);
    // Stores one supply entry by its tag; unknown tags are ignored.
    void setSuppliesData(unsigned long tag, const unsigned char *value, unsigned long length);
    const unsigned char *getPrinterStatusValue() const { return m_ucStatus; }

    // Texts as UTF-8 up to the first zero byte.
    static QString TextOf(const unsigned char *buffer);

    // Error and warning codes in reply order.
    QVector<quint64> m_vecErrorCodes;
    QVector<quint64> m_vecWarningCodes;

    // Raw bytes of the fixed-width fields (one byte wider than the field) and
    // the decoded numbers of every length, count and the status byte.
    unsigned char m_ucHeader[8];
    unsigned char m_ucReserved7[2];
    unsigned char m_ucReserved8[3];
    unsigned char m_ucReserved10[3];
    unsigned char m_ucVendorLength[3];
    unsigned char m_ucProductLength[3];
    unsigned char m_ucSerialLength[3];
    unsigned char m_ucReservedAfterSerial[3];
    unsigned char m_ucStatus[2];
    unsigned char m_ucFWVersionLength[2];
    unsigned char m_ucFifthLength[2];
    unsigned char m_ucErrorCount[2];
    unsigned char m_ucWarningCount[2];
    unsigned char m_ucReservedByte[2];
    unsigned char m_ucReservedWord1[3];
    unsigned char m_ucReservedWord2[3];
    unsigned char m_ucSupplyCount[2];
    quint64 m_dwVendorLength;
    quint64 m_dwProductLength;
    quint64 m_dwSerialLength;
    quint64 m_dwStatus;
    quint64 m_dwFWVersionLength;
    quint64 m_dwFifthLength;
    quint64 m_dwErrorCount;
    quint64 m_dwWarningCount;
    quint64 m_dwSupplyCount;

    unsigned char m_szVendorName[kTextCapacity];
    unsigned char m_szProductName[kTextCapacity];
    unsigned char m_szSerialNumber[kTextCapacity];
    unsigned char m_szFWVersion[kTextCapacity];
    unsigned char m_szFifthText[kTextCapacity];

    // Supply values: raw bytes (capacity one above the widest value of the tag)
    // and numbers.
    unsigned char m_ucSupplySerialNumber[65];
    unsigned char m_ucSupplyType[5];
    unsigned char m_ucRemainingToner[3];
    unsigned char m_ucWasteToner[3];
    unsigned char m_ucOPCRotation[3];
    unsigned char m_ucNumberOfPages[5];
    unsigned char m_ucNumberOfPrint[5];
    unsigned char m_ucPrintDotsCount[3];
    unsigned char m_ucPrinterNumOfPages[5];
    unsigned char m_ucPrinterNumOfPrint[5];
    quint64 m_dwSupplyType;
    quint64 m_dwRemainingToner;
    quint64 m_dwWasteToner;
    quint64 m_dwOPCRotation;
    quint64 m_dwNumberOfPages;
    quint64 m_dwNumberOfPrint;
    quint64 m_dwPrintDotsCount;
    quint64 m_dwPrinterNumOfPages;
    quint64 m_dwPrinterNumOfPrint;
};

// Device status byte to enPrinterStatus.
int GetPrinterStatusEnum(unsigned long statusByte);
// Device error or warning code to enErrorStatus; unlisted codes give 0.
enErrorStatus GetErrorStatusEnum(unsigned long deviceCode);
// Every supply type code maps to 0.
int GetTonerTypeEnum(unsigned long supplyType);

// Decodes `reply` into `state`, replacing every field. On a reply that does not
// decode `state` is left untouched and false is returned.
bool BuildPrinterState(const QByteArray &reply, stPrinterState &state);
