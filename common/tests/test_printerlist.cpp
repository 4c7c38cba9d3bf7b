// The printer list readers and the model table look-ups.
#include "ModelTable.h"
#include "PrinterList.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(enPrinterListReader)

namespace {

// One printer section as the file holds it.
struct Section {
    QString name, model, connectType, port, uri;
};

QString WriteList(const QTemporaryDir &dir, const QString &count, const QList<QPair<int, Section>> &sections,
                  const QString &fileName = "printerlist.ini")
{
    const QString path = dir.filePath(fileName);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    QByteArray text = "[Main]\n";
    if (!count.isNull())
        text += "Count=" + count.toUtf8() + "\n";
    for (const auto &[number, section] : sections) {
        text += "\n[printer_" + QByteArray::number(number) + "]\n";
        text += "Name=" + section.name.toUtf8() + "\n";
        text += "Model=" + section.model.toUtf8() + "\n";
        text += "ConnectType=" + section.connectType.toUtf8() + "\n";
        text += "Port=" + section.port.toUtf8() + "\n";
        text += "URI=" + section.uri.toUtf8() + "\n";
    }
    file.write(text);
    return path;
}

const Section kUsbNetworkModel{"Office_K400N", "Ruvo K400N", "1", "serial=AB12", "usb://Ruvo/K400N?serial=AB12"};
const Section kUsbPlainModel{"Desk_M200", "Ruvo M200", "1", "serial=CD34", "usb://Ruvo/M200?serial=CD34"};
const Section kNetworkPrinter{"Lab_P310DN", "Ruvo P310DN", "2", "192.168.1.20", "socket://192.168.1.20:9100"};

QStringList Names(const QList<stPrinterInfo> &printers)
{
    QStringList names;
    for (const stPrinterInfo &printer : printers)
        names << printer.strName;
    return names;
}

} // namespace

class TestPrinterList : public QObject
{
    Q_OBJECT

private slots:
    void readsAllRecordsInSectionOrder();
    void eachReaderKeepsItsOwnPrinters();
    void countEdgeCases_data();
    void countEdgeCases();
    void missingSectionGivesEmptyRecord();
    void connectTypeNotANumberIsNetwork();
    void installerStripsUriQuotes_data();
    void installerStripsUriQuotes();
    void installerDeletesTheFileAlsoWhenEmpty();
    void missingFileGivesNothing();
    void commaInValueStaysOneText();
    void networkCapableRule_data();
    void networkCapableRule();
    void modelLookupsIgnoreLetterCase_data();
    void modelLookupsIgnoreLetterCase();
    void unknownModelLeavesIdsUnchanged();
    void modelTableKeepsItsRules();
};

void TestPrinterList::readsAllRecordsInSectionOrder()
{
    QTemporaryDir dir;
    // Sections written out of order: the reader goes by number, not file position.
    const QString path = WriteList(dir, "3", {{2, kNetworkPrinter}, {0, kUsbNetworkModel}, {1, kUsbPlainModel}});
    const QList<stPrinterInfo> printers = ReadPrinterList(path, enPrinterListReader::TrayApplication);
    QCOMPARE(Names(printers), QStringList({"Office_K400N", "Desk_M200", "Lab_P310DN"}));
    QCOMPARE(printers.at(0).strModel, QString("Ruvo K400N"));
    QCOMPARE(printers.at(0).iConnectType, 1);
    QCOMPARE(printers.at(0).strPort, QString("serial=AB12"));
    QCOMPARE(printers.at(0).strURI, QString("usb://Ruvo/K400N?serial=AB12"));
    QCOMPARE(printers.at(2).iConnectType, 2);
    QVERIFY(QFile::exists(path)); // only the installer consumes its file
}

void TestPrinterList::eachReaderKeepsItsOwnPrinters()
{
    QTemporaryDir dir;
    const QString path = WriteList(dir, "3", {{0, kUsbNetworkModel}, {1, kUsbPlainModel}, {2, kNetworkPrinter}});
    QCOMPARE(Names(ReadPrinterList(path, enPrinterListReader::TrayApplication)),
             QStringList({"Office_K400N", "Desk_M200", "Lab_P310DN"}));
    QCOMPARE(Names(ReadPrinterList(path, enPrinterListReader::FirmwareUpdater)),
             QStringList({"Office_K400N", "Desk_M200"}));
    QCOMPARE(Names(ReadPrinterList(path, enPrinterListReader::NetworkTool)), QStringList({"Office_K400N"}));
}

