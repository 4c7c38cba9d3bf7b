// The grouping of the transport's result codes into the four messages that
// both tools show, each with its own texts.
#include "UsbResultText.h"

#include <QtTest>

class TestUsbResultText : public QObject
{
    Q_OBJECT

private slots:
    void groupsTheCodes_data();
    void groupsTheCodes();
};

void TestUsbResultText::groupsTheCodes_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::addRow("transfer failed") << -7 << "transfer";
    QTest::addRow("library did not start") << -1 << "init";
    QTest::addRow("no such printer") << -2 << "connect";
    QTest::addRow("no printer interface") << -3 << "connect";
    QTest::addRow("not opened") << -4 << "connect";
    QTest::addRow("not claimed") << -5 << "connect";
    QTest::addRow("-6 is not a code of the transport") << -6 << "unknown";
    QTest::addRow("below the codes") << -8 << "unknown";
    QTest::addRow("positive") << 1 << "unknown";
}

void TestUsbResultText::groupsTheCodes()
{
    QFETCH(int, result);
    QFETCH(QString, message);
    const stUsbFailureTexts texts{"transfer", "init", "connect", "unknown"};
    QCOMPARE(UsbFailureMessage(result, texts), message);
}

QTEST_APPLESS_MAIN(TestUsbResultText)
#include "test_usb_result_text.moc"
