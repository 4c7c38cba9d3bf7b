// The USB transport against emulated printers: every result code with the log
// lines it leaves, the printer choice by serial number, the claim rules and
// the transfers as the printer receives them.
#include "emulated_printers.h"
#include "UtilLibusb.h"
#include "UtilLog.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString c_strPort = "usb://Ruvo/K400N?serial=RV40N00001";
constexpr int c_iVid = 0x7A3E;
constexpr int c_iPid = 0x0402;

// The 28-byte settings read, written out here rather than taken from the tool.
QByteArray ReadRequest()
{
    return QByteArray::fromHex("A5001950E0B202000001000840104011401240134014401540164017");
}

qint64 LogSize()
{
    return QFileInfo(CurrentLogFile()).size();
}

QString LogSince(qint64 offset)
{
    QFile file(CurrentLogFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    file.seek(offset);
    return QString::fromLocal8Bit(file.readAll());
}

// Each of `expected` appears in `log`, in this order.
bool InOrder(const QString &log, const QStringList &expected, QString &missing)
{
    int from = 0;
    for (const QString &line : expected) {
        const int at = log.indexOf(line, from);
        if (at < 0) {
            missing = line;
            return false;
        }
        from = at + line.size();
    }
    return true;
}

enum class Fault {
    None, NoDevice, OtherSerial, SerialOtherCase, LongSerial, NoSerialString, PortWithoutSerial,
    NoPrinterInterface, OutEndpoint2, Unopenable, OpensOnce, KernelDriver, ClaimFailsAfterDetach,
    ClaimFailsNoDriver, WriteStalls, ShortWrite, ReplyNever, EmptyReply, KernelDriverReplyNever,
};

// The printer is held by the kernel's printer driver before the operation.
bool HeldByDriver(Fault fault)
{
    return fault == Fault::KernelDriver || fault == Fault::ClaimFailsAfterDetach
           || fault == Fault::KernelDriverReplyNever;
}

// How the cable is pulled in the middle of an operation.
enum class Pull { AsTheRequestGoes, WhileTheReplyIsAwaited, AtTheSecondPiece };

int EntriesIn(const char *folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

// The fewest entries seen over a fifth of a second: the emulator's threads in
// this process open and close files of their own at any moment, which are not
// the transport's. A descriptor or thread the transport leaks stays in every
// look.
int SettledEntriesIn(const char *folder)
{
    int fewest = EntriesIn(folder);
    for (int look = 0; look < 10; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fewest = std::min(fewest, EntriesIn(folder));
    }
    return fewest;
}

} // namespace
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Pull)

class TestUtilLibusb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exchangeResultsAndLogLines_data();
    void exchangeResultsAndLogLines();
    void libraryThatCannotStart();
    void choosesThePrinterBySerialWhicheverEnumeratesFirst();
    void oneWaySendCarriesTheWholeBufferOnceInPieces_data();
    void oneWaySendCarriesTheWholeBufferOnceInPieces();
    void portSerialRule_data();
    void portSerialRule();
    void printerPulledOutMidOperationLeavesNothingBehind_data();
    void printerPulledOutMidOperationLeavesNothingBehind();
};

void TestUtilLibusb::initTestCase()
{
    SetLogEnable(true);
    QVERIFY(IsLogEnabled());
}

