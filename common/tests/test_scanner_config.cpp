// ruvo.conf and the printer list as the scanner clients read them: which
// network scanners each names.
#include "backend_config.h"

#include <QtTest>

#include <optional>

using namespace ruvo_sane;

namespace {

QString describe(const std::vector<NetworkScannerEntry> &scanners)
{
    QStringList parts;
    for (const NetworkScannerEntry &scanner : scanners)
        parts << QString::fromStdString(scanner.address + "/" + scanner.model);
    return parts.join(' ');
}

} // namespace

class TestScannerConfig : public QObject {
    Q_OBJECT
private slots:
    void configLines_data();
    void configLines();
    void refusedConfigLines_data();
    void refusedConfigLines();
    void printerListNetworkPrinters_data();
    void printerListNetworkPrinters();
    void daemonTcpLine_data();
    void daemonTcpLine();
};

void TestScannerConfig::configLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("scanners");
    QTest::addRow("address and model") << QByteArray("127.0.0.2 K402ADN\n") << "127.0.0.2/K402ADN";
    QTest::addRow("address alone, CR LF") << QByteArray("127.0.0.3\r\n") << "127.0.0.3/";
    QTest::addRow("comments and blanks") << QByteArray("# 127.0.0.9\n\n  127.0.0.4   # office\n") << "127.0.0.4/";
    QTest::addRow("unknown model kept as address") << QByteArray("127.0.0.5 X999\n") << "127.0.0.5/";
    QTest::addRow("display name") << QByteArray("127.0.0.5 Ruvo K400N\n") << "127.0.0.5/K400N";
    QTest::addRow("repeated address once") << QByteArray("127.0.0.2\n127.0.0.2 K400N\n") << "127.0.0.2/";
    QTest::addRow("not addresses")
        << QByteArray("256.0.0.1\n1.2.3\n1.2.3.4.5\nscanner\n01234.1.1.1\n1.2.3.4x\n999999999999999\n"
                      "192.168.001.5\n127.0.0.01\n") << "";
    QTest::addRow("no line end at the end") << QByteArray("127.0.0.6 L520ADN") << "127.0.0.6/L520ADN";
}

void TestScannerConfig::configLines()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, scanners);
    QCOMPARE(describe(ParseBackendConfig(std::string_view(text.constData(), static_cast<size_t>(text.size())))),
             scanners);
}

void TestScannerConfig::refusedConfigLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("scanners");
    QTest::addColumn<QString>("refused");
    QTest::addRow("leading zero, as the daemon refuses it")
        << QByteArray("192.168.001.5 K402ADN\n127.0.0.2\n") << "127.0.0.2/" << "1:192.168.001.5 K402ADN";
    QTest::addRow("comments, blanks and good lines are not refused")
        << QByteArray("# 010.0.0.1\n\n   \n127.0.0.3 # office\n") << "127.0.0.3/" << "";
    QTest::addRow("comment cut off the refused line")
        << QByteArray("127.0.0.2\n\n 256.1.1.1   # upstairs\r\n") << "127.0.0.2/" << "3:256.1.1.1";
    QTest::addRow("the daemon's TCP port line is not a refused scanner")
        << QByteArray("daemon-tcp-port 7000\n127.0.0.2\ndaemon-tcp-port\n") << "127.0.0.2/" << "3:daemon-tcp-port";
    QTest::addRow("long line cut") << QByteArray("x").repeated(200) + "\n" << ""
                                   << "1:" + QString(QByteArray("x").repeated(80));
}

void TestScannerConfig::refusedConfigLines()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, scanners);
    QFETCH(QString, refused);
    std::vector<RefusedConfigLine> lines;
    QCOMPARE(describe(ParseBackendConfig(std::string_view(text.constData(), static_cast<size_t>(text.size())), &lines)),
             scanners);
    QStringList shown;
    for (const RefusedConfigLine &line : lines)
        shown << QString::number(line.number) + ":" + QString::fromStdString(line.text);
    QCOMPARE(shown.join('|'), refused);
}

