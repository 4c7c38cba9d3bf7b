// The firmware updater's window end to end against an emulated printer.
#include "RuvoPaths.h"
#include "UsbPrinterEmulator.h"
#include "widget.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

namespace {

struct stShownBox {
    QString strText;
    QStringList buttonTexts;
    QString strDefaultButton;
};

// Presses `button` and answers every message box it opens: a question with
// `answer`, a message with its only button.
QList<stShownBox> PressAndAnswer(QAbstractButton *button, QMessageBox::StandardButton answer = QMessageBox::Ok)
{
    QList<stShownBox> shown;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&shown, answer]() {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            stShownBox record{box->text(), {}, box->defaultButton() ? box->defaultButton()->text() : QString()};
            for (QAbstractButton *b : box->buttons())
                record.buttonTexts << b->text();
            shown << record;
            QAbstractButton *press = box->button(answer) ? box->button(answer) : box->button(QMessageBox::Ok);
            press->click();
        }
    });
    timer.start();
    button->click();
    timer.stop();
    return shown;
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

QAbstractButton *Start(Widget &window)
{
    return window.findChild<QPushButton *>("buttonOK");
}

} // namespace

class TestFwUpdateWindow : public QObject
{
    Q_OBJECT

private slots:
    void tableShowsUsbPrintersAndTheirState();
    void sendsTheImageByteForByteInOneTransfer_data();
    void sendsTheImageByteForByteInOneTransfer();
    void pastedUrlIsShortenedInTheField();
    void cancelSendsNothing();
    void failingTransferIsTriedThreeTimesFromTheFirstByte();
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

void TestFwUpdateWindow::sendsTheImageByteForByteInOneTransfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addRow("16 MiB image") << 16 * 1024 * 1024;
    QTest::addRow("empty file as a zero-length transfer") << 0;
}

void TestFwUpdateWindow::sendsTheImageByteForByteInOneTransfer()
{
    QFETCH(int, size);
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office")});
    const QByteArray image = Pattern(size);
    const QString path = WriteImage(image);
    QVERIFY(!path.isEmpty());

    Widget window;
    Prepare(window, path);
    const QList<stShownBox> shown = PressAndAnswer(Start(window));
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[0].strText, QString::fromUtf8("是否升级打印机 Office ？"));
    QCOMPARE(shown[0].buttonTexts.size(), 2);
    QVERIFY(shown[0].buttonTexts.contains(QString::fromUtf8("确  定")));
    QCOMPARE(shown[0].strDefaultButton, QString::fromUtf8("取  消"));
    QCOMPARE(shown[1].strText, QString::fromUtf8("操作成功，请等待打印机更新完成，更新过程中请勿断开电源。"));
    QCOMPARE(shown[1].buttonTexts, QStringList{QString::fromUtf8("确  定")});

    const auto sent = emulator.OutTransfers(printer);
    QCOMPARE(sent.size(), size_t(1));
    QCOMPARE(int(sent[0].size()), size);
    QVERIFY(Bytes(sent[0]) == image);
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
    const QList<stShownBox> shown = PressAndAnswer(Start(window));
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
    const QList<stShownBox> shown = PressAndAnswer(Start(window), QMessageBox::Cancel);
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
    const QList<stShownBox> shown = PressAndAnswer(Start(window));
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[1].strText, QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试更新！"));
    const auto sent = emulator.OutTransfers(printer);
    QCOMPARE(sent.size(), size_t(3));
    for (const auto &transfer : sent)
        QCOMPARE(Bytes(transfer), image.left(image.size() - 2));
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
    const QList<stShownBox> shown = PressAndAnswer(Start(window));
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
    QTest::addColumn<QString>("message");
    const QString image = QDir::tempPath() + "/firmware.fls";
    const QString checkPath = QString::fromUtf8("请检查文件路径！");
    QTest::addRow("no row chosen") << "Ruvo K400N" << false << image << false
                                   << QString::fromUtf8("请选择一个打印机进行操作！");
    QTest::addRow("empty path") << "Ruvo K400N" << true << "" << false << checkPath;
    QTest::addRow("directory") << "Ruvo K400N" << true << QDir::tempPath() << false << checkPath;
    QTest::addRow("missing file") << "Ruvo K400N" << true << image + ".gone" << false << checkPath;
    QTest::addRow("model not in the table") << "Ruvo Z1" << true << image << false
                                            << QString::fromUtf8("不支持该打印机型号！");
    QTest::addRow("file that cannot be read") << "Ruvo K400N" << true << image << true
                                              << QString::fromUtf8("读取升级文件失败，请检查文件状态！");
}

void TestFwUpdateWindow::checksBeforeSending()
{
    QFETCH(QString, model);
    QFETCH(bool, chooseRow);
    QFETCH(QString, path);
    QFETCH(bool, unreadable);
    QFETCH(QString, message);
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    WriteList({UsbEntry("Office", model.toStdString())});
    QVERIFY(!WriteImage("abc").isEmpty());
    if (unreadable)
        QCOMPARE(chmod(QFile::encodeName(path).constData(), 0), 0);

    Widget window;
    window.findChild<QLineEdit *>("lineFilePath")->setText(path);
    if (chooseRow)
        window.findChild<QTableWidget *>("tablePrinterList")->setCurrentCell(0, 0);
    QList<stShownBox> shown;
    {
        // Root reads any file; the file's rights only count without that override.
        usbemu::ScopedOrdinaryFileAccess ordinary;
        shown = PressAndAnswer(Start(window));
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