void TestUtilLibusb::exchangeResultsAndLogLines_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("errorLine");

    const QString done = "*** success! \n";
    QTest::addRow("answered") << Fault::None << 0 << QStringList{"*** iRecvSize = ", done} << false;
    QTest::addRow("zero-length reply is a transport success")
        << Fault::EmptyReply << 0 << QStringList{"*** iRecvSize = 0 \n", done} << false;
    QTest::addRow("serial in other letter case matches")
        << Fault::SerialOtherCase << 0 << QStringList{done} << false;
    QTest::addRow("serial longer than ten characters matches on ten")
        << Fault::LongSerial << 0 << QStringList{done} << false;
    QTest::addRow("kernel driver detached, second claim succeeds")
        << Fault::KernelDriver << 0 << QStringList{done} << false;
    QTest::addRow("no printer attached")
        << Fault::NoDevice << -2
        << QStringList{"*** get_device_descriptor failed! \n", "*** error=LIBUSB_ERROR_INVALID_PARAM \n", done}
        << true;
    QTest::addRow("other serial") << Fault::OtherSerial << -2
                                  << QStringList{"*** get_device_descriptor failed! \n", done} << true;
    QTest::addRow("device names no serial string")
        << Fault::NoSerialString << -2 << QStringList{"*** get_device_descriptor failed! \n", done} << true;
    QTest::addRow("port without serial=")
        << Fault::PortWithoutSerial << -2 << QStringList{"*** get_device_descriptor failed! \n", done} << true;
    QTest::addRow("node nobody may open is never a candidate")
        << Fault::Unopenable << -2 << QStringList{"*** get_device_descriptor failed! \n", done} << true;
    QTest::addRow("no printer-class interface")
        << Fault::NoPrinterInterface << -3
        << QStringList{"*** get_device_endpoint failed! rv:-2 \n", "*** error=LIBUSB_ERROR_INVALID_PARAM \n", done}
        << true;
    QTest::addRow("bulk OUT endpoint is not 0x01")
        << Fault::OutEndpoint2 << -3 << QStringList{"*** get_device_endpoint failed! rv:-2 \n", done} << true;
    QTest::addRow("open refused after the search")
        << Fault::OpensOnce << -4
        << QStringList{"*** Permission denied or Can not find the USB board (Maybe the USB driver has not "
                       "been installed correctly), quit!\n",
                       done}
        << false;
    QTest::addRow("claim fails again after the detach")
        << Fault::ClaimFailsAfterDetach << -5
        << QStringList{"*** libusb_claim_interface failed! rv-6\n", "*** error=LIBUSB_ERROR_BUSY \n", done}
        << true;
    QTest::addRow("claim fails and no driver to detach")
        << Fault::ClaimFailsNoDriver << -5
        << QStringList{"*** libusb_detach_kernel_driver failed! rv-5\n", "*** error=LIBUSB_ERROR_NOT_FOUND \n",
                       done}
        << true;
    QTest::addRow("write stalls") << Fault::WriteStalls << -7
                                  << QStringList{"*** bulk_transfer failed! \n", "*** error=LIBUSB_ERROR_PIPE \n", done}
                                  << true;
    QTest::addRow("short write") << Fault::ShortWrite << -7
                                 << QStringList{"*** bulk_transfer failed! \n", done} << false;
    QTest::addRow("reply never comes")
        << Fault::ReplyNever << -7
        << QStringList{"*** bulk_transfer failed! \n", "*** error=LIBUSB_ERROR_TIMEOUT \n", done} << true;
    QTest::addRow("kernel driver detached, reply never comes")
        << Fault::KernelDriverReplyNever << -7
        << QStringList{"*** bulk_transfer failed! \n", "*** error=LIBUSB_ERROR_TIMEOUT \n", done} << true;
}

void TestUtilLibusb::exchangeResultsAndLogLines()
{
    QFETCH(Fault, fault);
    QFETCH(int, result);
    QFETCH(QStringList, lines);
    QFETCH(bool, errorLine);

    usbemu::Emulator emulator;
    QVERIFY(emulator.IsValid());
    usbemu::PrinterConfig config;
    QString port = c_strPort;
    switch (fault) {
    case Fault::OtherSerial: config.serial = "RV40N00002"; break;
    case Fault::SerialOtherCase: config.serial = "rv40n00001"; break;
    case Fault::LongSerial: config.serial = "RV40N00001-B"; break;
    case Fault::NoSerialString: config.serial.clear(); break;
    case Fault::PortWithoutSerial: port = "usb://Ruvo/K400N?RV40N00001"; break;
    case Fault::NoPrinterInterface: config.bPrinterInterface = false; break;
    case Fault::OutEndpoint2: config.outEndpoint = 0x02; break;
    case Fault::Unopenable: config.bUnopenable = true; break;
    case Fault::OpensOnce: config.openableTimes = 1; break;
    case Fault::KernelDriver: config.claim = usbemu::ClaimBehaviour::HeldByKernelDriver; break;
    case Fault::KernelDriverReplyNever:
        config.claim = usbemu::ClaimBehaviour::HeldByKernelDriver;
        config.bReplyNever = true;
        break;
    case Fault::ClaimFailsAfterDetach: config.claim = usbemu::ClaimBehaviour::AlwaysBusyAfterDetach; break;
    case Fault::ClaimFailsNoDriver: config.claim = usbemu::ClaimBehaviour::AlwaysBusyNoDriver; break;
    case Fault::WriteStalls: config.bFailBulkOut = true; break;
    case Fault::ShortWrite: config.shortWriteBy = 3; break;
    case Fault::ReplyNever: config.bReplyNever = true; break;
    default: break;
    }
    // A mouse of another maker is always attached, so the library starts.
    usbemu::PrinterConfig other;
    other.vendorId = 0x1234;
    other.productId = 0x5678;
    other.serial = "RV40N00001";
    QVERIFY(emulator.AddPrinter(other) >= 0);
    int printer = -1;
    if (fault != Fault::NoDevice) {
        printer = emulator.AddPrinter(config);
        QVERIFY(printer >= 0);
    }
    if (fault == Fault::EmptyReply)
        emulator.SetRawReply(printer, {});

    QByteArray request = ReadRequest();
    unsigned char reply[1024] = {};
    int received = -1;
    const qint64 logStart = LogSize();
    int code = 0;
    {
        // Root opens any node; the rights of the node only count without that override.
        usbemu::ScopedOrdinaryFileAccess ordinary;
        code = USBSendRecvData(c_iVid, c_iPid, port, reinterpret_cast<unsigned char *>(request.data()),
                               request.size(), reply, sizeof reply, &received);
    }
    const QString log = LogSince(logStart);
    QCOMPARE(code, result);
    QString missing;
    QVERIFY2(InOrder(log, lines, missing), qPrintable("missing \"" + missing + "\" in:\n" + log));
    QCOMPARE(log.contains("*** error="), errorLine);
    QCOMPARE(log.count("*** success! \n"), 1);

    if (result == 0) {
        const std::vector<usbemu::Bytes> sent = emulator.OutTransfers(printer);
        QCOMPARE(sent.size(), size_t(1));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(sent[0].data()), int(sent[0].size())), request);
        QVERIFY(log.contains(QString("*** iRecvSize = %1 \n").arg(received)));
        if (fault != Fault::EmptyReply) {
            QVERIFY(received > 6);
            QCOMPARE(static_cast<int>(reply[0]), 0xA5);
        }
    }
    // The printer goes back to the driver that held it, whatever the result,
    // so its /dev/usb/lp node returns for other programs.
    if (HeldByDriver(fault))
        QVERIFY2(emulator.KernelDriverAttached(printer), "the kernel driver was not attached again");
}

