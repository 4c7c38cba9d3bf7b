// The list worker and the status workers against real files in the product's
// configuration folder (a private /opt during tests), with the cancel command
// and the sleep replaced where a case needs them.
#include "RuvoPaths.h"
#include "StatusReplyEncoder.h"
#include "TrayRules.h"
#include "TrdDeviceManage.h"
#include "TrdGetPrinterStatus.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <utime.h>

namespace {

QByteArray Reply(quint8 status, quint64 toner, QList<quint16> errors = {}, QList<quint16> warnings = {})
{
    stStatusReply reply;
    reply.vendorName = "Ruvo";
    reply.statusByte = status;
    reply.errorCodes = errors;
    reply.warningCodes = warnings;
    reply.supplies = {NumberSupply(0x1000, toner, 2)};
    return EncodeStatusReply(reply);
}

// Writes the status file and gives it a modification time of its own, so two
// writes within one clock tick still count as a change.
void WriteStatus(const QString &name, const QByteArray &bytes)
{
    static time_t s_stamp = 1700000000;
    QDir().mkpath(RuvoPaths::CfgDir());
    QFile file(RuvoPaths::StatusFile(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    s_stamp += 10;
    const struct utimbuf times = {s_stamp, s_stamp};
    QCOMPARE(::utime(QFile::encodeName(file.fileName()).constData(), &times), 0);
}

stPrinterInfo Info(const QString &name, const QString &uri = "usb://Ruvo/K400?serial=1")
{
    stPrinterInfo info;
    info.strName = name;
    info.strModel = "Ruvo K400";
    info.iConnectType = 1;
    info.strPort = "serial=" + name;
    info.strURI = uri;
    return info;
}

void WritePrinterList(const QList<stPrinterInfo> &printers)
{
    QDir().mkpath(RuvoPaths::CfgDir());
    QFile file(RuvoPaths::PrinterListFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QByteArray text = "[Main]\nCount=" + QByteArray::number(printers.size()) + "\n";
    for (int i = 0; i < printers.size(); ++i) {
        text += "[printer_" + QByteArray::number(i) + "]\nName=" + printers[i].strName.toUtf8()
              + "\nModel=" + printers[i].strModel.toUtf8() + "\nConnectType=" + QByteArray::number(printers[i].iConnectType)
              + "\nPort=\"" + printers[i].strPort.toUtf8() + "\"\nURI=\"" + printers[i].strURI.toUtf8() + "\"\n";
    }
    file.write(text);
}

struct CommandLog {
    QList<QStringList> calls; // program followed by its arguments
    TrdGetPrinterStatus::CommandRunner Runner()
    {
        return [this](const QString &program, const QStringList &arguments) { calls.append(QStringList{program} + arguments); };
    }
};

} // namespace

class TestStatusWorkers : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void unchangedFileIsReadOnce();
    void tenFailedReadsKeepTheStateTheEleventhGoesOfflineOnce();
    void cancelOnceOnEnteringCanceling();
    void statusFileThatIsAFifoIsNotWaitedFor();
    void workerBeyondAShrunkenListIdlesAndResumes();
    void quitIsSeenAtTheNextHalfSecond();
    void quitEndsARunningLoop();
    void listWorkerReplacesOnlyOnNameOrPortChange();
    void printerUnpluggedAndPluggedBackIsAListChangeLikeAnyOther();
};

void TestStatusWorkers::cleanup()
{
    QDir(RuvoPaths::CfgDir()).removeRecursively();
}

void TestStatusWorkers::unchangedFileIsReadOnce()
{
    stSharedPrinterList shared;
    shared.listPrinter = BuildInitialPrinterList({Info("Desk")});
    WriteStatus("Desk", Reply(0x00, 5000));
    TrdGetPrinterStatus worker;
    worker.Init(0, &shared);
    QSignalSpy spy(&worker, &TrdGetPrinterStatus::SgnUpdatePrinterStatus);

    worker.RunCycle();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), 0);
    QCOMPARE(shared.listPrinter[0].enCurrentStatus, int(PrinterStatusReady));
    QCOMPARE(shared.listPrinter[0].dwRemainingToner, quint64(5000));
    QCOMPARE(worker.GetPrinterStatusFile("Desk", false), TrdGetPrinterStatus::c_iStatusUnchanged);
    worker.RunCycle();
    QCOMPARE(spy.count(), 1);

    // Same content written again: re-read, nothing the user sees changed.
    WriteStatus("Desk", Reply(0x00, 5000));
    worker.RunCycle();
    QCOMPARE(spy.count(), 1);
    // Toner alone changes: one signal, and the entry carries the new value.
    WriteStatus("Desk", Reply(0x00, 4990));
    worker.RunCycle();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(shared.listPrinter[0].dwRemainingToner, quint64(4990));
}

