// The firmware updater's window end to end against an emulated printer.
#include "RuvoPaths.h"
#include "emulated_printers.h"
#include "widget.h"

#include <QDateTime>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct stShownBox {
    QString strText;
    QStringList buttonTexts;
    QString strDefaultButton;
    qint64 llShownAtMs = 0; // wall clock, ms since the epoch
};

// What the user saw from pressing "一键升级" until the closing message.
struct stRun {
    QList<stShownBox> boxes;
    QString strProgressText;  // the progress dialog's text, when one showed
    QList<int> percents;      // the values its bar showed, in order, without repeats
    bool bControlsEnabledDuringWrite = false;
    qint64 llElapsedMs = 0;
};

// Presses "一键升级" and answers every message box it opens (a question with
// `answer`, a message with its only button) until the update has ended,
// watching the progress dialog meanwhile.
stRun PressAndAnswer(Widget &window, QMessageBox::StandardButton answer = QMessageBox::Ok)
{
    stRun run;
    auto *start = window.findChild<QPushButton *>("buttonOK");
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&run, &window, start, answer]() {
        if (auto *dialog = window.findChild<QDialog *>("progressDialog"); dialog && dialog->isVisible()) {
            run.strProgressText = dialog->findChild<QLabel *>("labelProgress")->text();
            const int percent = dialog->findChild<QProgressBar *>("progressBar")->value();
            if (run.percents.isEmpty() || run.percents.last() != percent)
                run.percents << percent;
            run.bControlsEnabledDuringWrite = run.bControlsEnabledDuringWrite || start->isEnabled();
        }
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            stShownBox record{box->text(), {}, box->defaultButton() ? box->defaultButton()->text() : QString(),
                              QDateTime::currentMSecsSinceEpoch()};
            for (QAbstractButton *b : box->buttons())
                record.buttonTexts << b->text();
            run.boxes << record;
            QAbstractButton *press = box->button(answer) ? box->button(answer) : box->button(QMessageBox::Ok);
            press->click();
        }
    });
    QElapsedTimer clock;
    clock.start();
    timer.start();
    start->click();
    // The closing message is answered inside this wait, before the update counts as ended.
    while (window.IsUpdating() && clock.elapsed() < 300000)
        QTest::qWait(20);
    run.llElapsedMs = clock.elapsed();
    timer.stop();
    return run;
}

QByteArray Bytes(const usbemu::Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()));
}

void WriteList(const std::vector<usbemu::PrinterListEntry> &entries)
{
    QDir().mkpath(RuvoPaths::CfgDir());
    QVERIFY(usbemu::WritePrinterList(RuvoPaths::PrinterListFile().toStdString(), entries));
}

usbemu::PrinterListEntry UsbEntry(const std::string &name, const std::string &model = "Ruvo K400N")
{
    return {name, model, 1, "usb://Ruvo/K400N?serial=RV40N00001", "usb://Ruvo/K400N?serial=RV40N00001"};
}

QString WriteImage(const QByteArray &content)
{
    const QString path = QDir::tempPath() + "/firmware.fls";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return {};
    return path;
}

QByteArray Pattern(int size)
{
    QByteArray image(size, '\0');
    quint32 state = 0x12345678;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        image[i] = static_cast<char>(state >> 24);
    }
    return image;
}

// The window with row 0 chosen and `path` typed.
void Prepare(Widget &window, const QString &path)
{
    auto *table = window.findChild<QTableWidget *>("tablePrinterList");
    table->setCurrentCell(0, 0);
    window.findChild<QLineEdit *>("lineFilePath")->setText(path);
}

QByteArray Received(const usbemu::Emulator &emulator, int printer)
{
    QByteArray all;
    for (const auto &transfer : emulator.OutTransfers(printer))
        all += Bytes(transfer);
    return all;
}

} // namespace

class TestFwUpdateWindow : public QObject
{
    Q_OBJECT

private slots:
    void tableShowsUsbPrintersAndTheirState();
    void sendsTheImageByteForByteInPieces_data();
    void sendsTheImageByteForByteInPieces();
    void printerThatStopsReadingFailsAfterThreeAttempts();
    void pastedUrlIsShortenedInTheField();
    void cancelSendsNothing();
    void failingTransferIsTriedThreeTimesFromTheFirstByte();
    void printerPulledOutDuringTheWriteIsNotTriedAgain_data();
    void printerPulledOutDuringTheWriteIsNotTriedAgain();
    void vanishedPrinterIsTriedThreeTimes();
    void checksBeforeSending_data();
    void checksBeforeSending();
};