void TestUtilLibusb::libraryThatCannotStart()
{
    // The library cannot start when it gets no descriptor for its event
    // sources. Allow a few new descriptors at a time: too few leave none for
    // the log file either, enough let the library start; in between it fails.
    usbemu::Emulator emulator;
    QVERIFY(emulator.AddPrinter({}) >= 0);
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = dup(0);
    QVERIFY(lowestFree >= 0);
    close(lowestFree);

    bool seen = false;
    QString log;
    for (int spare = 1; spare <= 8 && !seen; ++spare) {
        const qint64 logStart = LogSize();
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
        char byte = 0;
        const int code = FWUpdateTask(c_iVid, c_iPid, c_strPort, &byte, 1);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
        log = LogSince(logStart);
        if (code == -1) {
            QString missing;
            QVERIFY2(InOrder(log, {"*** initial USB lib failed! \n", "*** init_libusb failed! \n"}, missing),
                     qPrintable(log));
            QVERIFY2(!log.contains("*** success!"), "nothing was acquired, so there is no clean-up line");
            seen = true;
        }
    }
    QVERIFY2(seen, "no descriptor limit made the library fail to start");
}

void TestUtilLibusb::choosesThePrinterBySerialWhicheverEnumeratesFirst()
{
    usbemu::Emulator emulator;
    usbemu::PrinterConfig first;
    first.serial = "RV40N00001";
    usbemu::PrinterConfig second;
    second.serial = "RV40N00002";
    const int a = emulator.AddPrinter(first);
    const int b = emulator.AddPrinter(second);
    QVERIFY(a >= 0 && b >= 0);

    char payloadA[] = "for the first";
    char payloadB[] = "for the second";
    QCOMPARE(FWUpdateTask(c_iVid, c_iPid, "usb://Ruvo/K400N?serial=RV40N00001", payloadA, 13), 0);
    QCOMPARE(FWUpdateTask(c_iVid, c_iPid, "usb://Ruvo/K400N?serial=RV40N00002", payloadB, 14), 0);
    const auto sentA = emulator.OutTransfers(a);
    const auto sentB = emulator.OutTransfers(b);
    QCOMPARE(sentA.size(), size_t(1));
    QCOMPARE(sentB.size(), size_t(1));
    QCOMPARE(std::string(sentA[0].begin(), sentA[0].end()), std::string("for the first"));
    QCOMPARE(std::string(sentB[0].begin(), sentB[0].end()), std::string("for the second"));
}

