#include "NetSettings.h"

#include "UsbResultText.h"
#include "product_paths.h"

#include <QRegularExpression>

namespace {

constexpr int kBlockSize = 64;
constexpr int kBlockHeaderSize = 5;
constexpr unsigned char kBlockLead = 0xA5;
constexpr int kItemsStart = 6;
constexpr int kValueCapacity = 400; // the value text keeps its terminating zero
constexpr int kSourceTag = 0x4010;
constexpr int kFirstAddressTag = 0x4011;
constexpr int kLastAddressTag = 0x4017;

int ReadBigEndian16(const QByteArray &bytes, int at)
{
    return static_cast<unsigned char>(bytes.at(at)) << 8 | static_cast<unsigned char>(bytes.at(at + 1));
}

void AppendBigEndian16(QByteArray &bytes, int value)
{
    bytes.append(static_cast<char>((value >> 8) & 0xFF));
    bytes.append(static_cast<char>(value & 0xFF));
}

QString *AddressField(stIPInfo &info, int tag)
{
    QString *fields[] = {&info.address,      &info.subnet,       &info.gateway,      &info.primaryDNS,
                         &info.secondaryDNS, &info.primaryWINS,  &info.secondaryWINS};
    return fields[tag - kFirstAddressTag];
}

} // namespace

bool IsIPValid(const QString &text)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        "((2[0-4]\\d|25[0-5]|[01]?\\d\\d?)\\.){3}(2[0-4]\\d|25[0-5]|[01]?\\d\\d?)"));
    return pattern.match(text).hasMatch();
}

bool FormatIPData(const QString &text, QByteArray &frame, int offset)
{
    if (!IsIPValid(text) || offset < 0 || offset + 4 > frame.size())
        return false;
    const QStringList parts = text.split('.', Qt::KeepEmptyParts);
    if (parts.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i)
        frame[offset + i] = static_cast<char>(parts.at(i).toInt());
    return true;
}

QByteArray ReadRequestFrame()
{
    QByteArray frame = QByteArray::fromHex("A5001950E0B202" "000001" "0008");
    for (int tag = kSourceTag; tag <= kLastAddressTag; ++tag)
        AppendBigEndian16(frame, tag);
    return frame;
}

QByteArray WriteSendData(const stIPInfo &info)
{
    QByteArray frame = QByteArray::fromHex("A5004850E0B203" "0009");
    AppendBigEndian16(frame, kSourceTag);
    AppendBigEndian16(frame, 1);
    frame.append(static_cast<char>(info.source));
    const QString addresses[] = {info.address,      info.subnet,      info.gateway,
                                 info.primaryDNS,   info.secondaryDNS, info.primaryWINS,
                                 info.secondaryWINS};
    for (int i = 0; i < 7; ++i) {
        AppendBigEndian16(frame, kFirstAddressTag + i);
        AppendBigEndian16(frame, 4);
        const int offset = frame.size();
        frame.append(4, '\0');
        // The form was checked before the frame is built.
        FormatIPData(addresses[i], frame, offset);
    }
    frame.append(QByteArray::fromHex("401F000100"));
    return frame;
}

bool FormatRecvData(const QByteArray &received, QByteArray &payload)
{
    if (received.size() <= 6 || received.size() > c_iReplyCapacity
        || static_cast<unsigned char>(received.at(0)) != kBlockLead)
        return false;
    payload.clear();
    int i = 0;
    while (i < received.size()) {
        if (i % kBlockSize == 0 && static_cast<unsigned char>(received.at(i)) == kBlockLead) {
            i += kBlockHeaderSize;
        } else {
            payload.append(received.at(i));
            ++i;
        }
    }
    return true;
}

bool ParseRecvData(const QByteArray &received, stIPInfo &info)
{
    QByteArray payload;
    if (!FormatRecvData(received, payload))
        return false;

    stIPInfo parsed = info;
    int position = kItemsStart;
    do {
        if (position + 2 > payload.size())
            return false;
        const int tag = ReadBigEndian16(payload, position);
        int lengthAt = 0;
        if (tag == kSourceTag)
            lengthAt = 16;
        else if (tag >= kFirstAddressTag && tag <= kLastAddressTag)
            lengthAt = 12;
        else
            return false;
        if (position + lengthAt + 2 > payload.size())
            return false;
        const int valueLength = ReadBigEndian16(payload, position + lengthAt);
        const int valueAt = position + lengthAt + 2;
        if (valueLength > kValueCapacity - 1 || valueAt + valueLength > payload.size())
            return false;
        QByteArray value = payload.mid(valueAt, valueLength);
        const int zero = value.indexOf('\0');
        if (zero >= 0)
            value.truncate(zero);
        const QString text = QString::fromLatin1(value);

        if (tag == kSourceTag) {
            if (text == "DHCP")
                parsed.source = 0;
            else if (text == "Static")
                parsed.source = 1;
            else
                return false;
        } else {
            if (!IsIPValid(text))
                return false;
            *AddressField(parsed, tag) = text;
        }
        position = valueAt + valueLength;
    } while (position < payload.size());

    info = parsed;
    return true;
}

QString ExchangeFailureMessage(int result)
{
    static const stUsbFailureTexts texts{
        QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试！"),
        QString::fromUtf8("设备接口初始化失败！"),
        QString::fromUtf8("连接打印机失败，请检查连接状态！"),
        QString::fromUtf8("未知错误！"),
    };
    return UsbFailureMessage(result, texts);
}

stLogLocation NetToolLogLocation()
{
    // The network tool's folder is spelled "Log", with a capital L.
    return ProductLogLocation(ruvo_paths::kNetToolLogSubDir, QStringLiteral("log_nettool"));
}
