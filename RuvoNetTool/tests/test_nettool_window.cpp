// The network tool's window end to end against an emulated printer: a read
// fills the form, a write sends the frame, every failure shows its message.
#include "RuvoPaths.h"
#include "UsbPrinterEmulator.h"
#include "widget.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

struct stShownBox {
    QString strTitle;
    QString strText;
    QStringList buttonTexts;
};

// Presses `button` and answers every message box it opens, recording what it
// said, until the exchange it started (if any) has ended and its outcome shown.
QList<stShownBox> PressAndAnswer(Widget &window, QAbstractButton *button)
{
    QList<stShownBox> shown;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&shown]() {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            stShownBox record{box->windowTitle(), box->text(), {}};
            for (QAbstractButton *b : box->buttons())
                record.buttonTexts << b->text();
            shown << record;
            box->button(QMessageBox::Ok)->click();
        }
    });
    timer.start();
    button->click();
    QElapsedTimer clock;
    clock.start();
    while (window.IsExchanging() && clock.elapsed() < 60000)
        QTest::qWait(20);
    timer.stop();
    return shown;
}

void WriteList(const QString &model, const QString &serial = "RV40N00001")
{
    QDir().mkpath(RuvoPaths::CfgDir());
    const std::string port = "usb://Ruvo/K400N?serial=" + serial.toStdString();
    QVERIFY(usbemu::WritePrinterList(RuvoPaths::PrinterListFile().toStdString(),
                                     {{"Office", model.toStdString(), 1, port, port}}));
}

QByteArray Bytes(const usbemu::Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()));
}

QString Group(Widget &window, const char *name)
{
    QStringList parts;
    for (int p = 1; p <= 4; ++p)
        parts << window.findChild<QLineEdit *>(QString("lineEdit%1_%2").arg(name).arg(p))->text();
    return parts.join('.');
}

void SetGroup(Widget &window, const char *name, const QString &address)
{
    const QStringList parts = address.split('.');
    for (int p = 1; p <= 4; ++p)
        window.findChild<QLineEdit *>(QString("lineEdit%1_%2").arg(name).arg(p))->setText(parts.value(p - 1));
}

const char *const c_groups[] = {"Address", "Subnet", "Gateway", "PrimaryDNS", "SecondaryDNS", "PrimaryWINS",
                                "SecondaryWINS"};

enum class Fault { NoPrinter, OtherSerial, NoPrinterInterface, ClaimFails, ReplyNever, UnknownModel, NotListed };

} // namespace
Q_DECLARE_METATYPE(Fault)

class TestNetToolWindow : public QObject
{
    Q_OBJECT

private slots:
    void readFillsTheForm_data();
    void readFillsTheForm();
    void unparsableReplyLeavesTheForm();
    void staticWriteSendsTheFrame();
    void emptyBoxIsNotSent();
    void addressEditsTakeOnlyNumbersUpTo255_data();
    void addressEditsTakeOnlyNumbersUpTo255();
    void failuresShowTheirMessage_data();
    void failuresShowTheirMessage();
    void windowStaysLiveAndTakesNoClickDuringAnExchange();
    void exchangeCutOffByAnUnplugFailsAndTheReadWorksOnceBack_data();
    void exchangeCutOffByAnUnplugFailsAndTheReadWorksOnceBack();
};

void TestNetToolWindow::readFillsTheForm_data()
{
    QTest::addColumn<bool>("isStatic");
    QTest::addRow("static: edits enabled") << true;
    QTest::addRow("DHCP: addresses shown, edits stay disabled") << false;
}

void TestNetToolWindow::readFillsTheForm()
{
    QFETCH(bool, isStatic);
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    usbemu::NetworkSettings settings;
    settings.bStatic = isStatic;
    settings.addresses = {"10.20.30.40", "255.255.0.0", "10.20.0.1", "10.20.0.2", "10.20.0.3", "10.20.0.4",
                          "010.20.0.5"};
    emulator.SetSettings(printer, settings);
    WriteList("Ruvo K400N");

    Widget window;
    window.show();
    const QList<stShownBox> shown = PressAndAnswer(window, window.findChild<QPushButton *>("buttonGet"));
    QVERIFY2(shown.isEmpty(), qPrintable(shown.value(0).strText));
    QCOMPARE(window.findChild<QComboBox *>("comboBoxSource")->currentIndex(), isStatic ? 1 : 0);
    for (int g = 0; g < 7; ++g)
        QCOMPARE(Group(window, c_groups[g]), QString::fromStdString(settings.addresses[g]));
    QCOMPARE(window.findChild<QLineEdit *>("lineEditAddress_1")->isEnabled(), isStatic);
    QCOMPARE(window.findChild<QLineEdit *>("lineEditSecondaryWINS_4")->isEnabled(), isStatic);
}

