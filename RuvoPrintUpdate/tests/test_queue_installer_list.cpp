// The queue installer's own reading of its printer list: URI quotes stripped,
// the file consumed.
#include "PrinterListFiles.h"
#include "QueueInstaller.h"

#include <QtTest>

using namespace printer_list_files;

class TestQueueInstallerList : public QObject
{
    Q_OBJECT

private slots:
    void logGoesToItsOwnPlace();
    void installerStripsUriQuotes_data();
    void installerStripsUriQuotes();
    void installerDeletesTheFileAlsoWhenEmpty();
};

void TestQueueInstallerList::installerStripsUriQuotes_data()
{
    QTest::addColumn<QString>("fileValue");
    QTest::addColumn<QString>("expected");
    // The INI reader removes quotes that enclose a whole value; escaped quotes
    // are part of the value and are what the installer strips.
    QTest::addRow("quotes on both ends") << R"("\"usb://Ruvo/K400?serial=1\"")" << "usb://Ruvo/K400?serial=1";
    QTest::addRow("leading quote only") << R"("\"socket://10.0.0.5")" << "socket://10.0.0.5";
    QTest::addRow("trailing quote only") << R"("socket://10.0.0.5\"")" << "socket://10.0.0.5";
    QTest::addRow("quote inside kept") << R"("ipp://a\"b")" << "ipp://a\"b";
    QTest::addRow("no quotes") << "socket://10.0.0.6:9100" << "socket://10.0.0.6:9100";
}

void TestQueueInstallerList::installerStripsUriQuotes()
{
    QFETCH(QString, fileValue);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    Section section = kNetworkPrinter;
    section.uri = fileValue;
    const QString path = WriteList(dir, "1", {{0, section}});
    const QList<stPrinterInfo> printers = ReadInstallerPrinterList(path);
    QCOMPARE(printers.size(), 1);
    QCOMPARE(printers.at(0).strURI, expected);
}

void TestQueueInstallerList::installerDeletesTheFileAlsoWhenEmpty()
{
    QTemporaryDir dir;
    const QString withPrinters = WriteList(dir, "1", {{0, kNetworkPrinter}});
    QCOMPARE(ReadInstallerPrinterList(withPrinters).size(), 1);
    QVERIFY(!QFile::exists(withPrinters));

    // Another name: Qt caches an INI file by path, size and time stamp.
    const QString empty = WriteList(dir, "0", {{0, kNetworkPrinter}}, "empty.ini");
    QVERIFY(ReadInstallerPrinterList(empty).isEmpty());
    QVERIFY(!QFile::exists(empty));
}

// The log of this program lies under the product directory.
void TestQueueInstallerList::logGoesToItsOwnPlace()
{
    QCOMPARE(QueueInstallerLogLocation().strDirectory, QString("/opt/ruvo/k40_series_printer/log/"));
    QCOMPARE(QueueInstallerLogLocation().strBaseName, QString("log_update"));
}

QTEST_GUILESS_MAIN(TestQueueInstallerList)
#include "test_queue_installer_list.moc"
