// The IPv4 address text that the scan daemon, the SANE backend and the network
// tool all take, and what they all refuse.
#include "dotted_ipv4.h"

#include <QtTest>

class TestDottedIPv4 : public QObject {
    Q_OBJECT
private slots:
    void addressText_data();
    void addressText();
    void textEndsWhereTheViewEnds();
};

void TestDottedIPv4::addressText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("taken");
    QTest::addRow("plain") << QByteArray("192.168.1.5") << true;
    QTest::addRow("all zero") << QByteArray("0.0.0.0") << true;
    QTest::addRow("all 255") << QByteArray("255.255.255.255") << true;
    QTest::addRow("zeros alone inside") << QByteArray("10.0.0.1") << true;
    QTest::addRow("three-digit parts") << QByteArray("100.200.250.199") << true;
    QTest::addRow("leading zero") << QByteArray("192.168.001.5") << false;
    QTest::addRow("leading zero, two digits") << QByteArray("192.168.1.05") << false;
    QTest::addRow("double zero") << QByteArray("00.1.1.1") << false;
    QTest::addRow("256") << QByteArray("256.1.1.1") << false;
    QTest::addRow("300 in the last part") << QByteArray("1.1.1.300") << false;
    QTest::addRow("four digits") << QByteArray("1.1.1.1000") << false;
    QTest::addRow("empty") << QByteArray("") << false;
    QTest::addRow("empty first part") << QByteArray(".1.1.1") << false;
    QTest::addRow("empty middle part") << QByteArray("1..1.1") << false;
    QTest::addRow("trailing dot") << QByteArray("1.1.1.1.") << false;
    QTest::addRow("three parts") << QByteArray("1.1.1") << false;
    QTest::addRow("five parts") << QByteArray("1.1.1.1.1") << false;
    QTest::addRow("blank before") << QByteArray(" 1.1.1.1") << false;
    QTest::addRow("blank after") << QByteArray("1.1.1.1 ") << false;
    QTest::addRow("blank inside") << QByteArray("1.1. 1.1") << false;
    QTest::addRow("plus sign") << QByteArray("+1.1.1.1") << false;
    QTest::addRow("minus sign") << QByteArray("1.-1.1.1") << false;
    QTest::addRow("hexadecimal") << QByteArray("0x7f.0.0.1") << false;
    QTest::addRow("one number") << QByteArray("2130706433") << false;
    QTest::addRow("letters") << QByteArray("a.b.c.d") << false;
    QTest::addRow("host name") << QByteArray("printer.local") << false;
    QTest::addRow("port after it") << QByteArray("1.1.1.1:80") << false;
    QTest::addRow("full-width digit") << QByteArray("1.1.1.\xef\xbc\x91") << false;
}

void TestDottedIPv4::addressText()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, taken);
    QCOMPARE(ruvo_address::IsDottedIPv4(std::string_view(text.constData(), static_cast<size_t>(text.size()))),
             taken);
}

// A fixed field holds more than the address: only the bytes of the view count,
// and a zero byte inside it is no end.
void TestDottedIPv4::textEndsWhereTheViewEnds()
{
    const char field[] = "10.1.2.3\0garbage";
    QVERIFY(ruvo_address::IsDottedIPv4(std::string_view(field, 8)));
    QVERIFY(!ruvo_address::IsDottedIPv4(std::string_view(field, 9)));
    QVERIFY(!ruvo_address::IsDottedIPv4(std::string_view(field, 7))); // "10.1.2."
}

QTEST_APPLESS_MAIN(TestDottedIPv4)
#include "test_dotted_ipv4.moc"
