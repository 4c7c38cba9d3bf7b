// The simulator as a process: the files appear, a status file is replaced only
// when its printer changes, off-line removes it, and SIGTERM ends the process.
#include "PrinterList.h"
#include "UtilPrinterStatus.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {
ino_t InodeOf(const QString &path)
{
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}
stPrinterState ReadState(const QString &path)
{
    QFile file(path);
    stPrinterState state;
    state.enCurrentStatus = -1;
    if (file.open(QIODevice::ReadOnly))
        BuildPrinterState(file.readAll(), state);
    return state;
}
} // namespace

class TestFleetSimulator : public QObject
{
    Q_OBJECT
private slots:
    void followsItsScenario();
    void refusesABadScenario();
};

void TestFleetSimulator::followsItsScenario()
{
    QTemporaryDir dir;
    const QString cfg = dir.filePath("cfg");
    QFile scenario(dir.filePath("fleet.txt"));
    QVERIFY(scenario.open(QIODevice::WriteOnly));
    scenario.write("printer Steady usb K400 serial=S1\n"
                   "printer Moving net K401DN 192.168.1.20\n"
                   "at 0 set Moving status=printing toner=3000\n"
                   "at 1.5 set Moving status=ready toner=2900 errors=0x11B0\n"
                   "at 3 offline Moving\n");
    scenario.close();

    QProcess simulator;
    simulator.setProcessChannelMode(QProcess::ForwardedChannels);
    simulator.start(qEnvironmentVariable("RUVO_FLEET_SIM"), {"--scenario", scenario.fileName(), "--cfg-dir", cfg});
    QVERIFY(simulator.waitForStarted());

    const QString steady = cfg + "/Steady.dat";
    const QString moving = cfg + "/Moving.dat";
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(steady) && QFile::exists(moving), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(cfg + "/service.hb"), 10000);
    const QList<stPrinterInfo> records = ReadPrinterList(cfg + "/printerlist.ini");
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[1].strName, QString("Moving"));
    QCOMPARE(ReadState(steady).enCurrentStatus, int(PrinterStatusReady));

    const ino_t steadyInode = InodeOf(steady);
    QTRY_COMPARE_WITH_TIMEOUT(ReadState(moving).listError, QList<enErrorStatus>{ErrorPaperJamInside}, 10000);
    QCOMPARE(ReadState(moving).dwRemainingToner, quint64(2900));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(moving), 10000);
    // The steady printer's reply never changed, so its file was never replaced.
    QCOMPARE(InodeOf(steady), steadyInode);
    QVERIFY(QDir(cfg).entryList({"*.tmp.*"}, QDir::Files).isEmpty());

    simulator.terminate();
    QVERIFY(simulator.waitForFinished(10000));
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 0);
}

void TestFleetSimulator::refusesABadScenario()
{
    QTemporaryDir dir;
    QProcess simulator;
    simulator.start(qEnvironmentVariable("RUVO_FLEET_SIM"), {"--preset", "no-such-preset", "--cfg-dir", dir.path()});
    QVERIFY(simulator.waitForFinished(10000));
    QCOMPARE(simulator.exitCode(), 2);
    QVERIFY(!QFile::exists(dir.filePath("printerlist.ini")));
}

QTEST_GUILESS_MAIN(TestFleetSimulator)
#include "test_fleet_simulator.moc"