void TestNetToolWindow::unparsableReplyLeavesTheForm()
{
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    // A well-framed reply whose address source is written in lower case.
    QByteArray reply = QByteArray::fromHex("A500000000 000000000000 4010") + QByteArray(14, '\0')
                       + QByteArray::fromHex("0004") + "dhcp";
    emulator.SetRawReply(printer, usbemu::Bytes(reply.begin(), reply.end()));
    WriteList("Ruvo K400N");

    Widget window;
    SetGroup(window, "Address", "1.2.3.4");
    const QList<stShownBox> shown = PressAndAnswer(window, window.findChild<QPushButton *>("buttonGet"));
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].strText, QString::fromUtf8("获取数据失败，请稍后重试！"));
    QCOMPARE(Group(window, "Address"), QString("1.2.3.4"));
}

void TestNetToolWindow::staticWriteSendsTheFrame()
{
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    WriteList("Ruvo K400N");

    Widget window;
    window.findChild<QComboBox *>("comboBoxSource")->setCurrentIndex(1);
    QVERIFY(window.findChild<QLineEdit *>("lineEditGateway_3")->isEnabled());
    const QString addresses[] = {"192.168.1.10", "255.255.255.0", "192.168.1.1", "192.168.1.2",
                                 "0.0.0.0",      "0.0.0.0",       "0.0.0.0"};
    for (int g = 0; g < 7; ++g)
        SetGroup(window, c_groups[g], addresses[g]);

    const QList<stShownBox> shown = PressAndAnswer(window, window.findChild<QPushButton *>("buttonSet"));
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].strTitle, QString::fromUtf8("Ruvo打印机网络配置工具"));
    QCOMPARE(shown[0].strText, QString::fromUtf8("设置成功，请等待打印机完成重连！"));
    QCOMPARE(shown[0].buttonTexts, QStringList{QString::fromUtf8("确  定")});

    const auto sent = emulator.OutTransfers(printer);
    QCOMPARE(sent.size(), size_t(1));
    QCOMPARE(Bytes(sent[0]), QByteArray::fromHex("A5004850E0B20300094010000101"
                                                 "40110004C0A8010A" "40120004FFFFFF00" "40130004C0A80101"
                                                 "40140004C0A80102" "4015000400000000" "4016000400000000"
                                                 "4017000400000000" "401F000100"));
    const usbemu::NetworkSettings applied = emulator.Settings(printer);
    QVERIFY(applied.bStatic);
    QCOMPARE(applied.addresses[0], std::string("192.168.1.10"));
}

void TestNetToolWindow::emptyBoxIsNotSent()
{
    usbemu::Emulator emulator;
    const int printer = emulator.AddPrinter({});
    QVERIFY(printer >= 0);
    WriteList("Ruvo K400N");

    Widget window;
    window.findChild<QComboBox *>("comboBoxSource")->setCurrentIndex(1);
    window.findChild<QLineEdit *>("lineEditPrimaryDNS_2")->clear();
    const QList<stShownBox> shown = PressAndAnswer(window, window.findChild<QPushButton *>("buttonSet"));
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].strText, QString::fromUtf8("不正确的地址格式！"));
    QCOMPARE(emulator.OutTransferAttempts(printer), 0);
}

void TestNetToolWindow::addressEditsTakeOnlyNumbersUpTo255_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("acceptable");
    QTest::addRow("255 fits") << "255" << "255" << true;
    QTest::addRow("leading zero kept") << "010" << "010" << true;
    QTest::addRow("256 is shown but not a value") << "256" << "256" << false;
    QTest::addRow("minus sign refused") << "-1" << "1" << true;
    QTest::addRow("letters refused") << "1a2" << "12" << true;
    QTest::addRow("fourth digit refused") << "1234" << "123" << true;
}

