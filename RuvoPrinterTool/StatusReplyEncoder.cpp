#include "StatusReplyEncoder.h"

namespace {

void AppendNumber(QByteArray &out, quint64 value, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        out.append(static_cast<char>((value >> shift) & 0xFF));
}

void AppendText(QByteArray &out, const QByteArray &text, int lengthWidth)
{
    const int limit = lengthWidth == 1 ? 0xFF : 0xFFFF;
    const QByteArray cut = text.left(limit);
    AppendNumber(out, static_cast<quint64>(cut.size()), lengthWidth);
    out.append(cut);
}

void AppendCodes(QByteArray &out, const QList<quint16> &codes)
{
    const int count = qMin(codes.size(), 0xFF);
    AppendNumber(out, static_cast<quint64>(count), 1);
    for (int i = 0; i < count; ++i)
        AppendNumber(out, codes.at(i), 2);
}

} // namespace

stStatusSupply NumberSupply(quint16 tag, quint64 value, int width)
{
    stStatusSupply supply;
    supply.wTag = tag;
    AppendNumber(supply.value, value, qBound(1, width, 8));
    return supply;
}

QByteArray EncodeStatusReply(const stStatusReply &reply)
{
    QByteArray out = reply.header.left(7);
    out.append(QByteArray(7 - out.size(), '\0'));
    out.append(QByteArray(5, '\0')); // reserved bytes 7 to 11
    AppendText(out, reply.vendorName, 2);
    AppendText(out, reply.productName, 2);
    AppendText(out, reply.serialNumber, 2);
    out.append(QByteArray(2, '\0'));
    out.append(static_cast<char>(reply.statusByte));
    AppendText(out, reply.firmwareVersion, 1);
    AppendText(out, reply.fifthText, 1);
    AppendCodes(out, reply.errorCodes);
    AppendCodes(out, reply.warningCodes);
    out.append(QByteArray(5, '\0')); // reserved byte and two reserved words
    const int supplyCount = qMin(reply.supplies.size(), 0xFF);
    AppendNumber(out, static_cast<quint64>(supplyCount), 1);
    for (int i = 0; i < supplyCount; ++i) {
        const stStatusSupply &supply = reply.supplies.at(i);
        AppendNumber(out, supply.wTag, 2);
        AppendText(out, supply.value, 1);
    }
    return out;
}
