#pragma once
// Builds a binary status reply, the inverse of UtilPrinterStatus. The printer
// simulator writes status files with it and tests use it for round trips.
#include <QByteArray>
#include <QList>
#include <QtGlobal>

struct stStatusSupply {
    quint16 wTag = 0;
    QByteArray value;
};

struct stStatusReply {
    QByteArray header = QByteArray(7, '\0'); // exactly 7 bytes are written
    QByteArray vendorName;
    QByteArray productName;
    QByteArray serialNumber;
    quint8 statusByte = 0x00;
    QByteArray firmwareVersion;
    QByteArray fifthText;
    QList<quint16> errorCodes;
    QList<quint16> warningCodes;
    QList<stStatusSupply> supplies;
};

// A supply value of `width` bytes (1 to 8), big-endian.
stStatusSupply NumberSupply(quint16 tag, quint64 value, int width);

// Texts longer than the format allows (65535 bytes for the first three, 255 for
// the others) and more than 255 codes or supplies are cut to the limit.
QByteArray EncodeStatusReply(const stStatusReply &reply);