void TestNetToolWindow::addressEditsTakeOnlyNumbersUpTo255()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(bool, acceptable);
    Widget window;
    window.findChild<QComboBox *>("comboBoxSource")->setCurrentIndex(1);
    QLineEdit *edit = window.findChild<QLineEdit *>("lineEditSubnet_3");
    edit->clear();
    QTest::keyClicks(edit, typed);
    QCOMPARE(edit->text(), shown);
    QCOMPARE(edit->hasAcceptableInput(), acceptable);
}

void TestNetToolWindow::failuresShowTheirMessage_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("message");
    const QString connect = QString::fromUtf8("连接打印机失败，请检查连接状态！");
    const QString choose = QString::fromUtf8("请选择一个打印机进行操作！");
    const QString model = QString::fromUtf8("不支持该打印机型号！");
    QTest::addRow("read, no printer attached") << Fault::NoPrinter << "buttonGet" << connect;
    QTest::addRow("write, no printer attached") << Fault::NoPrinter << "buttonSet" << connect;
    QTest::addRow("read, other serial") << Fault::OtherSerial << "buttonGet" << connect;
    QTest::addRow("write, no printer interface") << Fault::NoPrinterInterface << "buttonSet" << connect;
    QTest::addRow("read, claim fails") << Fault::ClaimFails << "buttonGet" << connect;
    QTest::addRow("write, reply never comes")
        << Fault::ReplyNever << "buttonSet" << QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试！");
    QTest::addRow("read, model not in the table") << Fault::UnknownModel << "buttonGet" << model;
    QTest::addRow("write, model not in the table") << Fault::UnknownModel << "buttonSet" << model;
    QTest::addRow("read, no listed printer") << Fault::NotListed << "buttonGet" << choose;
    QTest::addRow("write, no listed printer") << Fault::NotListed << "buttonSet" << choose;
}

void TestNetToolWindow::failuresShowTheirMessage()
{
    QFETCH(Fault, fault);
    QFETCH(QString, button);
    QFETCH(QString, message);

    usbemu::Emulator emulator;
    usbemu::PrinterConfig config;
    config.bPrinterInterface = fault != Fault::NoPrinterInterface;
    config.bReplyNever = fault == Fault::ReplyNever;
    if (fault == Fault::OtherSerial)
        config.serial = "RV40N00009";
    if (fault == Fault::ClaimFails)
        config.claim = usbemu::ClaimBehaviour::AlwaysBusyNoDriver;
    const int printer = fault == Fault::NoPrinter ? -1 : emulator.AddPrinter(config);
    QVERIFY(fault == Fault::NoPrinter || printer >= 0);
    if (fault == Fault::NoPrinter) {
        usbemu::PrinterConfig mouse;
        mouse.vendorId = 0x1234;
        QVERIFY(emulator.AddPrinter(mouse) >= 0);
    }
    if (fault == Fault::UnknownModel)
        WriteList("Ruvo X900N");
    else if (fault == Fault::NotListed)
        WriteList("Ruvo K400"); // a model without network is not offered
    else
        WriteList("Ruvo K400N");

    Widget window;
    const QList<stShownBox> shown = PressAndAnswer(window, window.findChild<QPushButton *>(button));
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].strText, message);
    QCOMPARE(shown[0].buttonTexts, QStringList{QString::fromUtf8("确  定")});
    if (fault == Fault::UnknownModel || fault == Fault::NotListed)
        QCOMPARE(emulator.OutTransferAttempts(printer), 0);
}