void TestPrinterList::countEdgeCases_data()
{
    QTest::addColumn<QString>("count");
    QTest::addColumn<int>("expected");
    QTest::addRow("missing") << QString() << 0;
    QTest::addRow("not a number") << "three" << 0;
    QTest::addRow("zero") << "0" << 0;
    QTest::addRow("negative") << "-2" << 0;
    QTest::addRow("fewer than sections: later ones ignored") << "1" << 1;
    QTest::addRow("all") << "3" << 3;
}

void TestPrinterList::countEdgeCases()
{
    QFETCH(QString, count);
    QFETCH(int, expected);
    QTemporaryDir dir;
    const QString path = WriteList(dir, count, {{0, kUsbNetworkModel}, {1, kUsbPlainModel}, {2, kNetworkPrinter}});
    QCOMPARE(ReadPrinterList(path, enPrinterListReader::TrayApplication).size(), expected);
}

void TestPrinterList::missingSectionGivesEmptyRecord()
{
    QTemporaryDir dir;
    const QString path = WriteList(dir, "2", {{0, kUsbNetworkModel}});
    const QList<stPrinterInfo> tray = ReadPrinterList(path, enPrinterListReader::TrayApplication);
    QCOMPARE(tray.size(), 2);
    QCOMPARE(tray.at(1).strName, QString());
    QCOMPARE(tray.at(1).strModel, QString()); // the file's (missing) value replaces the initial "-1"
    QCOMPARE(tray.at(1).iConnectType, 0);
    QCOMPARE(ReadPrinterList(path, enPrinterListReader::FirmwareUpdater).size(), 1);
    QCOMPARE(ReadPrinterList(path, enPrinterListReader::NetworkTool).size(), 1);
}

void TestPrinterList::connectTypeNotANumberIsNetwork()
{
    QTemporaryDir dir;
    Section usbByName = kUsbPlainModel;
    usbByName.connectType = "usb";
    const QString path = WriteList(dir, "1", {{0, usbByName}});
    const QList<stPrinterInfo> printers = ReadPrinterList(path, enPrinterListReader::TrayApplication);
    QCOMPARE(printers.size(), 1);
    QCOMPARE(printers.at(0).iConnectType, 0);
    QVERIFY(ReadPrinterList(path, enPrinterListReader::FirmwareUpdater).isEmpty());
}

void TestPrinterList::installerStripsUriQuotes_data()
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

void TestPrinterList::installerStripsUriQuotes()
{
    QFETCH(QString, fileValue);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    Section section = kNetworkPrinter;
    section.uri = fileValue;
    const QString path = WriteList(dir, "1", {{0, section}});
    const QList<stPrinterInfo> printers = ReadPrinterList(path, enPrinterListReader::QueueInstaller);
    QCOMPARE(printers.size(), 1);
    QCOMPARE(printers.at(0).strURI, expected);
}

void TestPrinterList::installerDeletesTheFileAlsoWhenEmpty()
{
    QTemporaryDir dir;
    const QString withPrinters = WriteList(dir, "1", {{0, kNetworkPrinter}});
    QCOMPARE(ReadPrinterList(withPrinters, enPrinterListReader::QueueInstaller).size(), 1);
    QVERIFY(!QFile::exists(withPrinters));

    // Another name: Qt caches an INI file by path, size and time stamp.
    const QString empty = WriteList(dir, "0", {{0, kNetworkPrinter}}, "empty.ini");
    QVERIFY(ReadPrinterList(empty, enPrinterListReader::QueueInstaller).isEmpty());
    QVERIFY(!QFile::exists(empty));
}

void TestPrinterList::missingFileGivesNothing()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("absent.ini");
    for (auto reader : {enPrinterListReader::TrayApplication, enPrinterListReader::NetworkTool,
                        enPrinterListReader::FirmwareUpdater, enPrinterListReader::QueueInstaller})
        QVERIFY(ReadPrinterList(path, reader).isEmpty());
    QVERIFY(!QFile::exists(path)); // reading created nothing
}

