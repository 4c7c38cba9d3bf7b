#pragma once
// The printer's network settings and the two frames that read and write them
// over the printer's USB interface. Pure functions over bytes and text.
#include "UtilLog.h"

#include <QByteArray>
#include <QString>

// Network settings of one printer; a value built per read or write.
struct stIPInfo {
    int source = 0; // 0 DHCP, 1 static: the index of the address-source box
    QString address;
    QString subnet;
    QString gateway;
    QString primaryDNS;
    QString secondaryDNS;
    QString primaryWINS;
    QString secondaryWINS;
};

constexpr int c_iReadRequestLength = 28;
constexpr int c_iWriteRequestLength = 75;
constexpr int c_iReplyCapacity = 1024;

// Dotted decimal, four parts 0..255 of one to three digits (leading zeros allowed).
bool IsIPValid(const QString &text);
// Writes the four octets of `text` at frame[offset..offset+3]; false (nothing
// written) when the text is not an address or the frame is too short.
bool FormatIPData(const QString &text, QByteArray &frame, int offset);
// The 28 bytes that ask the printer for its settings.
QByteArray ReadRequestFrame();
// The 75-byte write request for `info`.
QByteArray WriteSendData(const stIPInfo &info);
// Drops the 5-byte header of every 64-byte block that starts with 0xA5.
// Fails for a reply of 6 bytes or fewer, one not starting with 0xA5, or one
// longer than a reply can be.
bool FormatRecvData(const QByteArray &received, QByteArray &payload);
// Parses a reply into `info`; the fields of items the reply lacks keep their
// value. Fails on any unknown tag, bad value, or item running past the payload.
bool ParseRecvData(const QByteArray &received, stIPInfo &info);

// The text shown for a failed exchange (`result` not 0) of either run.
QString ExchangeFailureMessage(int result);

// Where this program's log goes (set in main).
stLogLocation NetToolLogLocation();
