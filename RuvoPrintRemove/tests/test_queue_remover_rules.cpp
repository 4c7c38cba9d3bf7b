// Reading `lpstat -v` lines and PPD model names: which queues the remover
// would consider, and which drivers name a supported model.
#include "QueueRemover.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A literal with embedded NUL bytes, whole.
template <int N>
QByteArray Bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

} // namespace

class TestQueueRemoverRules : public QObject
{
    Q_OBJECT

private slots:
    void logGoesToItsOwnPlace();
    void parsesLpstatLines_data();
    void parsesLpstatLines();
    void parsesWholeOutputInOrder();
    void findsSupportedModel_data();
    void findsSupportedModel();
    void ppdPathStaysInPpdDirectory_data();
    void ppdPathStaysInPpdDirectory();
    void makesPaths();
};

void TestQueueRemoverRules::parsesLpstatLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("connectType");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("uri");

    QTest::addRow("English USB keeps the serial query in the port")
        << "device for Office_K400: usb://Ruvo/K400?serial=A1B2" << true
        << "Office_K400" << 1 << "Ruvo/K400?serial=A1B2" << "usb://Ruvo/K400?serial=A1B2";
    QTest::addRow("English socket with port number gives the host alone")
        << "device for Hall: socket://192.0.2.7:9100" << true
        << "Hall" << 2 << "192.0.2.7" << "socket://192.0.2.7:9100";
    QTest::addRow("English socket without port number")
        << "device for Hall: socket://192.0.2.7" << true << "Hall" << 2 << "192.0.2.7" << "socket://192.0.2.7";
    QTest::addRow("brand socket scheme")
        << "device for B: ruvosocket://printer.local:9100" << true
        << "B" << 2 << "printer.local" << "ruvosocket://printer.local:9100";
    QTest::addRow("letter case of prefix and scheme ignored")
        << "DEVICE FOR Up: USB://Ruvo/K400" << true << "Up" << 1 << "Ruvo/K400" << "USB://Ruvo/K400";
    QTest::addRow("IPP queue is not listed")
        << "device for Net: ipp://192.0.2.7/ipp/print" << false << "" << 0 << "" << "";
    QTest::addRow("socket scheme without ://")
        << "device for S: socket:192.0.2.7" << false << "" << 0 << "" << "";
    QTest::addRow("English line too short") << "device for Lonely:" << false << "" << 0 << "" << "";
    QTest::addRow("translated USB line (zh_CN)")
        << "用于 Office_K400 的设备：usb://Ruvo/K400?serial=A1B2" << true
        << "Office_K400" << 1 << "Ruvo/K400?serial=A1B2" << "usb://Ruvo/K400?serial=A1B2";
    QTest::addRow("translated socket line (zh_CN)")
        << "用于 Hall 的设备：socket://192.0.2.7:9100" << true
        << "Hall" << 2 << "192.0.2.7" << "socket://192.0.2.7:9100";
    QTest::addRow("translated brand socket line")
        << "用于 B 的设备：RuvoSocket://h:9100" << true << "B" << 2 << "h" << "RuvoSocket://h:9100";
    QTest::addRow("translated IPP line") << "用于 Net 的设备：ipp://h/ipp" << false << "" << 0 << "" << "";
    QTest::addRow("translated line too short") << "用于 Net" << false << "" << 0 << "" << "";
    QTest::addRow("empty line") << "" << false << "" << 0 << "" << "";
}

void TestQueueRemoverRules::parsesLpstatLines()
{
    QFETCH(QString, line);
    QFETCH(bool, listed);
    QFETCH(QString, name);
    QFETCH(int, connectType);
    QFETCH(QString, port);
    QFETCH(QString, uri);

    const std::optional<stPrinterInfo> printer = ParseLpstatLine(line);
    QCOMPARE(printer.has_value(), listed);
    if (!listed)
        return;
    QCOMPARE(printer->strName, name);
    QCOMPARE(printer->iConnectType, connectType);
    QCOMPARE(printer->strPort, port);
    QCOMPARE(printer->strURI, uri);
    QCOMPARE(printer->strModel, QString());
}

void TestQueueRemoverRules::parsesWholeOutputInOrder()
{
    const QByteArray output = "device for b: usb://Ruvo/K400?serial=1\r\n"
                              "device for c: ipp://h/ipp\n"
                              "device for a: socket://h:9100\n";
    const QList<stPrinterInfo> printers = ParseLpstatOutput(output);
    QCOMPARE(printers.size(), 2);
    QCOMPARE(printers[0].strName, QStringLiteral("b"));
    QCOMPARE(printers[0].strURI, QStringLiteral("usb://Ruvo/K400?serial=1"));
    QCOMPARE(printers[1].strName, QStringLiteral("a"));
    QVERIFY(ParseLpstatOutput(QByteArray()).isEmpty());
}