void TestScannerConfig::printerListNetworkPrinters_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("scanners");
    QByteArray two = "[Main]\nCount=3\n[printer_0]\nName=A\nModel=Ruvo K402ADN\nConnectType=2\nPort=127.0.0.7\n"
                     "[printer_1]\nName=B\nModel=Ruvo K400\nConnectType=1\nPort=serial=X1\n"
                     "[printer_2]\nName=C\nModel=\"Ruvo M200N\"\nConnectType=0\nPort=\"127.0.0.8\"\n";
    QTest::addRow("network printers, the USB one left out") << two << "127.0.0.7/K402ADN 127.0.0.8/M200N";
    QTest::addRow("count limits the sections read")
        << QByteArray("[Main]\nCount=0\n[printer_0]\nModel=Ruvo K400N\nConnectType=2\nPort=127.0.0.7\n") << "";
    QTest::addRow("unknown model")
        << QByteArray("[Main]\nCount=1\n[printer_0]\nModel=Other K1\nConnectType=2\nPort=127.0.0.7\n") << "";
    QTest::addRow("port with a leading zero")
        << QByteArray("[Main]\nCount=1\n[printer_0]\nModel=Ruvo K400N\nConnectType=2\nPort=192.168.001.5\n") << "";
    QTest::addRow("port not an address")
        << QByteArray("[Main]\nCount=1\n[printer_0]\nModel=Ruvo K400N\nConnectType=2\nPort=printer.local\n") << "";
    QTest::addRow("huge count") << QByteArray("[Main]\nCount=99999999999\n") << "";
    QTest::addRow("keys before any section") << QByteArray("Count=1\nModel=Ruvo K400N\nPort=127.0.0.9\n") << "";
}

void TestScannerConfig::printerListNetworkPrinters()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, scanners);
    QCOMPARE(describe(NetworkPrintersOfList(std::string_view(text.constData(), static_cast<size_t>(text.size())))),
             scanners);
    // The configuration comes first and names each address once.
    std::vector<NetworkScannerEntry> merged =
        MergeScanners({{"127.0.0.8", ""}}, {{"127.0.0.8", "M200N"}, {"127.0.0.9", "K400N"}});
    QCOMPARE(describe(merged), QString("127.0.0.8/M200N 127.0.0.9/K400N"));
}

void TestScannerConfig::daemonTcpLine_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("port"); // 0: the local socket
    QTest::addRow("no line: local socket") << QByteArray("127.0.0.2 K402ADN\n") << 0;
    QTest::addRow("named port") << QByteArray("127.0.0.2\ndaemon-tcp-port 7000\n") << 7000;
    QTest::addRow("tab, comment, CR LF") << QByteArray("daemon-tcp-port\t7123 # old clients\r\n") << 7123;
    QTest::addRow("commented out") << QByteArray("#daemon-tcp-port 7000\n") << 0;
    QTest::addRow("no port") << QByteArray("daemon-tcp-port\n") << 0;
    QTest::addRow("port out of range") << QByteArray("daemon-tcp-port 70000\n") << 0;
    QTest::addRow("port zero") << QByteArray("daemon-tcp-port 0\n") << 0;
    QTest::addRow("not a number") << QByteArray("daemon-tcp-port 7000x\n") << 0;
    QTest::addRow("keyword glued to the port") << QByteArray("daemon-tcp-port7000\n") << 0;
    QTest::addRow("a bad last line falls back") << QByteArray("daemon-tcp-port 7000\ndaemon-tcp-port -1\n") << 0;
    QTest::addRow("last line counts") << QByteArray("daemon-tcp-port 7000\ndaemon-tcp-port 7001\n") << 7001;
}

void TestScannerConfig::daemonTcpLine()
{
    QFETCH(QByteArray, text);
    QFETCH(int, port);
    std::optional<int> parsed = DaemonTcpPortOfConfig(std::string_view(text.constData(), size_t(text.size())));
    QCOMPARE(parsed.value_or(0), port);
    // The line is never taken for a scanner.
    QVERIFY(ParseBackendConfig(std::string_view(text.constData(), size_t(text.size()))).size() <=
            size_t(text.count("127.0.0.")));
}

QTEST_MAIN(TestScannerConfig)
#include "test_scanner_config.moc"
