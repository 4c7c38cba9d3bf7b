// The emulator's runner, as the demo uses it: it writes the product's printer
// list, and a separate process that it starts finds the printer through that
// list and sends to it; the runner records what arrived and passes on the
// command's exit status.
#include "PrinterList.h"
#include "RuvoPaths.h"
#include "ModelTable.h"
#include "UtilLibusb.h"

#include <QProcess>
#include <QtTest>

namespace {

const QByteArray c_image = "image bytes \x01\x02\x03 sent as one transfer";

// The command the runner starts: sends the image to the first listed printer
// and exits with the transport's result (as a byte).
int RunAsClient()
{
    const QList<stPrinterInfo> printers =
        ReadPrinterList(RuvoPaths::PrinterListFile(), IsUsbPrinter);
    if (printers.isEmpty())
        return 100;
    int vid = 0;
    int pid = 0;
    if (!GetPrinterVidPid(printers.first().strModel, vid, pid))
        return 101;
    QByteArray image = c_image;
    return -FWUpdateTask(vid, pid, printers.first().strPort, image.data(), image.size());
}

QString Runner()
{
    return qEnvironmentVariable("RUVO_BUILD_DIR") + "/tools/usb-printer-emulator/usb-printer-emulator";
}

} // namespace

class TestUsbEmulatorRunner : public QObject
{
    Q_OBJECT

private slots:
    void commandFindsTheListedPrinter_data();
    void commandFindsTheListedPrinter();
};

void TestUsbEmulatorRunner::commandFindsTheListedPrinter_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("received");
    QTest::addRow("printer takes the image") << "" << 0 << c_image;
    QTest::addRow("printer takes all but the last byte") << "short-write" << 7 << c_image.chopped(1);
    QTest::addRow("other serial") << "other-serial" << 2 << QByteArray();
    QTest::addRow("no printer attached") << "none-attached" << 2 << QByteArray();
}

void TestUsbEmulatorRunner::commandFindsTheListedPrinter()
{
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, received);
    const QString record = QDir::tempPath() + "/received.bin";
    QFile::remove(record);

    QStringList arguments{"--record", record};
    if (!fault.isEmpty())
        arguments << "--fault" << fault;
    arguments << "--" << QCoreApplication::applicationFilePath() << "--client";
    QProcess runner;
    runner.setProcessChannelMode(QProcess::ForwardedChannels);
    runner.start(Runner(), arguments);
    QVERIFY2(runner.waitForFinished(60000), "the runner did not end");
    QCOMPARE(runner.exitStatus(), QProcess::NormalExit);
    QCOMPARE(runner.exitCode(), exitCode);

    const QList<stPrinterInfo> listed =
        ReadPrinterList(RuvoPaths::PrinterListFile(), IsUsbPrinter);
    QCOMPARE(listed.size(), 1);
    QVERIFY(listed.first().strPort.contains("serial=RV40N00001"));
    QFile file(record);
    QCOMPARE(file.exists(), fault != "none-attached");
    if (file.open(QIODevice::ReadOnly))
        QCOMPARE(file.readAll(), received);
}

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--client") == 0) {
        QCoreApplication application(argc, argv);
        return RunAsClient();
    }
    QCoreApplication application(argc, argv);
    TestUsbEmulatorRunner test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_usb_emulator_runner.moc"