void TestFwUpdateWindow::tableShowsUsbPrintersAndTheirState()
{
    WriteList({UsbEntry("Front"), {"Net", "Ruvo K400N", 2, "10.0.0.5", "socket://10.0.0.5"}, UsbEntry("Back")});
    QFile status(RuvoPaths::StatusFile("Back"));
    QVERIFY(status.open(QIODevice::WriteOnly));
    status.close();

    Widget window;
    auto *table = window.findChild<QTableWidget *>("tablePrinterList");
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(table->item(0, 0)->text(), QString("Front"));
    QCOMPARE(table->item(1, 0)->text(), QString("Back"));
    QCOMPARE(table->item(0, 2)->text(), QString("USB"));
    QCOMPARE(table->item(1, 2)->text(), QString("USB"));
    QCOMPARE(table->item(0, 3)->text(), QString::fromUtf8("未连接"));
    QCOMPARE(table->item(1, 3)->text(), QString::fromUtf8("已连接"));

    QVERIFY(QFile::remove(RuvoPaths::StatusFile("Back")));
    QVERIFY(QFile(RuvoPaths::StatusFile("Front")).open(QIODevice::WriteOnly));
    window.findChild<QPushButton *>("buttonRefresh")->click();
    QCOMPARE(table->item(0, 3)->text(), QString::fromUtf8("已连接"));
    QCOMPARE(table->item(1, 3)->text(), QString::fromUtf8("未连接"));
    QFile::remove(RuvoPaths::StatusFile("Front"));
}

void TestFwUpdateWindow::sendsTheImageByteForByteInPieces_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("heldByDriver");
    QTest::addRow("64 MiB image") << 64 * 1024 * 1024 << false;
    QTest::addRow("empty file as a zero-length transfer") << 0 << false;
    QTest::addRow("printer held by its kernel driver") << 300000 << true;
}

void TestFwUpdateWindow::sendsTheImageByteForByteInPieces()
{
    QFETCH(int, size);
    QFETCH(bool, heldByDriver);
    usbemu::Emulator emulator;
    const int printer = usbtest::AddPrinter(emulator, heldByDriver);
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office")});
    const QByteArray image = Pattern(size);
    const QString path = WriteImage(image);
    QVERIFY(!path.isEmpty());

    Widget window;
    Prepare(window, path);
    const stRun run = PressAndAnswer(window);
    QCOMPARE(run.boxes.size(), 2);
    QCOMPARE(run.boxes[0].strText, QString::fromUtf8("是否升级打印机 Office ？"));
    QCOMPARE(run.boxes[0].buttonTexts.size(), 2);
    QVERIFY(run.boxes[0].buttonTexts.contains(QString::fromUtf8("确  定")));
    QCOMPARE(run.boxes[0].strDefaultButton, QString::fromUtf8("取  消"));
    QCOMPARE(run.boxes[1].strText, QString::fromUtf8("操作成功，请等待打印机更新完成，更新过程中请勿断开电源。"));
    QCOMPARE(run.boxes[1].buttonTexts, QStringList{QString::fromUtf8("确  定")});
    qInfo("%d bytes sent in %lld ms", size, run.llElapsedMs);

    const auto sent = emulator.OutTransfers(printer);
    QVERIFY(Received(emulator, printer) == image);
    QCOMPARE(int(sent.size()), size == 0 ? 1 : (size + 65535) / 65536);
    for (const auto &piece : sent)
        QVERIFY(piece.size() <= 65536);
    QVERIFY2(usbtest::BackWithItsDriver(emulator, printer, heldByDriver), "the printer was not given back to its driver");
    QVERIFY(window.findChild<QPushButton *>("buttonOK")->isEnabled());
    QVERIFY(!window.findChild<QDialog *>("progressDialog"));

    if (size < 64 * 1024 * 1024)
        return;
    // A long write shows the dialog, its warning and a rising share, with the
    // window's controls disabled meanwhile.
    QVERIFY(run.strProgressText.contains("Office"));
    QVERIFY(run.strProgressText.contains(QString::fromUtf8("请勿断开")));
    QVERIFY2(run.percents.size() >= 3, qPrintable(QString("percent values seen: %1").arg(run.percents.size())));
    QVERIFY(std::is_sorted(run.percents.begin(), run.percents.end()));
    QVERIFY(!run.bControlsEnabledDuringWrite);
}

