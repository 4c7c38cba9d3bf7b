// The printer list readers and the model table look-ups.
#include "ModelTable.h"
#include "PrinterList.h"
#include "PrinterListFiles.h"
#include "model_rows.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

using namespace printer_list_files;

namespace {

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
    void missingFileGivesNothing();
    void commaInValueStaysOneText();
    void networkCapableRule_data();
    void networkCapableRule();
    void modelLookupsIgnoreLetterCase_data();
    void modelLookupsIgnoreLetterCase();
    void unknownModelLeavesIdsUnchanged();
    void modelTableKeepsItsRules();
    void plainRowsAnswerWithoutQt();
};

void TestPrinterList::readsAllRecordsInSectionOrder()
{
    QTemporaryDir dir;
    // Sections written out of order: the reader goes by number, not file position.
    const QString path = WriteList(dir, "3", {{2, kNetworkPrinter}, {0, kUsbNetworkModel}, {1, kUsbPlainModel}});
    const QList<stPrinterInfo> printers = ReadPrinterList(path);
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
    QCOMPARE(Names(ReadPrinterList(path)),
             QStringList({"Office_K400N", "Desk_M200", "Lab_P310DN"}));
    QCOMPARE(Names(ReadPrinterList(path, IsUsbPrinter)),
             QStringList({"Office_K400N", "Desk_M200"}));
    QCOMPARE(Names(ReadPrinterList(path, IsUsbPrinterOfNetworkModel)), QStringList({"Office_K400N"}));
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
    QCOMPARE(ReadPrinterList(path).size(), expected);
}

void TestPrinterList::missingSectionGivesEmptyRecord()
{
    QTemporaryDir dir;
    const QString path = WriteList(dir, "2", {{0, kUsbNetworkModel}});
    const QList<stPrinterInfo> tray = ReadPrinterList(path);
    QCOMPARE(tray.size(), 2);
    QCOMPARE(tray.at(1).strName, QString());
    QCOMPARE(tray.at(1).strModel, QString()); // the file's (missing) value replaces the initial "-1"
    QCOMPARE(tray.at(1).iConnectType, 0);
    QCOMPARE(ReadPrinterList(path, IsUsbPrinter).size(), 1);
    QCOMPARE(ReadPrinterList(path, IsUsbPrinterOfNetworkModel).size(), 1);
}

void TestPrinterList::connectTypeNotANumberIsNetwork()
{
    QTemporaryDir dir;
    Section usbByName = kUsbPlainModel;
    usbByName.connectType = "usb";
    const QString path = WriteList(dir, "1", {{0, usbByName}});
    const QList<stPrinterInfo> printers = ReadPrinterList(path);
    QCOMPARE(printers.size(), 1);
    QCOMPARE(printers.at(0).iConnectType, 0);
    QVERIFY(ReadPrinterList(path, IsUsbPrinter).isEmpty());
}

void TestPrinterList::missingFileGivesNothing()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("absent.ini");
    QVERIFY(ReadPrinterList(path).isEmpty());
    QVERIFY(ReadPrinterList(path, IsUsbPrinter).isEmpty());
    QVERIFY(!QFile::exists(path)); // reading created nothing
}

void TestPrinterList::commaInValueStaysOneText()
{
    QTemporaryDir dir;
    Section section = kUsbPlainModel;
    section.uri = "usb://Ruvo/M200?serial=CD34,interface=1";
    const QString path = WriteList(dir, "1", {{0, section}});
    QCOMPARE(ReadPrinterList(path).at(0).strURI,
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

// The Qt-free rows give the same answers as the Qt look-ups, and find a
// model by its USB ids.
void TestPrinterList::plainRowsAnswerWithoutQt()
{
    for (const stModelInfo &row : c_stModelInfoList) {
        const ruvo_models::ModelRow *plain = ruvo_models::FindByDisplayName(row.strModelName.toLower().toStdString());
        QVERIFY(plain);
        QCOMPARE(QString::fromStdString(ruvo_models::DriverFileName(*plain)), row.strPPDFile);
        QCOMPARE(ruvo_models::FindByUsbIds(static_cast<uint16_t>(row.iVid), static_cast<uint16_t>(row.iPid)), plain);
    }
    QCOMPARE(ruvo_models::FindByUsbIds(0x7A3E, 0x0400), nullptr);
    QCOMPARE(ruvo_models::FindByUsbIds(0x7A3F, 0x0401), nullptr);
    QCOMPARE(ruvo_models::FindByDisplayName("Ruvo K400 "), nullptr);
    QCOMPARE(ruvo_models::FindByDisplayName("RuvoK400"), nullptr);
}

QTEST_GUILESS_MAIN(TestPrinterList)
#include "test_printerlist.moc"