void TestStatusWorkers::tenFailedReadsKeepTheStateTheEleventhGoesOfflineOnce()
{
    stSharedPrinterList shared;
    shared.listPrinter = BuildInitialPrinterList({Info("Desk")});
    WriteStatus("Desk", Reply(0x00, 5000, {}, {0x110D}));
    TrdGetPrinterStatus worker;
    worker.Init(0, &shared);
    QSignalSpy spy(&worker, &TrdGetPrinterStatus::SgnUpdatePrinterStatus);
    worker.RunCycle();
    QCOMPARE(spy.count(), 1);

    // A file that is not a status reply counts like a missing one.
    WriteStatus("Desk", QByteArray("not a reply"));
    worker.RunCycle();
    QVERIFY(QFile::remove(RuvoPaths::StatusFile("Desk")));
    for (int cycle = 2; cycle <= 10; ++cycle)
        worker.RunCycle();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(shared.listPrinter[0].enCurrentStatus, int(PrinterStatusReady));
    QCOMPARE(shared.listPrinter[0].listWarning.size(), 1);
    QCOMPARE(shared.listPrinter[0].iReadFailCount, 10);

    worker.RunCycle();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(shared.listPrinter[0].enCurrentStatus, int(PrinterStatusOffline));
    QVERIFY(shared.listPrinter[0].listWarning.isEmpty());
    QCOMPARE(shared.listPrinter[0].dwRemainingToner, quint64(5000));

    for (int cycle = 0; cycle < 25; ++cycle)
        worker.RunCycle();
    QCOMPARE(spy.count(), 2);

    // Back on line: an Off-line printer is re-read every cycle.
    WriteStatus("Desk", Reply(0x00, 5000));
    worker.RunCycle();
    QCOMPARE(spy.count(), 3);
    QCOMPARE(shared.listPrinter[0].enCurrentStatus, int(PrinterStatusReady));
}

void TestStatusWorkers::statusFileThatIsAFifoIsNotWaitedFor()
{
    QDir().mkpath(RuvoPaths::CfgDir());
    QCOMPARE(::mkfifo(QFile::encodeName(RuvoPaths::StatusFile("Desk")).constData(), 0600), 0);
    TrdGetPrinterStatus worker;
    // Opening it would block until a writer came; the test would hang here.
    QCOMPARE(worker.GetPrinterStatusFile("Desk", true), TrdGetPrinterStatus::c_iStatusUnusable);
}

void TestStatusWorkers::cancelOnceOnEnteringCanceling()
{
    const QString name = "Front Desk $(touch x)";
    stSharedPrinterList shared;
    shared.listPrinter = BuildInitialPrinterList({Info(name)});
    TrdGetPrinterStatus worker;
    worker.Init(0, &shared);
    CommandLog commands;
    worker.SetCommandRunner(commands.Runner());

    WriteStatus(name, Reply(0x10, 5000));
    worker.RunCycle();
    QVERIFY(commands.calls.isEmpty());
    WriteStatus(name, Reply(0x03, 5000));
    worker.RunCycle();
    QCOMPARE(commands.calls, (QList<QStringList>{{"cancel", name}}));
    // Still cancelling, toner moves: a change, but no second command.
    WriteStatus(name, Reply(0x03, 4990));
    worker.RunCycle();
    WriteStatus(name, Reply(0x03, 4990));
    worker.RunCycle();
    QCOMPARE(commands.calls.size(), 1);
    WriteStatus(name, Reply(0x00, 4990));
    worker.RunCycle();
    WriteStatus(name, Reply(0x03, 4990));
    worker.RunCycle();
    QCOMPARE(commands.calls.size(), 2);
}

void TestStatusWorkers::workerBeyondAShrunkenListIdlesAndResumes()
{
    stSharedPrinterList shared;
    shared.listPrinter = BuildInitialPrinterList({Info("A"), Info("B"), Info("C")});
    WriteStatus("C", Reply(0x00, 7000));
    TrdGetPrinterStatus worker;
    worker.Init(2, &shared);
    QSignalSpy spy(&worker, &TrdGetPrinterStatus::SgnUpdatePrinterStatus);

    shared.listPrinter = BuildInitialPrinterList({Info("A"), Info("B")});
    for (int cycle = 0; cycle < 3; ++cycle)
        worker.RunCycle();
    QCOMPARE(spy.count(), 0);
    QCOMPARE(shared.listPrinter.size(), 2);

    shared.listPrinter = BuildInitialPrinterList({Info("A"), Info("B"), Info("C")});
    worker.RunCycle();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), 2);
    QCOMPARE(shared.listPrinter[2].dwRemainingToner, quint64(7000));
}