void TestFwUpdateWindow::printerThatStopsReadingFailsAfterThreeAttempts()
{
    constexpr int limitMs = 500;
    constexpr int takenPerAttempt = 5 * 65536;
    usbemu::Emulator emulator;
    usbemu::PrinterConfig config;
    config.stallOutAfterBytes = takenPerAttempt;
    const int printer = emulator.AddPrinter(config);
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office")});
    const QByteArray image = Pattern(1024 * 1024);
    const QString path = WriteImage(image);

    Widget window;
    window.SetPieceTimeLimit(limitMs);
    Prepare(window, path);
    const stRun run = PressAndAnswer(window);
    QCOMPARE(run.boxes.size(), 2);
    QCOMPARE(run.boxes[1].strText, QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试更新！"));
    // Three attempts of five pieces taken and one that stalls, each from the first byte.
    QCOMPARE(emulator.OutTransferAttempts(printer), 3 * 6);
    QCOMPARE(Received(emulator, printer), image.left(takenPerAttempt).repeated(3));
    // Three stalled pieces and two pauses: about three times the limit.
    QVERIFY2(run.llElapsedMs >= 3 * limitMs, qPrintable(QString::number(run.llElapsedMs)));
    QVERIFY2(run.llElapsedMs < 3 * limitMs + 30000, qPrintable(QString::number(run.llElapsedMs)));
}

void TestFwUpdateWindow::pastedUrlIsShortenedInTheField()
{
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office")});
    const QString path = WriteImage("abc");
    QVERIFY(!path.isEmpty());

    Widget window;
    Prepare(window, "file://" + path);
    const QList<stShownBox> shown = PressAndAnswer(window).boxes;
    QCOMPARE(window.findChild<QLineEdit *>("lineFilePath")->text(), path);
    QCOMPARE(shown.size(), 2);
    QCOMPARE(Bytes(emulator.OutTransfers(printer).at(0)), QByteArray("abc"));
}

void TestFwUpdateWindow::cancelSendsNothing()
{
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office")});
    const QString path = WriteImage("abc");

    Widget window;
    Prepare(window, path);
    const QList<stShownBox> shown = PressAndAnswer(window, QMessageBox::Cancel).boxes;
    QCOMPARE(shown.size(), 1);
    QCOMPARE(emulator.Opens(printer), 0);
    QCOMPARE(emulator.OutTransferAttempts(printer), 0);
}

void TestFwUpdateWindow::failingTransferIsTriedThreeTimesFromTheFirstByte()
{
    usbemu::Emulator emulator;
    usbemu::PrinterConfig config;
    config.shortWriteBy = 2; // the printer takes all but the last two bytes
    const int printer = emulator.AddPrinter(config);
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office")});
    const QByteArray image = Pattern(5000);
    const QString path = WriteImage(image);

    Widget window;
    Prepare(window, path);
    const QList<stShownBox> shown = PressAndAnswer(window).boxes;
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[1].strText, QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试更新！"));
    const auto sent = emulator.OutTransfers(printer);
    QCOMPARE(sent.size(), size_t(3));
    for (const auto &transfer : sent)
        QCOMPARE(Bytes(transfer), image.left(image.size() - 2));
}

void TestFwUpdateWindow::printerPulledOutDuringTheWriteIsNotTriedAgain_data()
{
    QTest::addColumn<bool>("heldByKernelDriver");
    QTest::addRow("free printer") << false;
    QTest::addRow("printer the kernel driver held") << true; // given back to a device that is gone
}

// The cable is pulled while the fourth piece goes out: the write-failure box
// comes at once, after one attempt, the window works on, and once the printer
// is back a new update sends the whole image.
void TestFwUpdateWindow::printerPulledOutDuringTheWriteIsNotTriedAgain()
{
    QFETCH(bool, heldByKernelDriver);
    usbemu::Emulator emulator;
    usbemu::PrinterConfig config;
    config.unplugAtOutTransfer = 3;
    config.outDelayMs = 30;
    const int printer = usbtest::AddPrinter(emulator, heldByKernelDriver, config);
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office")});
    const QByteArray image = Pattern(10 * 64 * 1024 + 123);
    const QString path = WriteImage(image);

    Widget window;
    Prepare(window, path);
    qint64 unpluggedAtMs = 0;
    QTimer watch;
    watch.setInterval(10);
    connect(&watch, &QTimer::timeout, [&]() {
        if (!unpluggedAtMs && !emulator.Present(printer))
            unpluggedAtMs = QDateTime::currentMSecsSinceEpoch();
    });
    watch.start();
    const QList<stShownBox> shown = PressAndAnswer(window).boxes;
    watch.stop();
    QCOMPARE(shown.size(), 2);
    // A second attempt would find no printer and end with the connection box.
    QCOMPARE(shown[1].strText, QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试更新！"));
    QCOMPARE(emulator.OutTransferAttempts(printer), 3); // taken before the pull; none after it
    QCOMPARE(Received(emulator, printer), image.left(3 * 64 * 1024));
    QVERIFY(unpluggedAtMs > 0);
    const qint64 toBoxMs = shown[1].llShownAtMs - unpluggedAtMs;
    qInfo("unplug to the failure box: %lld ms", static_cast<long long>(toBoxMs));
    QVERIFY(toBoxMs < 5000);
    QVERIFY(window.findChild<QPushButton *>("buttonOK")->isEnabled());

    QVERIFY(emulator.WaitUntilPresent(printer, false, 5000));
    emulator.PlugBack(printer);
    QVERIFY(emulator.Present(printer));
    emulator.ClearRecords(printer);
    const QList<stShownBox> again = PressAndAnswer(window).boxes;
    QCOMPARE(again.size(), 2);
    QCOMPARE(again[1].strText, QString::fromUtf8("操作成功，请等待打印机更新完成，更新过程中请勿断开电源。"));
    QCOMPARE(Received(emulator, printer), image);
    QVERIFY(usbtest::BackWithItsDriver(emulator, printer, heldByKernelDriver));
}

void TestFwUpdateWindow::vanishedPrinterIsTriedThreeTimes()
{
    usbemu::Emulator emulator;
    usbemu::PrinterConfig config;
    config.vanishAfterOpens = 0; // the printer is gone as soon as anyone opens it
    const int printer = emulator.AddPrinter(config);
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office")});
    const QString path = WriteImage("abc");

    Widget window;
    Prepare(window, path);
    const QList<stShownBox> shown = PressAndAnswer(window).boxes;
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[1].strText, QString::fromUtf8("连接打印机失败，请检查连接状态！"));
    QCOMPARE(emulator.Opens(printer), 3);
}

void TestFwUpdateWindow::checksBeforeSending_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("chooseRow");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("unreadable");
    QTest::addColumn<qint64>("sparseSize"); // the image is made this long without data; -1 keeps it
    QTest::addColumn<QString>("message");
    const QString image = QDir::tempPath() + "/firmware.fls";
    const QString checkPath = QString::fromUtf8("请检查文件路径！");
    const QString readFailure = QString::fromUtf8("读取升级文件失败，请检查文件状态！");
    QTest::addRow("no row chosen") << "Ruvo K400N" << false << image << false << qint64(-1)
                                   << QString::fromUtf8("请选择一个打印机进行操作！");
    QTest::addRow("empty path") << "Ruvo K400N" << true << "" << false << qint64(-1) << checkPath;
    QTest::addRow("directory") << "Ruvo K400N" << true << QDir::tempPath() << false << qint64(-1) << checkPath;
    QTest::addRow("missing file") << "Ruvo K400N" << true << image + ".gone" << false << qint64(-1) << checkPath;
    QTest::addRow("model not in the table") << "Ruvo Z1" << true << image << false << qint64(-1)
                                            << QString::fromUtf8("不支持该打印机型号！");
    QTest::addRow("file that cannot be read") << "Ruvo K400N" << true << image << true << qint64(-1) << readFailure;
    QTest::addRow("file one byte over 1 GiB")
        << "Ruvo K400N" << true << image << false << (qint64(1) << 30) + 1 << readFailure;
}

