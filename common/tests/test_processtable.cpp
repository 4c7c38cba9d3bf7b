// The process table rule shared by the single-instance check and the watchdog:
// command names of at most 15 characters against the program name's first 15
// characters, regardless of letter case.
#include "ProcessTable.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void AddProcess(const QTemporaryDir &root, const QString &pid, const QByteArray &comm,
                const QByteArray &status = QByteArray())
{
    QDir(root.path()).mkpath(pid);
    QFile file(root.filePath(pid + "/comm"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(comm);
    if (status.isEmpty())
        return;
    QFile statusFile(root.filePath(pid + "/status"));
    QVERIFY(statusFile.open(QIODevice::WriteOnly));
    statusFile.write(status);
}

} // namespace

class TestProcessTable : public QObject
{
    Q_OBJECT

private slots:
    void commandNameRule_data();
    void commandNameRule();
    void readsOnlyNumberedEntries();
    void countsCopiesOfAProgram();
    void countsCopiesOfOneUser();
    void realUidFromStatus_data();
    void realUidFromStatus();
    void readsOwnersFromStatus();
    void signalsNamedProcessesButNotItself();
};

void TestProcessTable::commandNameRule_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("matches");
    QTest::addRow("short name equal") << "ruvoK40FW" << "ruvoK40FW" << true;
    QTest::addRow("other letter case") << "RUVOK40SERVICE" << "ruvoK40Service" << true;
    QTest::addRow("long program cut to 15") << "RuvoPrinterTool" << "RuvoPrinterTool" << true;
    QTest::addRow("kernel cut of a longer program") << "RuvoPrintWatchd" << "RuvoPrintWatchdog" << true;
    QTest::addRow("command longer than 15") << "RuvoPrintWatchdog" << "RuvoPrintWatchdog" << false;
    QTest::addRow("prefix of the program") << "ruvoK40" << "ruvoK40Service" << false;
    QTest::addRow("program is a prefix of the command") << "ruvoK40Servicex" << "ruvoK40Service" << false;
    QTest::addRow("empty command") << "" << "ruvoK40Service" << false;
}

void TestProcessTable::commandNameRule()
{
    QFETCH(QString, command);
    QFETCH(QString, program);
    QFETCH(bool, matches);
    QCOMPARE(CommandMatchesProgram(command, program), matches);
}

void TestProcessTable::readsOnlyNumberedEntries()
{
    QTemporaryDir root;
    AddProcess(root, "1", "init\n");
    AddProcess(root, "4242", "ruvoK40Service\n");
    AddProcess(root, "self", "bash\n");
    AddProcess(root, "sys", "nothing\n");
    QDir(root.path()).mkpath("77"); // vanished: no comm file
    QList<stProcessEntry> table = ReadProcessTable(root.path());
    std::sort(table.begin(), table.end(), [](auto &a, auto &b) { return a.pid < b.pid; });
    QCOMPARE(table.size(), 2);
    QCOMPARE(table.at(0).pid, pid_t(1));
    QCOMPARE(table.at(0).strCommand, QString("init"));
    QCOMPARE(table.at(1).strCommand, QString("ruvoK40Service"));
}

void TestProcessTable::countsCopiesOfAProgram()
{
    const QList<stProcessEntry> table = {
        {10, "RuvoPrinterTool", 1000}, {11, "ruvoprintertool", 1000}, {12, "RuvoPrinterToo", 1000}, {13, "bash", 0},
    };
    QCOMPARE(CountProcessesNamed(table, "RuvoPrinterTool"), 2);
    QCOMPARE(CountProcessesNamed(table, "RuvoPrinterToolX"), 2); // the program name's first 15 characters count
    QCOMPARE(CountProcessesNamed(table, "ruvoK40Service"), 0);
}

