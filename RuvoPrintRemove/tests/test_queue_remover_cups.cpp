// The queue remover against a real, private cupsd: it deletes the USB and
// socket queues whose driver names a supported model and keeps every other.
#include "CupsSandboxFixture.h"
#include "QueueRemover.h"
#include "UtilCommand.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

namespace {

// A shell would create the marker if it executed the name ("cd" goes to HOME:
// queue names may not contain a slash).
const QString kMarker = QDir::homePath() + QStringLiteral("/executed");
const QString kHostileName = QStringLiteral("q$(cd;touch${IFS}executed)`cd;touch${IFS}executed`");

// A PPD file of our own making, handed to lpadmin with -P.
QString WritePpd(const QString &fileName, const QByteArray &modelLines)
{
    const QString path = QStringLiteral("/tmp/") + fileName;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
               "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"TEST.PPD\"\n"
               "*Manufacturer: \"Test\"\n*Product: \"(Test)\"\n" + modelLines +
               "*NickName: \"Test\"\n*ShortNickName: \"Test\"\n*PSVersion: \"(3010.000) 0\"\n"
               "*cupsFilter: \"application/vnd.cups-raw 0 -\"\n");
    return path;
}

bool AddQueue(const QStringList &arguments)
{
    const stCommandResult result = RunLpadmin(arguments);
    return result.bStarted && result.iExitStatus == 0;
}

// The queues every case starts from; those of supported models with USB or
// socket URIs are the ones to go.
void CreateQueues()
{
    const QString otherCase = WritePpd("other_case.ppd", "*ModelName: \"Acme Laser 9\"\n*modelname: \"rUVO m200n\"\n");
    const QString otherMaker = WritePpd("other_maker.ppd", "*ModelName: \"Acme Laser 9\"\n");
    QVERIFY(!otherCase.isEmpty() && !otherMaker.isEmpty());
    QVERIFY(AddQueue({"-p", "Office_K400", "-E", "-v", "usb://Ruvo/K400?serial=A1", "-m", "Ruvo/Ruvo_K400.ppd"}));
    QVERIFY(AddQueue({"-p", "Hall_M200N", "-E", "-v", "socket://127.0.0.1:9100", "-P", otherCase}));
    QVERIFY(AddQueue({"-p", kHostileName, "-E", "-v", "socket://127.0.0.1", "-m", "Ruvo/Ruvo_C600.ppd"}));
    QVERIFY(AddQueue({"-p", "Acme", "-E", "-v", "socket://127.0.0.1:9101", "-P", otherMaker}));
    QVERIFY(AddQueue({"-p", "Net_K400", "-E", "-v", "ipp://127.0.0.1:631/printers/x", "-m", "Ruvo/Ruvo_K400.ppd"}));
    QVERIFY(AddQueue({"-p", "NoDriver", "-E", "-v", "usb://Ruvo/K400?serial=B2"}));
    QCOMPARE(CupsSandboxFixture::QueueDevices().size(), 6);
}

const QStringList kKeptQueues = {"Acme", "Net_K400", "NoDriver"};

} // namespace

class TestQueueRemoverCups : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void listsUsbAndSocketQueues();
    void translatedLpstatGivesSameQueues();
    void deletesQueuesOfSupportedModels_data();
    void deletesQueuesOfSupportedModels();
    void argumentsDeleteNothing_data();
    void argumentsDeleteNothing();

private:
    CupsSandboxFixture m_cups;
};

void TestQueueRemoverCups::initTestCase()
{
    const QString failure = m_cups.Start();
    if (!failure.isEmpty())
        QFAIL(qPrintable(failure));
}

void TestQueueRemoverCups::cleanupTestCase()
{
    m_cups.Stop();
}

void TestQueueRemoverCups::init()
{
    CreateQueues();
}

void TestQueueRemoverCups::cleanup()
{
    CupsSandboxFixture::DeleteAllQueues();
    QFile::remove(kMarker);
    qunsetenv("LC_MESSAGES");
    qunsetenv("LANG");
    qunsetenv("LC_ALL");
}