void TestNetToolWindow::windowStaysLiveAndTakesNoClickDuringAnExchange()
{
    usbemu::Emulator emulator;
    usbemu::PrinterConfig config;
    config.bReplyNever = true; // the exchange lasts its full 3 s read limit
    const int printer = emulator.AddPrinter(config);
    QVERIFY(printer >= 0);
    WriteList("Ruvo K400N");

    Widget window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *get = window.findChild<QPushButton *>("buttonGet");
    auto *set = window.findChild<QPushButton *>("buttonSet");
    auto *device = window.findChild<QComboBox *>("comboBoxDevice");

    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    window.installEventFilter(&counter);
    int ticks = 0;
    bool controlsEnabled = false;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&]() {
        if (!window.IsExchanging())
            return;
        ++ticks;
        controlsEnabled = controlsEnabled || get->isEnabled() || set->isEnabled() || device->isEnabled();
        window.update();
        // A user clicking on while the printer is slow: nothing may be queued.
        QTest::mouseClick(get, Qt::LeftButton);
        QTest::mouseClick(set, Qt::LeftButton);
    });
    watch.start();
    const QList<stShownBox> shown = PressAndAnswer(window, get);
    watch.stop();

    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].strText, QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试！"));
    QCOMPARE(emulator.OutTransferAttempts(printer), 1);
    QVERIFY(!controlsEnabled);
    // About 60 turns of the event loop in the 3 s; a blocked window would see none.
    QVERIFY2(ticks >= 20, qPrintable(QString("event loop turns during the exchange: %1").arg(ticks)));
    QVERIFY2(counter.paints >= 10, qPrintable(QString("repaints during the exchange: %1").arg(counter.paints)));
    QVERIFY(get->isEnabled() && set->isEnabled() && device->isEnabled());
    QTest::qWait(200);
    QCOMPARE(emulator.OutTransferAttempts(printer), 1);
}

int main(int argc, char **argv)
{
    // libusb in this process must see the emulated printer.
    usbemu::EnsurePreloaded(argc, argv);
    QApplication application(argc, argv);
    TestNetToolWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_nettool_window.moc"

void TestNetToolWindow::exchangeCutOffByAnUnplugFailsAndTheReadWorksOnceBack_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("whileWaitingForTheReply");
    QTest::addRow("read, pulled out as the request goes") << "buttonGet" << false;
    QTest::addRow("read, pulled out while the reply is awaited") << "buttonGet" << true;
    QTest::addRow("write, pulled out while the reply is awaited") << "buttonSet" << true;
}

void TestNetToolWindow::exchangeCutOffByAnUnplugFailsAndTheReadWorksOnceBack()
{
    QFETCH(QString, button);
    QFETCH(bool, whileWaitingForTheReply);
    usbemu::Emulator emulator;
    usbemu::PrinterConfig config;
    config.claim = usbemu::ClaimBehaviour::HeldByKernelDriver;
    if (whileWaitingForTheReply)
        config.bReplyNever = true; // the test pulls the cable once the request is in
    else
        config.unplugAtOutTransfer = 0;
    const int printer = emulator.AddPrinter(config);
    QVERIFY(printer >= 0);
    WriteList("Ruvo K400N");

    Widget window;
    window.show();
    QElapsedTimer sinceUnplug;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&]() {
        if (sinceUnplug.isValid())
            return;
        if (whileWaitingForTheReply && emulator.OutTransfers(printer).size() == 1)
            emulator.Unplug(printer);
        if (!emulator.Present(printer))
            sinceUnplug.start();
    });
    watch.start();
    const QList<stShownBox> shown = PressAndAnswer(window, window.findChild<QPushButton *>(button));
    watch.stop();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].strText, QString::fromUtf8("与打印机通信失败，请检查打印机状态并重新尝试！"));
    QVERIFY(sinceUnplug.isValid());
    qInfo("unplug to the failure box: %lld ms", static_cast<long long>(sinceUnplug.elapsed()));
    // The read limit is 3 s; a cut exchange must not wait for it.
    QVERIFY(sinceUnplug.elapsed() < 2500);
    QVERIFY(window.findChild<QPushButton *>("buttonGet")->isEnabled());

    QVERIFY(emulator.WaitUntilPresent(printer, false, 5000));
    emulator.SetReplyNever(printer, false);
    emulator.PlugBack(printer);
    usbemu::NetworkSettings settings;
    settings.bStatic = true;
    settings.addresses = {"10.1.2.3", "255.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3", "0.0.0.0", "0.0.0.0"};
    emulator.SetSettings(printer, settings);
    const QList<stShownBox> again = PressAndAnswer(window, window.findChild<QPushButton *>("buttonGet"));
    QVERIFY2(again.isEmpty(), qPrintable(again.value(0).strText));
    QCOMPARE(Group(window, "Address"), QString("10.1.2.3"));
    QVERIFY(emulator.KernelDriverAttached(printer));
}