void TestProcessTable::countsCopiesOfOneUser()
{
    const QList<stProcessEntry> table = {
        {10, "RuvoPrinterTool", 1000}, {11, "RuvoPrinterTool", 1001}, {12, "RuvoPrinterTool", std::nullopt},
        {13, "RuvoPrinterTool", 1000}, {14, "bash", 1001},
    };
    QCOMPARE(CountProcessesNamed(table, "RuvoPrinterTool", 1000), 2);
    QCOMPARE(CountProcessesNamed(table, "RuvoPrinterTool", 1001), 1);
    QCOMPARE(CountProcessesNamed(table, "RuvoPrinterTool", 0), 0); // an unreadable owner is nobody's
    QCOMPARE(CountProcessesNamed(table, "RuvoPrinterTool"), 4);    // the watchdog's rule ignores owners
}

void TestProcessTable::realUidFromStatus_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<int>("uid"); // -1: none
    QTest::addRow("tabs between ids") << QByteArray("Name:\tbash\nUid:\t1000\t1001\t1002\t1003\nGid:\t5\n") << 1000;
    QTest::addRow("root") << QByteArray("Uid:\t0\t0\t0\t0\n") << 0;
    QTest::addRow("no Uid line") << QByteArray("Name:\tbash\nGid:\t0\t0\t0\t0\n") << -1;
    QTest::addRow("not a number") << QByteArray("Uid:\tx\t0\n") << -1;
    QTest::addRow("beyond uid_t") << QByteArray("Uid:\t99999999999\n") << -1;
    QTest::addRow("Uid inside another key") << QByteArray("XUid:\t7\n") << -1;
    QTest::addRow("empty") << QByteArray() << -1;
}

void TestProcessTable::realUidFromStatus()
{
    QFETCH(QByteArray, status);
    QFETCH(int, uid);
    const std::optional<uid_t> found = RealUidFromStatus(status);
    QCOMPARE(found.has_value(), uid >= 0);
    if (found)
        QCOMPARE(int(*found), uid);
}

void TestProcessTable::readsOwnersFromStatus()
{
    QTemporaryDir root;
    AddProcess(root, "5", "RuvoPrinterTool\n", "Name:\tRuvoPrinterTool\nUid:\t1001\t1001\t1001\t1001\n");
    AddProcess(root, "6", "RuvoPrinterTool\n"); // no status file: owner unknown, still listed
    QList<stProcessEntry> table = ReadProcessTable(root.path(), enProcessOwners::Read);
    std::sort(table.begin(), table.end(), [](auto &a, auto &b) { return a.pid < b.pid; });
    QCOMPARE(table.size(), 2);
    QCOMPARE(table.at(0).uid, std::optional<uid_t>(1001));
    QCOMPARE(table.at(1).uid, std::optional<uid_t>());

    // This process, in the real table, is its own user's.
    bool found = false;
    QCOMPARE(ReadProcessTable(root.path()).at(0).uid, std::optional<uid_t>()); // not asked for
    for (const stProcessEntry &entry : ReadProcessTable(QStringLiteral("/proc"), enProcessOwners::Read)) {
        if (entry.pid == getpid()) {
            found = true;
            QCOMPARE(entry.uid, std::optional<uid_t>(getuid()));
        }
    }
    QVERIFY(found);
}

void TestProcessTable::signalsNamedProcessesButNotItself()
{
    // A real child named by its executable: `sleep` renamed through a copy.
    QTemporaryDir dir;
    const QString program = dir.filePath("ruvoTestVictim");
    QVERIFY(QFile::copy("/bin/sleep", program));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
    const pid_t child = fork();
    if (child == 0) {
        execl(program.toLocal8Bit().constData(), "ruvoTestVictim", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    QVERIFY(child > 0);
    QTRY_COMPARE_WITH_TIMEOUT(CountProcessesNamed(ReadProcessTable(), "RUVOTESTVICTIM"), 1, 5000);
    QCOMPARE(SignalProcessesNamed("ruvotestvictim", SIGTERM), 1);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), SIGTERM);
}

QTEST_GUILESS_MAIN(TestProcessTable)
#include "test_processtable.moc"