void TestStatusWorkers::quitIsSeenAtTheNextHalfSecond()
{
    TrdGetPrinterStatus worker;
    QList<int> slices;
    worker.SetSleepFunction([&](int milliseconds) {
        slices.append(milliseconds);
        if (slices.size() == 1)
            worker.SlotThreadQuit(); // arrives during the first slice
    });
    QVERIFY(worker.WaitForSleep(1000));
    QCOMPARE(slices, QList<int>{500});

    TrdDeviceManage listWorker;
    QList<int> listSlices;
    listWorker.SetSleepFunction([&](int milliseconds) { listSlices.append(milliseconds); });
    QVERIFY(!listWorker.WaitForSleep(3000));
    QCOMPARE(listSlices, (QList<int>{500, 500, 500, 500, 500, 500}));
    listSlices.clear();
    QVERIFY(!listWorker.WaitForSleep(1250));
    QCOMPARE(listSlices, (QList<int>{500, 500, 250}));
}

void TestStatusWorkers::quitEndsARunningLoop()
{
    stSharedPrinterList shared;
    shared.listPrinter = BuildInitialPrinterList({Info("A")});
    auto *worker = new TrdGetPrinterStatus;
    worker->Init(0, &shared);
    QThread thread;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::started, worker, &TrdGetPrinterStatus::SlotTaskStart);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    // The loop owns the thread's event loop; only a direct call reaches the flag.
    QTRY_VERIFY_WITH_TIMEOUT([&] { std::lock_guard<std::mutex> lock(shared.mutexList);
                                   return shared.listPrinter[0].iReadFailCount > 0; }(), 10000);
    worker->SlotThreadQuit();
    thread.quit();
    QVERIFY(thread.wait(10000));
}

void TestStatusWorkers::listWorkerReplacesOnlyOnNameOrPortChange()
{
    stSharedPrinterList shared;
    TrdDeviceManage worker;
    worker.Init(&shared);
    QSignalSpy spy(&worker, &TrdDeviceManage::SgnUpdatePrinterList);

    QVERIFY(!worker.RunCycle()); // no file, empty list: the same
    WritePrinterList({Info("A"), Info("B")});
    QVERIFY(worker.RunCycle());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(shared.listPrinter.size(), 2);
    shared.listPrinter[0].enCurrentStatus = PrinterStatusPrinting;

    WritePrinterList({Info("A", "usb://changed"), Info("B")});
    QVERIFY(!worker.RunCycle());
    QCOMPARE(shared.listPrinter[0].strURI, QString("usb://Ruvo/K400?serial=1")); // old values kept
    QCOMPARE(shared.listPrinter[0].enCurrentStatus, int(PrinterStatusPrinting));

    WritePrinterList({Info("A"), Info("B"), Info("C")});
    QVERIFY(worker.RunCycle());
    QCOMPARE(spy.count(), 2);
    QCOMPARE(shared.listPrinter.size(), 3);
    QCOMPARE(shared.listPrinter[0].enCurrentStatus, int(PrinterStatusOffline)); // all start again

    QVERIFY(QFile::remove(RuvoPaths::PrinterListFile()));
    QVERIFY(worker.RunCycle());
    QVERIFY(shared.listPrinter.isEmpty());
    QCOMPARE(spy.count(), 3);
}

// The vendor service drops an unplugged printer from the list and removes its
// status file; plugged back, both return. The tray sees two list changes, and
// the printer's status worker idles meanwhile and then reads the new state.
void TestStatusWorkers::printerUnpluggedAndPluggedBackIsAListChangeLikeAnyOther()
{
    stSharedPrinterList shared;
    TrdDeviceManage lists;
    lists.Init(&shared);
    QSignalSpy listChanges(&lists, &TrdDeviceManage::SgnUpdatePrinterList);
    WritePrinterList({Info("A"), Info("B")});
    WriteStatus("B", Reply(0x00, 7000));
    QVERIFY(lists.RunCycle());
    TrdGetPrinterStatus worker;
    worker.Init(1, &shared);
    QSignalSpy states(&worker, &TrdGetPrinterStatus::SgnUpdatePrinterStatus);
    worker.RunCycle();
    QCOMPARE(states.count(), 1);

    WritePrinterList({Info("A")});
    QVERIFY(QFile::remove(RuvoPaths::StatusFile("B")));
    QVERIFY(lists.RunCycle());
    QCOMPARE(listChanges.count(), 2);
    QCOMPARE(shared.listPrinter.size(), 1);
    for (int cycle = 0; cycle < 12; ++cycle)
        worker.RunCycle();
    QCOMPARE(states.count(), 1);

    WritePrinterList({Info("A"), Info("B")});
    WriteStatus("B", Reply(0x03, 6500));
    QVERIFY(lists.RunCycle());
    QCOMPARE(listChanges.count(), 3);
    worker.RunCycle();
    QCOMPARE(states.count(), 2);
    QCOMPARE(states.last().at(0).toInt(), 1);
    QCOMPARE(shared.listPrinter[1].dwRemainingToner, quint64(6500));
}

QTEST_GUILESS_MAIN(TestStatusWorkers)
#include "test_status_workers.moc"
