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

void AddProcess(const QTemporaryDir &root, const QString &pid, const QByteArray &comm)
{
    QDir(root.path()).mkpath(pid);
    QFile file(root.filePath(pid + "/comm"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(comm);
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
        {10, "RuvoPrinterTool"}, {11, "ruvoprintertool"}, {12, "RuvoPrinterToo"}, {13, "bash"},
    };
    QCOMPARE(CountProcessesNamed(table, "RuvoPrinterTool"), 2);
    QCOMPARE(CountProcessesNamed(table, "RuvoPrinterToolX"), 2); // the program name's first 15 characters count
    QCOMPARE(CountProcessesNamed(table, "ruvoK40Service"), 0);
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