void TestFwUpdateWindow::checksBeforeSending()
{
    QFETCH(QString, model);
    QFETCH(bool, chooseRow);
    QFETCH(QString, path);
    QFETCH(bool, unreadable);
    QFETCH(qint64, sparseSize);
    QFETCH(QString, message);
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office", model.toStdString())});
    QVERIFY(!WriteImage("abc").isEmpty());
    if (unreadable)
        QCOMPARE(chmod(QFile::encodeName(path).constData(), 0), 0);
    if (sparseSize >= 0)
        QCOMPARE(truncate(QFile::encodeName(path).constData(), sparseSize), 0);

    QList<stShownBox> shown;
    {
        // Root reads any file; the file's rights only count without that
        // override. The window's worker thread inherits it from this thread.
        usbemu::ScopedOrdinaryFileAccess ordinary;
        Widget window;
        window.findChild<QLineEdit *>("lineFilePath")->setText(path);
        if (chooseRow)
            window.findChild<QTableWidget *>("tablePrinterList")->setCurrentCell(0, 0);
        shown = PressAndAnswer(window).boxes;
    }
    QVERIFY(!shown.isEmpty());
    QCOMPARE(shown.last().strText, message);
    QCOMPARE(emulator.OutTransferAttempts(printer), 0);
    QFile::remove(QDir::tempPath() + "/firmware.fls");
}

int main(int argc, char **argv)
{
    // libusb in this process must see the emulated printer.
    usbemu::EnsurePreloaded(argc, argv);
    QApplication application(argc, argv);
    TestFwUpdateWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_fwupdate_window.moc"