void TestUtilLibusb::oneWaySendCarriesTheWholeBufferOnceInPieces_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("stallAfter"); // bytes the printer takes before it stops reading; -1 never
    QTest::addColumn<int>("result");
    QTest::addColumn<QList<int>>("pieces"); // as the printer receives them
    constexpr int piece = 64 * 1024;
    QTest::addRow("empty image as a zero-length transfer") << 0 << -1 << 0 << QList<int>{0};
    QTest::addRow("image of 100000 bytes") << 100000 << -1 << 0 << QList<int>{piece, 100000 - piece};
    QTest::addRow("image above the kernel's 16 MiB request limit")
        << 17 * 1024 * 1024 + 5 << -1 << 0 << QList<int>{};
    QTest::addRow("printer stops reading after three pieces")
        << 10 * piece << 3 * piece << -7 << QList<int>{piece, piece, piece};
}

void TestUtilLibusb::oneWaySendCarriesTheWholeBufferOnceInPieces()
{
    QFETCH(int, length);
    QFETCH(int, stallAfter);
    QFETCH(int, result);
    QFETCH(QList<int>, pieces);
    usbemu::Emulator emulator;
    usbemu::PrinterConfig config;
    config.stallOutAfterBytes = stallAfter;
    const int printer = emulator.AddPrinter(config);
    QVERIFY(printer >= 0);
    QByteArray image(length, '\0');
    for (int i = 0; i < length; ++i)
        image[i] = static_cast<char>((i * 7 + 3) & 0xFF);

    stOneWayOptions options;
    options.uPieceTimeoutMs = 400;
    QList<qint64> reported;
    QList<qint64> totals;
    options.progress = [&reported, &totals](qint64 sent, qint64 total) {
        reported << sent;
        totals << total;
    };
    const qint64 logStart = LogSize();
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(FWUpdateTask(c_iVid, c_iPid, c_strPort, image.constData(), length, options), result);
    const qint64 elapsed = clock.elapsed();
    const QString log = LogSince(logStart);
    QString missing;
    const QStringList lines = result == 0
        ? QStringList{QString("*** length = %1 \n").arg(length), "*** success! \n"}
        : QStringList{"*** bulk_transfer failed! \n", "*** error=LIBUSB_ERROR_TIMEOUT \n", "*** success! \n"};
    QVERIFY2(InOrder(log, lines, missing), qPrintable(log));
    QVERIFY(!log.contains("iRecvSize"));

    QByteArray received;
    QList<int> sizes;
    for (const auto &transfer : emulator.OutTransfers(printer)) {
        received += QByteArray(reinterpret_cast<const char *>(transfer.data()), int(transfer.size()));
        sizes << int(transfer.size());
    }
    if (result == 0) {
        QCOMPARE(received, image);
        QVERIFY2(*std::max_element(sizes.begin(), sizes.end()) <= 64 * 1024, "a piece larger than 64 KiB");
        if (length > 0)
            QCOMPARE(reported.last(), qint64(length));
    } else {
        // The printer kept what it took; the stalled piece ends the send within its limit.
        QCOMPARE(received, image.left(stallAfter));
        QVERIFY2(elapsed >= options.uPieceTimeoutMs, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < options.uPieceTimeoutMs + 20000, qPrintable(QString::number(elapsed)));
    }
    if (!pieces.isEmpty())
        QCOMPARE(sizes, pieces);
    // Progress rises with every piece taken and always counts against the whole image.
    QCOMPARE(reported.size(), result == 0 ? (length + 64 * 1024 - 1) / (64 * 1024) : stallAfter / (64 * 1024));
    for (int i = 1; i < reported.size(); ++i)
        QVERIFY(reported[i] > reported[i - 1]);
    for (qint64 total : totals)
        QCOMPARE(total, qint64(length));
}

void TestUtilLibusb::portSerialRule_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QByteArray>("deviceSerial");
    QTest::addColumn<bool>("matches");
    QTest::addRow("same") << "usb://Ruvo/K400N?serial=AB12345678" << QByteArray("AB12345678") << true;
    QTest::addRow("case differs") << "usb://Ruvo/K400N?serial=ab12345678" << QByteArray("AB12345678") << true;
    QTest::addRow("only ten characters count")
        << "usb://Ruvo/K400N?serial=AB12345678XX" << QByteArray("AB12345678YY") << true;
    QTest::addRow("device serial shorter") << "usb://Ruvo/K400N?serial=AB12345678" << QByteArray("AB1234") << false;
    QTest::addRow("first serial= counts")
        << "x?serial=AB12345678&serial=CD12345678" << QByteArray("CD12345678") << false;
    QTest::addRow("no serial= reads from position 6")
        << "abcdefAB12345678" << QByteArray("AB12345678") << true;
}