void TestQueueRemoverCups::listsUsbAndSocketQueues()
{
    QMap<QString, QString> all;
    for (const stPrinterInfo &printer : GetPrinterInfo(false))
        all.insert(printer.strName, printer.strURI);
    QCOMPARE(all.keys(), QStringList({"Acme", "Hall_M200N", "NoDriver", "Office_K400", kHostileName}));
    QCOMPARE(all.value("Office_K400"), QStringLiteral("usb://Ruvo/K400?serial=A1"));

    QMap<QString, QString> models;
    for (const stPrinterInfo &printer : GetPrinterInfo(true))
        models.insert(printer.strName, printer.strModel);
    QCOMPARE(models.keys(), QStringList({"Hall_M200N", "Office_K400", kHostileName}));
    QCOMPARE(models.value("Office_K400"), QStringLiteral("Ruvo K400"));
    QCOMPARE(models.value("Hall_M200N"), QStringLiteral("rUVO m200n"));
    QCOMPARE(models.value(kHostileName), QStringLiteral("Ruvo C600"));
}

void TestQueueRemoverCups::translatedLpstatGivesSameQueues()
{
    // lpstat's own Chinese lines, read by the translated-line rule.
    qputenv("LC_MESSAGES", "zh_CN.UTF-8");
    const QByteArray translated =
        RunCommand(QStringLiteral("lpstat"), {QStringLiteral("-v")}, true).standardOutput;
    qunsetenv("LC_MESSAGES");
    QVERIFY2(!translated.contains("device for"), translated.constData());
    const QByteArray english = CupsSandboxFixture::ListQueues();

    auto names = [](const QByteArray &output) {
        QStringList list;
        for (const stPrinterInfo &printer : ParseLpstatOutput(output))
            list << printer.strName + QLatin1Char(' ') + printer.strURI + QLatin1Char(' ') + printer.strPort;
        list.sort();
        return list;
    };
    QCOMPARE(names(translated).size(), 5);
    QCOMPARE(names(translated), names(english));
}

void TestQueueRemoverCups::deletesQueuesOfSupportedModels_data()
{
    QTest::addColumn<QByteArray>("messageLocale"); // the caller's LC_MESSAGES
    QTest::addColumn<bool>("runProgram");          // the program instead of the call
    QTest::addRow("call") << QByteArray() << false;
    QTest::addRow("call from a Chinese session") << QByteArray("zh_CN.UTF-8") << false;
    QTest::addRow("call from a German session") << QByteArray("de_DE.UTF-8") << false;
    QTest::addRow("program") << QByteArray() << true;
}

void TestQueueRemoverCups::deletesQueuesOfSupportedModels()
{
    QFETCH(QByteArray, messageLocale);
    QFETCH(bool, runProgram);
    if (!messageLocale.isEmpty()) {
        qputenv("LC_MESSAGES", messageLocale);
        qputenv("LANG", messageLocale);
    }
    if (runProgram) {
        const stCommandResult run = RunCommand(QStringLiteral(RUVO_PRINT_REMOVE_PROGRAM), {}, false);
        QVERIFY(run.bStarted);
        QCOMPARE(run.iExitStatus, 0);
    } else {
        DeletePrinter();
    }
    QCOMPARE(CupsSandboxFixture::QueueDevices().keys(), kKeptQueues);
    QVERIFY2(!QFile::exists(kMarker), "a queue name was executed");
    // No working file is left in the product's temp directory.
    const QDir temp(QStringLiteral("/opt/ruvo/k40_series_printer/temp"));
    QVERIFY(temp.exists());
    QCOMPARE(temp.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestQueueRemoverCups::argumentsDeleteNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<bool>("usageOnError"); // the usage text goes to standard error
    QTest::addRow("--help") << QStringList{"--help"} << 0 << false;
    QTest::addRow("--version") << QStringList{"--version"} << 0 << false;
    QTest::addRow("unknown option") << QStringList{"--all"} << 2 << true;
    QTest::addRow("a queue name") << QStringList{"Office_K400"} << 2 << true;
    QTest::addRow("--help after an unknown one") << QStringList{"-x", "--help"} << 2 << true;
}

// Asking the program what it does must not delete the queues it would delete.
void TestQueueRemoverCups::argumentsDeleteNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitStatus);
    QFETCH(bool, usageOnError);
    QProcess program;
    program.start(QStringLiteral(RUVO_PRINT_REMOVE_PROGRAM), arguments);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitStatus);
    const QByteArray usageStream = usageOnError ? program.readAllStandardError() : program.readAllStandardOutput();
    QVERIFY2(usageStream.contains("RuvoPrintRemove"), usageStream.constData());
    QCOMPARE(CupsSandboxFixture::QueueDevices().size(), 6);
}

QTEST_GUILESS_MAIN(TestQueueRemoverCups)
#include "test_queue_remover_cups.moc"
