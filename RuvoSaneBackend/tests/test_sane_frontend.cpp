// A front end calling the backend's entry points directly (no scanimage), for
// what a command-line front end cannot show: a connection the daemon closed
// while idle, a cancel from another thread while sane_read waits, the record
// stream read on while the front end pauses between pages, a cancel after the
// scanner has delivered pages nobody read, and the device's failures.

#include "sane_test_rig.h"

using namespace sane_rig;

class TestSaneFrontend : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void connectionClosedWhileIdleIsReopened();
    void cancelFromAnotherThreadWhileReadWaits();
    void recordsAreReadWhileTheFrontEndPauses();
    void cancelAfterTheScannerDeliveredUnreadPages();
    void scannerFailuresAsSaneCodes_data();
    void scannerFailuresAsSaneCodes();
    void unlistedNetworkNamesAreRefused();
};

void TestSaneFrontend::initTestCase()
{
    QString failure = startFrontEnd("/tmp/frontend-conf", "127.0.0.2\n127.0.0.3\n127.0.0.4\n127.0.0.5\n127.0.0.6\n");
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void TestSaneFrontend::cleanupTestCase()
{
    sane_ruvo_exit();
    endDescendants();
}

void TestSaneFrontend::connectionClosedWhileIdleIsReopened()
{
    Rig rig({"--pages", "1"}, {{"127.0.0.2", {}}}, usbRows());
    QVERIFY(rig.ready());
    SANE_Handle handle = openRunScanner("127.0.0.2");
    QVERIFY(handle);
    chooseSmallGrey(handle, "Flatbed", 40, 30);
    // The daemon ends an idle connection's process; here it is ended outright.
    QVERIFY(eventually([] { return connectionProcesses().size() == 1; }));
    for (pid_t pid : connectionProcesses())
        kill(pid, SIGKILL);
    QVERIFY(eventually([] { return connectionProcesses().isEmpty(); }));
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    SANE_Parameters parameters;
    QCOMPARE(sane_ruvo_get_parameters(handle, &parameters), SANE_STATUS_GOOD);
    qint64 bytes = 0;
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    QCOMPARE(bytes, qint64(parameters.bytes_per_line) * parameters.lines);
    QCOMPARE(parameters.lines, 89); // 30 mm at 75 dpi
    sane_ruvo_cancel(handle);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }));
    sane_ruvo_close(handle);
}

void TestSaneFrontend::cancelFromAnotherThreadWhileReadWaits()
{
    if (usbRows())
        QSKIP("an abort beside the emulated scanner's running read is not something the emulation can serve");
    Rig rig({}, {{"127.0.0.3", {"--block-sizes", "2000", "--block-delay-ms", "40"}}}, false);
    QVERIFY(rig.ready());
    SANE_Handle handle = nullptr;
    QCOMPARE(sane_ruvo_open("net:127.0.0.3", &handle), SANE_STATUS_GOOD);
    chooseSmallGrey(handle, "Flatbed", 200, 250, 150);
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    std::atomic<bool> reading{true};
    std::atomic<int> lastStatus{SANE_STATUS_GOOD};
    // The front end's reading thread; the cancel comes from this one, as a
    // front end's signal handler or button would send it.
    std::thread reader([&] {
        qint64 bytes = 0;
        lastStatus = readFrame(handle, bytes);
        reading = false;
    });
    QVERIFY(eventually([] { return !pageFiles().isEmpty(); }));
    QThread::msleep(200);
    QElapsedTimer timer;
    timer.start();
    sane_ruvo_cancel(handle);
    bool ended = eventually([&] { return !reading.load(); }, 20000);
    if (!ended)
        sane_ruvo_close(handle); // unblocks nothing, but the test must not hang the join
    reader.join();
    QVERIFY(ended);
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(lastStatus.load(), int(SANE_STATUS_CANCELLED));
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }));
    // The scanner is free again.
    chooseSmallGrey(handle, "Flatbed", 20, 5);
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    qint64 bytes = 0;
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    sane_ruvo_cancel(handle);
    sane_ruvo_close(handle);
}

void TestSaneFrontend::recordsAreReadWhileTheFrontEndPauses()
{
    // Many small blocks: three pages bring thousands of 16-byte records, far
    // more than the daemon's send buffer holds.
    Rig rig({"--pages", "3", "--chunk-bytes", "200"}, {{"127.0.0.4", {"--pages", "3", "--block-sizes", "200"}}},
            usbRows());
    QVERIFY(rig.ready());
    SANE_Handle handle = openRunScanner("127.0.0.4");
    QVERIFY(handle);
    chooseSmallGrey(handle, "ADF", 100, 355.6);
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    SANE_Parameters parameters;
    QCOMPARE(sane_ruvo_get_parameters(handle, &parameters), SANE_STATUS_GOOD);
    QCOMPARE(parameters.lines, -1); // a feeder page
    qint64 bytes = 0;
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    QCOMPARE(bytes % parameters.bytes_per_line, qint64(0));
    // The front end pauses; the scanner delivers the other two sheets meanwhile.
    QVERIFY(eventually([] { return pageFiles().size() == 2; }));
    QVERIFY(eventually([] { return connectionProcesses().size() == 1; }));
    // Every record read: the daemon's data process has sent its last one and ended.
    QVERIFY(eventually([] { return !dataProcessRunning(); }));
    for (int page = 1; page < 3; ++page) {
        QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
        QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    }
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_NO_DOCS);
    QVERIFY(pageFiles().isEmpty());
    sane_ruvo_cancel(handle);
    sane_ruvo_close(handle);
}