void TestQueueRemoverRules::findsSupportedModel_data()
{
    QTest::addColumn<QByteArray>("ppd");
    QTest::addColumn<QString>("model"); // empty: no supported model

    QTest::addRow("display name")
        << QByteArray("*PPD-Adobe: \"4.3\"\n*ModelName: \"Ruvo K400\"\n*NickName: \"x\"\n") << "Ruvo K400";
    QTest::addRow("other letter case, returned as written")
        << QByteArray("*ModelName: \"ruvo m201dn\"\n") << "ruvo m201dn";
    QTest::addRow("lower-case keyword") << QByteArray("*modelname: \"Ruvo P300\"\n") << "Ruvo P300";
    QTest::addRow("several ModelName lines, second matches")
        << QByteArray("*ModelName: \"Acme Laser 9\"\n*ModelName: \"Ruvo L500D\"\n*ModelName: \"Ruvo C600\"\n")
        << "Ruvo L500D";
    QTest::addRow("several ModelName lines, none matches")
        << QByteArray("*ModelName: \"Acme Laser 9\"\n*ModelName: \"Ruvo K4\"\n") << "";
    QTest::addRow("value without quotes") << QByteArray("*ModelName:   Ruvo K401D  \n") << "Ruvo K401D";
    QTest::addRow("Windows line ends") << QByteArray("*ModelName: \"Ruvo K400N\"\r\n") << "Ruvo K400N";
    QTest::addRow("keyword without value") << QByteArray("*ModelName:\n*ModelName\n") << "";
    QTest::addRow("NUL byte ends the line")
        << Bytes("*ModelName: \"Ruvo K400\0 tail\"\n") << "Ruvo K400";
    QTest::addRow("NUL byte before the value") << Bytes("*ModelName\0: \"Ruvo K400\"\n") << "";
    QTest::addRow("model name not at line start") << QByteArray("*% *ModelName: \"Ruvo K400\"\n") << "";
    QTest::addRow("another maker") << QByteArray("*ModelName: \"Acme Laser 9\"\n") << "";
    QTest::addRow("empty file") << QByteArray() << "";
}

void TestQueueRemoverRules::findsSupportedModel()
{
    QFETCH(QByteArray, ppd);
    QFETCH(QString, model);
    const std::optional<QString> found = FindSupportedModelInPpd(ppd);
    QCOMPARE(found.value_or(QString()), model);
    QCOMPARE(found.has_value(), !model.isEmpty());
}

void TestQueueRemoverRules::ppdPathStaysInPpdDirectory_data()
{
    QTest::addColumn<QString>("queue");
    QTest::addColumn<QString>("path");
    QTest::addRow("plain name") << "Office_K400" << "/etc/cups/ppd/Office_K400.ppd";
    QTest::addRow("shell characters are just characters") << "q$x`y`" << "/etc/cups/ppd/q$x`y`.ppd";
    QTest::addRow("parent directory") << "../../../etc/passwd" << "";
    QTest::addRow("slash") << "a/b" << "";
    QTest::addRow("empty") << "" << "";
}

void TestQueueRemoverRules::ppdPathStaysInPpdDirectory()
{
    QFETCH(QString, queue);
    QFETCH(QString, path);
    QCOMPARE(PpdPathForQueue(queue), path);
    QString model = QStringLiteral("unchanged");
    if (path.isEmpty()) {
        QVERIFY(!CheckDriverMatch(queue, model));
        QCOMPARE(model, QStringLiteral("unchanged"));
    }
}

void TestQueueRemoverRules::makesPaths()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString nested = root.filePath("a/b/c");
    QVERIFY(MakePathExist(nested));
    QVERIFY(QDir(nested).exists());
    QVERIFY(MakePathExist(nested)); // already there

    QFile blocker(root.filePath("file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!MakePathExist(root.filePath("file/sub")));
}

// The log of this program lies under the product directory.
void TestQueueRemoverRules::logGoesToItsOwnPlace()
{
    QCOMPARE(QueueRemoverLogLocation().strDirectory, QString("/opt/ruvo/k40_series_printer/log/"));
    QCOMPARE(QueueRemoverLogLocation().strBaseName, QString("log_un"));
}

QTEST_GUILESS_MAIN(TestQueueRemoverRules)
#include "test_queue_remover_rules.moc"
