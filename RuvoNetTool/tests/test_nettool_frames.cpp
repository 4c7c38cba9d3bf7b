// The network settings frames and the reply parser, over bytes only.
#include "NetSettings.h"

#include <QtTest>

namespace {

// Test-side encoder of the printer's reply, written from the wire layout: the
// item layer (six leading bytes, then items), cut into 64-byte blocks that
// each open with a 5-byte header.
QByteArray Item(int tag, const QByteArray &value, int declaredLength = -1)
{
    const int skipped = tag == 0x4010 ? 14 : 10;
    const int length = declaredLength < 0 ? value.size() : declaredLength;
    QByteArray item;
    item.append(char(tag >> 8)).append(char(tag & 0xFF));
    item.append(skipped, '\x07');
    item.append(char(length >> 8)).append(char(length & 0xFF));
    return item + value;
}

QByteArray Blocks(const QByteArray &items)
{
    const QByteArray payload = QByteArray::fromHex("000000000000") + items;
    QByteArray reply;
    for (int at = 0; at < payload.size(); at += 59)
        reply += QByteArray::fromHex("A500000000") + payload.mid(at, 59);
    return reply;
}

QByteArray AllItems(const QByteArray &source = "DHCP", const QByteArray &secondaryDNS = "8.8.4.4")
{
    return Item(0x4010, source) + Item(0x4011, "192.168.1.10") + Item(0x4012, "255.255.255.0")
           + Item(0x4013, "192.168.1.1") + Item(0x4014, "192.168.1.2") + Item(0x4015, secondaryDNS)
           + Item(0x4016, "0.0.0.0") + Item(0x4017, "10.0.0.9");
}

} // namespace

class TestNetToolFrames : public QObject
{
    Q_OBJECT

private slots:
    void logGoesToItsOwnPlace();
    void readRequestIsFixed();
    void staticWriteFrame();
    void addressWithLeadingZerosGoesOnTheWireAsNumbers();
    void addressCheck_data();
    void addressCheck();
    void blockHeaderOnlyAtBlockStartsWithLeadByte_data();
    void blockHeaderOnlyAtBlockStartsWithLeadByte();
    void parsesACompleteReply_data();
    void parsesACompleteReply();
    void missingItemsKeepTheirFields();
    void rejectsBadReplies_data();
    void rejectsBadReplies();
};

void TestNetToolFrames::readRequestIsFixed()
{
    QCOMPARE(ReadRequestFrame(),
             QByteArray::fromHex("A5 00 19 50 E0 B2 02 00 00 01 00 08 40 10 40 11 40 12 40 13 40 14 40 15 40 16 40 17"));
}

void TestNetToolFrames::staticWriteFrame()
{
    stIPInfo info;
    info.source = 1;
    info.address = "192.168.1.10";
    info.subnet = "255.255.255.0";
    info.gateway = "192.168.1.1";
    info.primaryDNS = "192.168.1.2";
    info.secondaryDNS = "0.0.0.0";
    info.primaryWINS = "0.0.0.0";
    info.secondaryWINS = "0.0.0.0";
    const QByteArray expected = QByteArray::fromHex(
        "A5 00 48 50 E0 B2 03 00 09"
        "40 10 00 01 01"
        "40 11 00 04 C0 A8 01 0A"
        "40 12 00 04 FF FF FF 00"
        "40 13 00 04 C0 A8 01 01"
        "40 14 00 04 C0 A8 01 02"
        "40 15 00 04 00 00 00 00"
        "40 16 00 04 00 00 00 00"
        "40 17 00 04 00 00 00 00"
        "40 1F 00 01 00");
    QCOMPARE(expected.size(), 75);
    QCOMPARE(WriteSendData(info), expected);
}

void TestNetToolFrames::addressWithLeadingZerosGoesOnTheWireAsNumbers()
{
    QByteArray frame(8, '\x55');
    QVERIFY(FormatIPData("010.001.200.099", frame, 2));
    QCOMPARE(frame, QByteArray::fromHex("5555 0A01C863 5555"));
    QVERIFY2(!FormatIPData("1.2.3.4", frame, 5), "an address must fit the frame");
    QVERIFY(!FormatIPData("1.2.3", frame, 0));
    QCOMPARE(frame, QByteArray::fromHex("5555 0A01C863 5555"));
}

void TestNetToolFrames::addressCheck_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addRow("plain") << "192.168.1.10" << true;
    QTest::addRow("all zero") << "0.0.0.0" << true;
    QTest::addRow("all ones") << "255.255.255.255" << true;
    QTest::addRow("leading zeros") << "010.001.1.1" << true;
    QTest::addRow("empty") << "" << false;
    QTest::addRow("part above 255") << "256.1.1.1" << false;
    QTest::addRow("three parts") << "1.2.3" << false;
    QTest::addRow("five parts") << "1.2.3.4.5" << false;
    QTest::addRow("empty part") << "1..2.3" << false;
    QTest::addRow("four digits") << "1.2.3.0255" << false;
    QTest::addRow("blank before") << " 1.2.3.4" << false;
    QTest::addRow("blank after") << "1.2.3.4 " << false;
    QTest::addRow("letters") << "a.b.c.d" << false;
}

