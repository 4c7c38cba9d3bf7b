// The simulator's scenario language and the files it produces, read back with
// the same readers the tray application uses.
#include "FleetScenario.h"
#include "PrinterList.h"
#include "UtilPrinterStatus.h"

#include <QTemporaryDir>
#include <QtTest>

class TestFleetScenario : public QObject
{
    Q_OBJECT
private slots:
    void rejectsMalformedStatements_data();
    void rejectsMalformedStatements();
    void eventsApplyInTimeOrder();
    void addRemoveOfflineAndUnknownNames();
    void everyPresetParses();
    void printerListReadsBackThroughTheTrayReader();
    void statusReplyDecodesToTheSimulatedState();
};

void TestFleetScenario::rejectsMalformedStatements_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("lineTag");
    QTest::addRow("unknown statement")        << "printer A usb K400 serial=1\nfoo bar" << "line 2";
    QTest::addRow("connection not usb/net")   << "printer A wifi K400 10.0.0.1" << "line 1";
    QTest::addRow("printer missing its port") << "printer A usb K400" << "line 1";
    QTest::addRow("name with a slash")        << "printer ../x usb K400 serial=1" << "line 1";
    QTest::addRow("printer listed twice")     << "printer A usb K400 s=1\nprinter A net K400 1.2.3.4" << "line 2";
    QTest::addRow("negative time")            << "at -1 set A toner=5" << "line 1";
    QTest::addRow("toner above full")        << "at 1 set A toner=10001" << "line 1";
    QTest::addRow("unknown status word")      << "at 1 set A status=sleeping" << "line 1";
    QTest::addRow("status beyond a byte")     << "at 1 set A status=0x100" << "line 1";
    QTest::addRow("code beyond 16 bits")      << "at 1 set A errors=0x10000" << "line 1";
    QTest::addRow("set without a value")      << "at 1 set A toner" << "line 1";
    QTest::addRow("offline with extra words") << "\n\nat 1 offline A now" << "line 3";
    QTest::addRow("repeat of zero")           << "repeat 0" << "line 1";
}

void TestFleetScenario::rejectsMalformedStatements()
{
    QFETCH(QString, text);
    QFETCH(QString, lineTag);
    QString error;
    QVERIFY(!ParseScenario(text, &error));
    QVERIFY2(error.startsWith(lineTag + ":"), qPrintable(error));
}

void TestFleetScenario::eventsApplyInTimeOrder()
{
    // Written out of order on purpose: the later statement in the file happens first.
    const auto scenario = ParseScenario("printer P usb K400 serial=9 # the desk printer\n"
                                        "at 2.5 set P toner=100 status=canceling\n"
                                        "at 0.5 set P toner=5000 status=printing warnings=0x110D,0x1121\n"
                                        "repeat 4\n");
    QVERIFY(scenario);
    QCOMPARE(scenario->iRepeatMs, qint64(4000));
    QCOMPARE(scenario->listEvents.size(), 2);
    QCOMPARE(scenario->listEvents[0].iAtMs, qint64(500));
    QCOMPARE(scenario->listEvents[1].iAtMs, qint64(2500));

    QList<stSimPrinter> fleet = scenario->listInitial;
    ApplyEvent(fleet, scenario->listEvents[0]);
    QCOMPARE(fleet[0].ucStatus, quint8(0x10));
    QCOMPARE(fleet[0].dwToner, quint64(5000));
    QCOMPARE(fleet[0].listWarnings, (QList<quint16>{0x110D, 0x1121}));
    ApplyEvent(fleet, scenario->listEvents[1]);
    QCOMPARE(fleet[0].ucStatus, quint8(0x03));
    QCOMPARE(fleet[0].dwToner, quint64(100));
    QCOMPARE(fleet[0].listWarnings.size(), 2); // untouched by a set without warnings
}

void TestFleetScenario::addRemoveOfflineAndUnknownNames()
{
    const auto scenario = ParseScenario("printer A usb K400 serial=1\n"
                                        "at 1 add B net K401DN 192.168.1.20\n"
                                        "at 2 offline A\n"
                                        "at 3 set Nobody toner=1\n"
                                        "at 4 remove A\n"
                                        "at 5 online A\n");
    QVERIFY(scenario);
    QList<stSimPrinter> fleet = scenario->listInitial;
    ApplyEvent(fleet, scenario->listEvents[0]);
    QCOMPARE(fleet.size(), 2);
    QCOMPARE(fleet[1].strModel, QString("Ruvo K401DN"));
    QCOMPARE(fleet[1].iConnectType, 2);
    ApplyEvent(fleet, scenario->listEvents[1]);
    QVERIFY(!fleet[0].bOnline);
    const QList<stSimPrinter> before = fleet;
    ApplyEvent(fleet, scenario->listEvents[2]);
    QCOMPARE(fleet.size(), before.size());
    QCOMPARE(fleet[0].dwToner, before[0].dwToner);
    ApplyEvent(fleet, scenario->listEvents[3]);
    QCOMPARE(fleet.size(), 1);
    QCOMPARE(fleet[0].strName, QString("B"));
    ApplyEvent(fleet, scenario->listEvents[4]); // A is gone: nothing to bring back
    QCOMPARE(fleet.size(), 1);
}