void TestPrinterList::commaInValueStaysOneText()
{
    QTemporaryDir dir;
    Section section = kUsbPlainModel;
    section.uri = "usb://Ruvo/M200?serial=CD34,interface=1";
    const QString path = WriteList(dir, "1", {{0, section}});
    QCOMPARE(ReadPrinterList(path, enPrinterListReader::TrayApplication).at(0).strURI,
             QString("usb://Ruvo/M200?serial=CD34,interface=1"));
}

void TestPrinterList::networkCapableRule_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("capable");
    QTest::addRow("ends in N") << "Ruvo K400N" << true;
    QTest::addRow("ends in DN") << "Ruvo P310DN" << true;
    QTest::addRow("ends in ADN") << "Ruvo M220ADN" << true;
    QTest::addRow("no N") << "Ruvo M200" << false;
    QTest::addRow("lower-case n") << "Ruvo k400n" << false;
    QTest::addRow("N only in the brand word") << "RuvoN M200" << false;
    QTest::addRow("two blanks in a row") << "Ruvo  K400N" << false;
    QTest::addRow("no blank") << "RuvoK400N" << false;
    QTest::addRow("three words") << "Ruvo K400N Plus" << false;
}

void TestPrinterList::networkCapableRule()
{
    QFETCH(QString, model);
    QFETCH(bool, capable);
    QCOMPARE(IsNetworkCapableModel(model), capable);
}

void TestPrinterList::modelLookupsIgnoreLetterCase_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("ppd");
    QTest::addRow("exact") << "Ruvo K400N" << 0x0402 << "Ruvo_K400N.ppd";
    QTest::addRow("lower case") << "ruvo k400n" << 0x0402 << "Ruvo_K400N.ppd";
    QTest::addRow("upper case") << "RUVO M220ADN" << 0x0415 << "Ruvo_M220ADN.ppd";
}

void TestPrinterList::modelLookupsIgnoreLetterCase()
{
    QFETCH(QString, name);
    QFETCH(int, pid);
    QFETCH(QString, ppd);
    int vid = -1, foundPid = -1;
    QVERIFY(GetPrinterVidPid(name, vid, foundPid));
    QCOMPARE(vid, 0x7A3E);
    QCOMPARE(foundPid, pid);
    QCOMPARE(GetPPDFile(name), ppd);
}

void TestPrinterList::unknownModelLeavesIdsUnchanged()
{
    int vid = 11, pid = 22;
    for (const QString name : {"Ruvo K999", "K400N", "Ruvo K400N ", "", "-1"}) {
        QVERIFY(!GetPrinterVidPid(name, vid, pid));
        QCOMPARE(GetPPDFile(name), QString());
    }
    QCOMPARE(vid, 11);
    QCOMPARE(pid, 22);
}

void TestPrinterList::modelTableKeepsItsRules()
{
    QSet<int> productIds;
    QSet<QString> names;
    const QRegularExpression code("^[A-Z0-9]+$");
    for (const stModelInfo &row : c_stModelInfoList) {
        QVERIFY2(code.match(row.strModelCode).hasMatch(), qPrintable(row.strModelCode));
        QCOMPARE(row.strModelName, "Ruvo " + row.strModelCode);
        QCOMPARE(row.strPPDFile, "Ruvo_" + row.strModelCode + ".ppd");
        QCOMPARE(row.iVid, c_stModelInfoList.front().iVid);
        productIds.insert(row.iPid);
        names.insert(row.strModelName.toLower());
        // A capital N marks exactly the network models, and they end in N, DN or ADN.
        const bool hasN = row.strModelCode.contains('N');
        QCOMPARE(hasN, row.strModelCode.endsWith('N'));
        QCOMPARE(IsNetworkCapableModel(row.strModelName), hasN);
    }
    QCOMPARE(productIds.size(), 21);
    QCOMPARE(names.size(), 21);
    for (int i = 0; i < 5; ++i)
        QVERIFY(c_stModelInfoList.at(i).strModelCode.startsWith("K40"));
    for (int i = 5; i < c_iModelCount; ++i)
        QVERIFY(!c_stModelInfoList.at(i).strModelCode.startsWith("K40"));
}

QTEST_GUILESS_MAIN(TestPrinterList)
#include "test_printerlist.moc"
