// Every program's command line as a user meets it, run in a private /opt, /tmp
// and network: --help and --version answer on standard output and end with 0;
// a console program given anything else prints its usage on standard error,
// ends with 2 and has done nothing (no product folder made, no port opened, no
// loop entered). The window programs answer without a display.
#include <QDir>
#include <QProcess>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString Program(const QString &name)
{
    static const QMap<QString, QString> programs = {
        {"RuvoPrintUpdate", RUVO_PROGRAM_RuvoPrintUpdate},
        {"RuvoPrintRemove", RUVO_PROGRAM_RuvoPrintRemove},
        {"RuvoPrintWatchdog", RUVO_PROGRAM_RuvoPrintWatchdog},
        {"RuvoScanDaemon", RUVO_PROGRAM_RuvoScanDaemon},
        {"RuvoPrinterTool", RUVO_PROGRAM_RuvoPrinterTool},
        {"RuvoNetTool", RUVO_PROGRAM_RuvoNetTool},
        {"ruvoK40FW", RUVO_PROGRAM_ruvoK40FW},
    };
    return programs.value(name);
}

bool PortAnswers(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

const QString kProductRoot = QStringLiteral("/opt/ruvo");
constexpr quint16 kDaemonPort = 7000;

} // namespace

class TestProgramCommandLines : public QObject
{
    Q_OBJECT

private slots:
    void answersAndRefusals_data();
    void answersAndRefusals();
    void daemonStaysInTheForeground();
};

void TestProgramCommandLines::answersAndRefusals_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("standardOutput"); // must contain
    QTest::addColumn<QByteArray>("standardError");  // must contain

    const QByteArray version = QByteArray(" (Ruvo K40 series printer suite) ") + RUVO_EXPECTED_VERSION + "\n";
    for (const char *name : {"RuvoPrintUpdate", "RuvoPrintRemove", "RuvoPrintWatchdog", "RuvoScanDaemon"}) {
        const QByteArray usage = QByteArray("usage: ") + name + " [--help] [--version]";
        QTest::addRow("%s --help", name) << name << QStringList{"--help"} << 0 << usage << QByteArray();
        QTest::addRow("%s --version", name) << name << QStringList{"--version"} << 0 << name + version << QByteArray();
        QTest::addRow("%s unknown option", name)
            << name << QStringList{"--bogus"} << 2 << QByteArray() << name + QByteArray(": unknown argument '--bogus'\n") + usage;
        QTest::addRow("%s stray word", name) << name << QStringList{"now"} << 2 << QByteArray() << usage;
        QTest::addRow("%s -hide", name) << name << QStringList{"-hide"} << 2 << QByteArray() << usage;
    }
    QTest::addRow("RuvoScanDaemon --foreground with junk")
        << "RuvoScanDaemon" << QStringList{"--foreground", "x"} << 2 << QByteArray() << QByteArray("usage:");
    for (const char *name : {"RuvoPrinterTool", "RuvoNetTool", "ruvoK40FW"}) {
        QTest::addRow("%s --help", name) << name << QStringList{"--help"} << 0
                                        << QByteArray("usage: ") + name << QByteArray();
        QTest::addRow("%s --version", name) << name << QStringList{"--version"} << 0 << name + version << QByteArray();
    }
    QTest::addRow("RuvoPrinterTool -hide --help")
        << "RuvoPrinterTool" << QStringList{"-hide", "--help"} << 0 << QByteArray("-hide") << QByteArray();
}

void TestProgramCommandLines::answersAndRefusals()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, standardOutput);
    QFETCH(QByteArray, standardError);

    QDir(kProductRoot).removeRecursively();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // No display at all: the window programs must answer before they need one.
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(Program(program), arguments);
    QVERIFY(process.waitForStarted());
    // The watchdog never ends once its loop runs: ending at all shows it did not.
    QVERIFY2(process.waitForFinished(20000), "the program kept running");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QByteArray out = process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();
    if (standardOutput.isEmpty())
        QVERIFY2(out.isEmpty(), out.constData());
    else
        QVERIFY2(out.contains(standardOutput), out.constData());
    if (standardError.isEmpty())
        QVERIFY2(err.isEmpty(), err.constData());
    else
        QVERIFY2(err.contains(standardError), err.constData());

    // Nothing was done: no product folder, no daemon left behind on its port.
    QVERIFY2(!QFileInfo::exists(kProductRoot), "the program created the product directory");
    QVERIFY2(!PortAnswers(kDaemonPort), "a daemon serves port 7000");
}

// Under a service manager the daemon is the process that was started: it
// serves its port without detaching, and SIGQUIT ends it with status 0.
void TestProgramCommandLines::daemonStaysInTheForeground()
{
    QProcess daemon;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RUVO_SCAN_DAEMON_PORT"), QString::number(kDaemonPort));
    daemon.setProcessEnvironment(environment);
    daemon.start(Program("RuvoScanDaemon"), {QStringLiteral("--foreground")});
    QVERIFY(daemon.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(PortAnswers(kDaemonPort), 20000);
    QCOMPARE(daemon.state(), QProcess::Running);
    QVERIFY(QFileInfo(QStringLiteral("/opt/ruvo/k40_series_printer/scan/ruvo_scan_info.log")).isFile());
    // It reaps its connection processes itself: an ignored SIGCHLD would let
    // the kernel hand a stored process id to someone else.
    QFile status(QStringLiteral("/proc/%1/status").arg(daemon.processId()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QRegularExpression ignored(QStringLiteral("^SigIgn:\\s*([0-9a-f]+)$"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch mask = ignored.match(QString::fromLatin1(status.readAll()));
    QVERIFY(mask.hasMatch());
    QCOMPARE(mask.captured(1).toULongLong(nullptr, 16) & (1ull << (SIGCHLD - 1)), 0ull);

    ::kill(pid_t(daemon.processId()), SIGQUIT);
    // The quit signal ends a blocked accept; a last connection wakes it should
    // the signal land just before the call.
    QTRY_VERIFY_WITH_TIMEOUT(daemon.state() == QProcess::NotRunning || (PortAnswers(kDaemonPort), false), 20000);
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestProgramCommandLines)
#include "test_program_command_lines.moc"