void TestUtilLibusb::portSerialRule()
{
    QFETCH(QString, port);
    QFETCH(QByteArray, deviceSerial);
    QFETCH(bool, matches);
    QCOMPARE(SerialMatches(SerialFromPort(port), deviceSerial), matches);
}

void TestUtilLibusb::printerPulledOutMidOperationLeavesNothingBehind_data()
{
    QTest::addColumn<Pull>("pull");
    QTest::addColumn<bool>("heldByDriver");
    QTest::addRow("exchange, printer the driver held, pulled out as the request goes")
        << Pull::AsTheRequestGoes << true;
    QTest::addRow("exchange, printer the driver held, pulled out while the reply is awaited")
        << Pull::WhileTheReplyIsAwaited << true;
    QTest::addRow("one-way send, printer the driver held, pulled out at the second piece")
        << Pull::AtTheSecondPiece << true;
    QTest::addRow("exchange, free printer, pulled out as the request goes") << Pull::AsTheRequestGoes << false;
}

// The operation that took the printer from its kernel driver gives it back
// to a device that is already gone: every round fails as a transfer on a
// vanished device, and after all of them the process holds no more
// descriptors or threads than before (the emulation also stops a process at
// 50 open device nodes), and the printer, plugged back, works and is given
// back to its driver again.
void TestUtilLibusb::printerPulledOutMidOperationLeavesNothingBehind()
{
    QFETCH(Pull, pull);
    QFETCH(bool, heldByDriver);
    usbemu::Emulator emulator;
    const int printer = usbtest::AddPrinter(emulator, heldByDriver);
    QVERIFY(printer >= 0);

    QByteArray request = ReadRequest();
    QByteArray image(3 * c_iOneWayPieceSize, '\x5A');
    unsigned char reply[1024] = {};
    auto operate = [&]() {
        int received = 0;
        if (pull == Pull::AtTheSecondPiece)
            return FWUpdateTask(c_iVid, c_iPid, c_strPort, image.data(), image.size());
        return USBSendRecvData(c_iVid, c_iPid, c_strPort, reinterpret_cast<unsigned char *>(request.data()),
                               request.size(), reply, sizeof reply, &received);
    };
    // The first operation opens what stays open for the process's life (the log among it).
    QCOMPARE(operate(), 0);
    const int descriptors = SettledEntriesIn("/proc/self/fd");
    const int threads = SettledEntriesIn("/proc/self/task");

    constexpr int rounds = 6;
    for (int round = 0; round < rounds; ++round) {
        std::atomic<bool> done{false};
        std::thread puller;
        if (pull == Pull::WhileTheReplyIsAwaited) {
            emulator.SetReplyNever(printer, true);
            const size_t sentBefore = emulator.OutTransfers(printer).size();
            puller = std::thread([&, sentBefore]() {
                while (!done && emulator.OutTransfers(printer).size() == sentBefore)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                emulator.Unplug(printer);
            });
        } else {
            emulator.UnplugAtOutTransfer(printer, pull == Pull::AtTheSecondPiece ? 1 : 0);
        }
        const qint64 logStart = LogSize();
        const int code = operate();
        done = true;
        if (puller.joinable())
            puller.join();
        const QString log = LogSince(logStart);
        QCOMPARE(code, -7);
        QVERIFY2(log.contains("*** error=LIBUSB_ERROR_NO_DEVICE \n"), qPrintable(log));
        QCOMPARE(log.count("*** success! \n"), 1);
        QVERIFY(emulator.WaitUntilPresent(printer, false, 5000));
        emulator.SetReplyNever(printer, false);
        emulator.PlugBack(printer);
        QVERIFY(emulator.Present(printer));
    }

    emulator.ClearRecords(printer);
    QCOMPARE(operate(), 0);
    QCOMPARE(emulator.OutTransfers(printer).size(), size_t(pull == Pull::AtTheSecondPiece ? 3 : 1));
    QCOMPARE(SettledEntriesIn("/proc/self/fd"), descriptors);
    QCOMPARE(SettledEntriesIn("/proc/self/task"), threads);
    QVERIFY2(usbtest::BackWithItsDriver(emulator, printer, heldByDriver), "the printer was not given back to its driver");
}

int main(int argc, char **argv)
{
    // libusb in this process must see the emulated printers.
    usbemu::EnsurePreloaded(argc, argv);
    QCoreApplication application(argc, argv);
    TestUtilLibusb test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_utillibusb.moc"
