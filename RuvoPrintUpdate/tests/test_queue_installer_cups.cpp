// The queue installer against a real, private cupsd: queues appear with the
// device URI and driver of the printer list, and names or URIs that a shell
// would execute arrive at lpadmin as plain data.
#include "CupsSandboxFixture.h"
#include "QueueInstaller.h"
#include "UtilCommand.h"
#include "UtilLog.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kListFile = QStringLiteral("/tmp/ruvo_printerlist.ini");

struct stListEntry {
    QString name;
    QString model;
    int connectType;
    QString uri;
};

void WritePrinterList(const QList<stListEntry> &entries)
{
    QSettings list(kListFile, QSettings::IniFormat);
    list.setIniCodec("utf-8");
    list.setValue(QStringLiteral("Main/Count"), entries.size());
    for (int i = 0; i < entries.size(); ++i) {
        list.beginGroup(QStringLiteral("printer_%1").arg(i));
        list.setValue(QStringLiteral("Name"), entries[i].name);
        list.setValue(QStringLiteral("Model"), entries[i].model);
        list.setValue(QStringLiteral("ConnectType"), entries[i].connectType);
        list.setValue(QStringLiteral("Port"), QStringLiteral("serial=1"));
        list.setValue(QStringLiteral("URI"), entries[i].uri);
        list.endGroup();
    }
    list.sync();
}

// The "*ModelName" value of a queue's installed PPD file.
QString InstalledModel(const QString &queue)
{
    const QRegularExpression line(QStringLiteral("^\\*ModelName:\\s*\"([^\"]*)\""),
                                  QRegularExpression::MultilineOption);
    return line.match(QString::fromLatin1(CupsSandboxFixture::InstalledPpd(queue))).captured(1);
}

// A fresh log: series started within the same second share a file name.
void StartLog()
{
    SetLogEnable(true);
    QFile::remove(CurrentLogFile());
}