void TestNetToolFrames::addressCheck()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(IsIPValid(text), valid);
}

void TestNetToolFrames::blockHeaderOnlyAtBlockStartsWithLeadByte_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QByteArray>("payload");
    const QByteArray first = QByteArray::fromHex("A501020304") + QByteArray(59, 'a');
    QTest::addRow("0xA5 at byte 64 is a header") << first + QByteArray::fromHex("A5 0B 0C 0D 0E 41 42")
                                                 << QByteArray(59, 'a') + "AB";
    QTest::addRow("other byte at 64 stays") << first + QByteArray::fromHex("11 A5 0C")
                                            << QByteArray(59, 'a') + QByteArray::fromHex("11 A5 0C");
    QTest::addRow("0xA5 inside a block stays")
        << QByteArray::fromHex("A5 01 02 03 04 A5 00 00") << QByteArray::fromHex("A5 00 00");
}

void TestNetToolFrames::blockHeaderOnlyAtBlockStartsWithLeadByte()
{
    QFETCH(QByteArray, received);
    QFETCH(QByteArray, payload);
    QByteArray result;
    QVERIFY(FormatRecvData(received, result));
    QCOMPARE(result, payload);
}

void TestNetToolFrames::parsesACompleteReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("source");
    QTest::addRow("DHCP over five blocks") << Blocks(AllItems("DHCP")) << 0;
    QTest::addRow("Static") << Blocks(AllItems("Static")) << 1;
    QTest::addRow("values zero-padded") << Blocks(Item(0x4010, QByteArray("Static") + QByteArray(393, '\0'))
                                                  + AllItems("Static").mid(24))
                                        << 1;
}

void TestNetToolFrames::parsesACompleteReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, source);
    QVERIFY(reply.size() > 64);
    stIPInfo info;
    info.source = 1 - source;
    QVERIFY(ParseRecvData(reply, info));
    QCOMPARE(info.source, source);
    QCOMPARE(info.address, QString("192.168.1.10"));
    QCOMPARE(info.subnet, QString("255.255.255.0"));
    QCOMPARE(info.gateway, QString("192.168.1.1"));
    QCOMPARE(info.primaryDNS, QString("192.168.1.2"));
    QCOMPARE(info.secondaryDNS, QString("8.8.4.4"));
    QCOMPARE(info.primaryWINS, QString("0.0.0.0"));
    QCOMPARE(info.secondaryWINS, QString("10.0.0.9"));
}

void TestNetToolFrames::missingItemsKeepTheirFields()
{
    stIPInfo info;
    QVERIFY(ParseRecvData(Blocks(Item(0x4013, "10.1.1.1") + Item(0x4011, "10.1.1.5")), info));
    QCOMPARE(info.source, 0);
    QCOMPARE(info.gateway, QString("10.1.1.1"));
    QCOMPARE(info.address, QString("10.1.1.5"));
    QVERIFY(info.subnet.isEmpty());
    QVERIFY(info.secondaryWINS.isEmpty());
}

void TestNetToolFrames::rejectsBadReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    const QByteArray good = Blocks(AllItems());
    QTest::addRow("six bytes") << good.left(6);
    QTest::addRow("no 0xA5 lead byte") << QByteArray(1, '\x5A') + good.mid(1);
    QTest::addRow("only the leading payload bytes") << good.left(11);
    QTest::addRow("lower-case dhcp") << Blocks(AllItems("dhcp"));
    QTest::addRow("empty secondary DNS") << Blocks(AllItems("DHCP", ""));
    QTest::addRow("address above 255") << Blocks(Item(0x4011, "256.1.1.1"));
    QTest::addRow("unknown tag") << Blocks(Item(0x4011, "1.1.1.1") + Item(0x4018, "1.1.1.1"));
    QTest::addRow("closing tag is not a reply item") << Blocks(Item(0x401F, "1.1.1.1"));
    QTest::addRow("value runs past the payload") << Blocks(Item(0x4011, "1.1.1.1", 16));
    QTest::addRow("item header cut short") << Blocks(Item(0x4011, "1.1.1.1")).chopped(9);
    QTest::addRow("source header cut short") << Blocks(Item(0x4010, "DHCP")).chopped(8);
    QTest::addRow("value of 400 bytes") << Blocks(Item(0x4010, QByteArray("DHCP") + QByteArray(396, '\0')));
    QTest::addRow("longer than any reply") << Blocks(AllItems().repeated(6));
}

void TestNetToolFrames::rejectsBadReplies()
{
    QFETCH(QByteArray, reply);
    stIPInfo info;
    info.address = "1.2.3.4";
    QVERIFY(!ParseRecvData(reply, info));
    QCOMPARE(info.address, QString("1.2.3.4"));
}

// The log of this program lies under the product directory, in "Log" with a capital L.
void TestNetToolFrames::logGoesToItsOwnPlace()
{
    QCOMPARE(NetToolLogLocation().strDirectory, QString("/opt/ruvo/k40_series_printer/Log/"));
    QCOMPARE(NetToolLogLocation().strBaseName, QString("log_nettool"));
}

QTEST_APPLESS_MAIN(TestNetToolFrames)
#include "test_nettool_frames.moc"