void TestSaneFrontend::cancelAfterTheScannerDeliveredUnreadPages()
{
    Rig rig({"--pages", "3"}, {{"127.0.0.5", {"--pages", "3"}}}, usbRows());
    QVERIFY(rig.ready());
    SANE_Handle handle = openRunScanner("127.0.0.5");
    QVERIFY(handle);
    chooseSmallGrey(handle, "ADF", 100, 100);
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    qint64 bytes = 0;
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    QVERIFY(eventually([] { return pageFiles().size() == 2; }));
    // The emulated USB scanner cannot serve an abort beside the daemon's
    // running read: there the cancel comes once the scanner is done.
    if (usbRows())
        QVERIFY(eventually([] { return !dataProcessRunning(); }));
    sane_ruvo_cancel(handle);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }, 10000));
    SANE_Byte byte;
    SANE_Int length = 0;
    QCOMPARE(sane_ruvo_read(handle, &byte, 1, &length), SANE_STATUS_CANCELLED);
    // A new batch starts from the first sheet again.
    QCOMPARE(sane_ruvo_start(handle), SANE_STATUS_GOOD);
    QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
    if (usbRows())
        QVERIFY(eventually([] { return !dataProcessRunning(); }));
    sane_ruvo_cancel(handle);
    sane_ruvo_close(handle);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }, 40000));
}

void TestSaneFrontend::scannerFailuresAsSaneCodes_data()
{
    QTest::addColumn<QStringList>("knobs");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("startStatus"); // of the first start
    // Of the second page's start or, when that starts, its first read (GOOD:
    // no second page asked for).
    QTest::addColumn<int>("laterStatus");
    QTest::addRow("busy") << (usbRows() ? QStringList{"--lock-busy"} : QStringList{"--result", "91"}) << "Flatbed"
                          << int(SANE_STATUS_DEVICE_BUSY) << int(SANE_STATUS_GOOD);
    QTest::addRow("feeder empty") << QStringList{"--pages", "0"} << "ADF" << int(SANE_STATUS_NO_DOCS)
                                  << int(SANE_STATUS_GOOD);
    QTest::addRow("jam on the second sheet") << QStringList{"--pages", "3", "--jam-on-page", "1"} << "ADF"
                                             << int(SANE_STATUS_GOOD) << int(SANE_STATUS_JAMMED);
}

void TestSaneFrontend::scannerFailuresAsSaneCodes()
{
    QFETCH(QStringList, knobs);
    QFETCH(QString, source);
    QFETCH(int, startStatus);
    QFETCH(int, laterStatus);
    Rig rig(usbRows() ? knobs : QStringList(), {{"127.0.0.6", usbRows() ? QStringList() : knobs}}, usbRows());
    QVERIFY(rig.ready());
    SANE_Handle handle = openRunScanner("127.0.0.6");
    QVERIFY(handle);
    chooseSmallGrey(handle, source.toUtf8().constData(), 50, 50);
    QCOMPARE(int(sane_ruvo_start(handle)), startStatus);
    if (startStatus == SANE_STATUS_GOOD) {
        qint64 bytes = 0;
        QCOMPARE(readFrame(handle, bytes), SANE_STATUS_EOF);
        SANE_Status later = sane_ruvo_start(handle);
        if (later == SANE_STATUS_GOOD && laterStatus != SANE_STATUS_GOOD)
            later = readFrame(handle, bytes);
        QCOMPARE(int(later), laterStatus);
    }
    sane_ruvo_cancel(handle);
    sane_ruvo_close(handle);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }, 10000));
}

void TestSaneFrontend::unlistedNetworkNamesAreRefused()
{
    Rig rig({}, {{"127.0.0.2", {}}, {"127.0.0.7", {}}}, false);
    QVERIFY(rig.ready());
    // 127.0.0.7 answers like any scanner, but neither ruvo.conf nor the
    // printer list names it: a name from a remote front end cannot reach it.
    SANE_Handle handle = nullptr;
    QCOMPARE(sane_ruvo_open("net:127.0.0.7", &handle), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_open("net:10.1.2.3", &handle), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_open("net:127.0.0.2", &handle), SANE_STATUS_GOOD);
    sane_ruvo_close(handle);
}

QTEST_GUILESS_MAIN(TestSaneFrontend)
#include "test_sane_frontend.moc"