QStringList LogLines()
{
    QFile log(CurrentLogFile());
    if (!log.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromLocal8Bit(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A marker file that a shell would create if it executed a name or URI ("cd"
// goes to HOME: queue names may not contain a slash).
const QString kMarker = QDir::homePath() + QStringLiteral("/executed");

} // namespace

Q_DECLARE_METATYPE(stListEntry)

class TestQueueInstallerCups : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void createsQueuesInFileOrder();
    void listFileIsConsumed_data();
    void listFileIsConsumed();
    void withoutListFileDoesNothing();
    void programCreatesQueue();
    void hostileValuesStayData_data();
    void hostileValuesStayData();
    void longCommandIsNotCut();
    void failedQueueKeepsTheList();
    void refusedListMakesNoQueue_data();
    void refusedListMakesNoQueue();

private:
    CupsSandboxFixture m_cups;
};

void TestQueueInstallerCups::initTestCase()
{
    const QString failure = m_cups.Start();
    if (!failure.isEmpty())
        QFAIL(qPrintable(failure));
}

void TestQueueInstallerCups::cleanupTestCase()
{
    m_cups.Stop();
}

void TestQueueInstallerCups::cleanup()
{
    CupsSandboxFixture::DeleteAllQueues();
    QFile::remove(kListFile);
    QFile::remove(kMarker);
    SetLogEnable(false);
}

void TestQueueInstallerCups::createsQueuesInFileOrder()
{
    StartLog();
    WritePrinterList({
        {"Office_K400", "Ruvo K400", 1, "usb://Ruvo/K400?serial=A1B2"},
        {"Acme", "Acme Laser 9", 2, "socket://127.0.0.1:9100"},             // not a table model
        {"Hall_M200N", "RUVO m200n", 2, "\"socket://127.0.0.1:9101\""},      // other case, quoted URI
        {"Desk_C610DN", "Ruvo C610DN", 1, "\"usb://Ruvo/C610DN?serial=9\""},
    });
    AddPrinter();

    const QMap<QString, QString> devices = CupsSandboxFixture::QueueDevices();
    QCOMPARE(devices.keys(), QStringList({"Desk_C610DN", "Hall_M200N", "Office_K400"}));
    QCOMPARE(devices.value("Office_K400"), QStringLiteral("usb://Ruvo/K400?serial=A1B2"));
    QCOMPARE(devices.value("Hall_M200N"), QStringLiteral("socket://127.0.0.1:9101"));
    QCOMPARE(devices.value("Desk_C610DN"), QStringLiteral("usb://Ruvo/C610DN?serial=9"));
    QCOMPARE(InstalledModel("Office_K400"), QStringLiteral("Ruvo K400"));
    QCOMPARE(InstalledModel("Hall_M200N"), QStringLiteral("Ruvo M200N"));
    QCOMPARE(InstalledModel("Desk_C610DN"), QStringLiteral("Ruvo C610DN"));

    // The log shows the commands in file order, the unknown model left out.
    QStringList commands;
    for (const QString &line : LogLines()) {
        QVERIFY2(line.contains("AddPrinter"), qPrintable(line));
        commands << line.mid(line.indexOf("lpadmin"));
    }
    QCOMPARE(commands, QStringList({
        R"(lpadmin -p "Office_K400" -E -v "usb://Ruvo/K400?serial=A1B2" -m "Ruvo/Ruvo_K400.ppd")",
        R"(lpadmin -p "Hall_M200N" -E -v "socket://127.0.0.1:9101" -m "Ruvo/Ruvo_M200N.ppd")",
        R"(lpadmin -p "Desk_C610DN" -E -v "usb://Ruvo/C610DN?serial=9" -m "Ruvo/Ruvo_C610DN.ppd")",
    }));
}

void TestQueueInstallerCups::listFileIsConsumed_data()
{
    QTest::addColumn<QList<stListEntry>>("entries");
    QTest::addColumn<QStringList>("queues");
    QTest::addRow("no printers") << QList<stListEntry>{} << QStringList{};
    QTest::addRow("only unknown models")
        << QList<stListEntry>{{"Other", "Ruvo Z999", 1, "usb://Ruvo/Z999"}} << QStringList{};
    QTest::addRow("one printer")
        << QList<stListEntry>{{"One", "Ruvo P300D", 2, "socket://127.0.0.1"}} << QStringList{"One"};
}

void TestQueueInstallerCups::listFileIsConsumed()
{
    QFETCH(QList<stListEntry>, entries);
    QFETCH(QStringList, queues);
    WritePrinterList(entries);
    QVERIFY(QFile::exists(kListFile));
    AddPrinter();
    QVERIFY(!QFile::exists(kListFile));
    QCOMPARE(CupsSandboxFixture::QueueDevices().keys(), queues);
}

void TestQueueInstallerCups::withoutListFileDoesNothing()
{
    StartLog();
    AddPrinter();
    QVERIFY(CupsSandboxFixture::QueueDevices().isEmpty());
    QVERIFY(LogLines().isEmpty());
}

void TestQueueInstallerCups::programCreatesQueue()
{
    WritePrinterList({{"Lab_L510DN", "Ruvo L510DN", 2, "socket://127.0.0.1:9100"}});
    const stCommandResult run = RunCommand(QStringLiteral(RUVO_PRINT_UPDATE_PROGRAM), {}, false);
    QVERIFY(run.bStarted);
    QCOMPARE(run.iExitStatus, 0);
    QCOMPARE(CupsSandboxFixture::QueueDevices().value("Lab_L510DN"), QStringLiteral("socket://127.0.0.1:9100"));
    QCOMPARE(InstalledModel("Lab_L510DN"), QStringLiteral("Ruvo L510DN"));
    QVERIFY(!QFile::exists(kListFile));
}

void TestQueueInstallerCups::hostileValuesStayData_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("uri");
    QTest::addColumn<bool>("cupsAccepts"); // CUPS itself refuses blanks and quotes in names

    QTest::addRow("command substitution in name")
        << "q$(cd;touch${IFS}executed)" << "socket://127.0.0.1:9100" << true;
    QTest::addRow("backquotes in name") << "q`cd;touch${IFS}executed`" << "socket://127.0.0.1:9100" << true;
    QTest::addRow("variable in name") << "q$HOME" << "socket://127.0.0.1:9100" << true;
    QTest::addRow("quote ends the name early")
        << "q\";cd;touch executed;\"" << "socket://127.0.0.1:9100" << false;
    QTest::addRow("blank and backslash in name") << "q \\x" << "socket://127.0.0.1:9100" << false;
    QTest::addRow("command substitution in URI")
        << "uri1" << "socket://127.0.0.1:9100/$(cd;touch${IFS}executed)" << true;
    QTest::addRow("backquotes and backslash in URI")
        << "uri2" << "usb://Ruvo/K400?serial=`cd;touch${IFS}executed`\\1" << true;
    QTest::addRow("quote ends the URI early")
        << "uri3" << "usb://Ruvo/K400?serial=1\";cd;touch executed;\"" << false;
}

void TestQueueInstallerCups::hostileValuesStayData()
{
    QFETCH(QString, name);
    QFETCH(QString, uri);
    QFETCH(bool, cupsAccepts);

    WritePrinterList({{name, "Ruvo K400", 1, uri}});
    AddPrinter();
    QVERIFY2(!QFile::exists(kMarker), "a name or URI was executed");
    const QMap<QString, QString> devices = CupsSandboxFixture::QueueDevices();
    if (cupsAccepts) {
        QCOMPARE(devices.keys(), QStringList{name});
        QCOMPARE(devices.value(name), uri);
    } else {
        QVERIFY(devices.isEmpty());
    }

    // The runner on its own delivers the same arguments unchanged.
    CupsSandboxFixture::DeleteAllQueues();
    RunLpadmin({"-p", name, "-E", "-v", uri, "-m", "Ruvo/Ruvo_K400.ppd"});
    QVERIFY(!QFile::exists(kMarker));
    QCOMPARE(CupsSandboxFixture::QueueDevices().value(name), cupsAccepts ? uri : QString());
}

void TestQueueInstallerCups::longCommandIsNotCut()
{
    // Far beyond the 255 characters a fixed command buffer would hold.
    const QString name = QStringLiteral("Q") + QString(100, QLatin1Char('n'));
    const QString uri = QStringLiteral("socket://127.0.0.1:9100/") + QString(400, QLatin1Char('p'));
    WritePrinterList({{name, "Ruvo K401DN", 2, uri}});
    AddPrinter();
    QCOMPARE(CupsSandboxFixture::QueueDevices().value(name), uri);
    QCOMPARE(InstalledModel(name), QStringLiteral("Ruvo K401DN"));
}

namespace {

struct stRun {
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

stRun RunProgram(const QStringList &arguments, const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(RUVO_PRINT_UPDATE_PROGRAM), arguments);
    stRun run;
    if (program.waitForFinished(60000) && program.exitStatus() == QProcess::NormalExit)
        run.exitCode = program.exitCode();
    run.standardOutput = program.readAllStandardOutput();
    run.standardError = program.readAllStandardError();
    return run;
}

QByteArray ListBytes()
{
    QFile file(kListFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// CUPS not reachable: each queue that could not be made is named on standard
// error, the run fails, and the list stays for the next run.
void TestQueueInstallerCups::failedQueueKeepsTheList()
{
    WritePrinterList({{"Office_K400", "Ruvo K400", 1, "usb://Ruvo/K400?serial=A1"},
                      {"Hall_M200N", "Ruvo M200N", 2, "socket://127.0.0.1:9101"}});
    const QByteArray before = ListBytes();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CUPS_SERVER"), QDir::homePath() + QStringLiteral("/no-cupsd.sock"));
    const stRun run = RunProgram({}, environment);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.standardError.contains("\"Office_K400\""), run.standardError.constData());
    QVERIFY2(run.standardError.contains("\"Hall_M200N\""), run.standardError.constData());
    QCOMPARE(ListBytes(), before);

    // With CUPS back, the same list is used and consumed.
    const stRun again = RunProgram({});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(CupsSandboxFixture::QueueDevices().keys(), QStringList({"Hall_M200N", "Office_K400"}));
    QVERIFY(!QFile::exists(kListFile));
}

void TestQueueInstallerCups::refusedListMakesNoQueue_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addRow("list of another user") << "owner" << QStringList{} << 1;
    QTest::addRow("link to root's list") << "link" << QStringList{} << 1;
    QTest::addRow("--help") << "" << QStringList{"--help"} << 0;
    QTest::addRow("--version") << "" << QStringList{"--version"} << 0;
    QTest::addRow("unknown argument") << "" << QStringList{"--force"} << 2;
    QTest::addRow("a file name") << "" << QStringList{"/tmp/ruvo_printerlist.ini"} << 2;
}

// A list the program may not trust, or a command line that asks something
// else, makes no queue and leaves the list as it was.
void TestQueueInstallerCups::refusedListMakesNoQueue()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    WritePrinterList({{"Office_K400", "Ruvo K400", 1, "usb://Ruvo/K400?serial=A1"}});
    const QString target = QDir::homePath() + QStringLiteral("/root-list.ini");
    if (kind == "owner") {
        QVERIFY(::chown(QFile::encodeName(kListFile).constData(), 65534, 65534) == 0);
    } else if (kind == "link") {
        QVERIFY(QFile::rename(kListFile, target));
        QVERIFY(QFile::link(target, kListFile));
    }
    const QByteArray before = ListBytes();
    const stRun run = RunProgram(arguments);
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 2)
        QVERIFY2(run.standardError.contains("usage: RuvoPrintUpdate"), run.standardError.constData());
    if (exitCode == 0)
        QVERIFY2(run.standardOutput.contains("RuvoPrintUpdate"), run.standardOutput.constData());
    if (kind == "owner" || kind == "link")
        QVERIFY2(run.standardError.contains("neither read nor deleted"), run.standardError.constData());
    QVERIFY(CupsSandboxFixture::QueueDevices().isEmpty());
    QCOMPARE(ListBytes(), before);
    QFile::remove(target);
}

QTEST_GUILESS_MAIN(TestQueueInstallerCups)
#include "test_queue_installer_cups.moc"