void TestFleetScenario::everyPresetParses()
{
    QVERIFY(PresetNames().contains("default"));
    for (const QString &name : PresetNames()) {
        QString error;
        QVERIFY2(ParseScenario(PresetText(name), &error), qPrintable(name + ": " + error));
    }
    QVERIFY(PresetText("no-such-preset").isEmpty());

    // The default fleet: four printers, USB and network, one warning, one error.
    const auto scenario = ParseScenario(PresetText("default"));
    QList<stSimPrinter> fleet = scenario->listInitial;
    for (const stSimEvent &event : scenario->listEvents) {
        if (event.iAtMs == 0)
            ApplyEvent(fleet, event);
    }
    QCOMPARE(fleet.size(), 4);
    int usb = 0, warned = 0, failed = 0;
    for (const stSimPrinter &printer : fleet) {
        usb += printer.iConnectType == 1;
        warned += !printer.listWarnings.isEmpty();
        failed += !printer.listErrors.isEmpty();
    }
    QCOMPARE(usb, 2);
    QCOMPARE(warned, 1);
    QCOMPARE(failed, 1);
}

void TestFleetScenario::printerListReadsBackThroughTheTrayReader()
{
    QList<stSimPrinter> fleet{stSimPrinter(), stSimPrinter()};
    fleet[0].strName = "Front \"Desk\"; A,B";
    fleet[0].strModel = "Ruvo K400";
    fleet[0].iConnectType = 1;
    fleet[0].strPort = "serial=RV1";
    fleet[1].strName = "Lab";
    fleet[1].strModel = "Ruvo K401DN";
    fleet[1].iConnectType = 2;
    fleet[1].strPort = "192.168.1.20";

    QTemporaryDir dir;
    QFile file(dir.filePath("printerlist.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(BuildPrinterListIni(fleet));
    file.close();

    const QList<stPrinterInfo> records = ReadPrinterList(file.fileName());
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[0].strName, fleet[0].strName);
    QCOMPARE(records[0].strPort, QString("serial=RV1"));
    QCOMPARE(records[0].iConnectType, 1);
    QCOMPARE(records[0].strURI, QString("usb://Ruvo/K400?serial=RV1"));
    QCOMPARE(records[1].strModel, QString("Ruvo K401DN"));
    QCOMPARE(records[1].iConnectType, 2);
    QCOMPARE(records[1].strURI, QString("socket://192.168.1.20:9100"));
    // The network tool sees only USB printers of network-capable models: none here.
    QVERIFY(ReadPrinterList(file.fileName(), IsUsbPrinterOfNetworkModel).isEmpty());
}

void TestFleetScenario::statusReplyDecodesToTheSimulatedState()
{
    stSimPrinter printer;
    printer.strName = "Desk";
    printer.strModel = "Ruvo K401D";
    printer.strPort = "serial=RV401D2002";
    printer.ucStatus = 0x10;
    printer.dwToner = 4250;
    printer.listErrors = {0x1106};
    printer.listWarnings = {0x110D, 0x11EA};
    printer.dwPages = 70000;

    stPrinterState state;
    QVERIFY(BuildPrinterState(BuildSimStatusReply(printer), state));
    QCOMPARE(state.enCurrentStatus, int(PrinterStatusPrinting));
    QCOMPARE(state.dwRemainingToner, quint64(4250));
    QCOMPARE(state.listError, (QList<enErrorStatus>{ErrorFrontCoverOpen}));
    QCOMPARE(state.listWarning, (QList<enErrorStatus>{ErrorTonerLow, ErrorTonerRunningOut}));
    QCOMPARE(state.dwNumberOfPages, quint64(70000));
    QCOMPARE(state.strPrinterSerialNumber, QString("RV401D2002"));
    QCOMPARE(state.strProductName, QString("Ruvo K401D"));
}

QTEST_GUILESS_MAIN(TestFleetScenario)
#include "test_fleet_scenario.moc"
