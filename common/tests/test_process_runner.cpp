// Running programs from argument lists: arguments arrive as data, exit codes and
// start failures are told apart, the C locale reaches the child, and a program
// that overruns its time limit is stopped.
#include "UtilCommand.h"

#include <QElapsedTimer>
#include <QtTest>

class TestProcessRunner : public QObject
{
    Q_OBJECT

private slots:
    void argumentsArriveUnchanged();
    void exitCodeAndStartFailure();
    void cLocaleReplacesTheInheritedOne();
    void timeLimitStopsAnOverrunningProgram();
    void timeLimitLeavesAQuickProgramAlone();
};

void TestProcessRunner::argumentsArriveUnchanged()
{
    const QStringList arguments{"a b", "\"quoted\"", "$HOME", "`id`", "back\\slash", "; rm -rf /", ""};
    const stCommandResult result = RunCommand("printf", QStringList{"[%s]\\n"} + arguments, true);
    QVERIFY(result.bStarted);
    QCOMPARE(result.iExitStatus, 0);
    QCOMPARE(QString::fromUtf8(result.standardOutput),
             QString("[a b]\n[\"quoted\"]\n[$HOME]\n[`id`]\n[back\\slash]\n[; rm -rf /]\n[]\n"));
}

void TestProcessRunner::exitCodeAndStartFailure()
{
    const stCommandResult failing = RunCommand("sh", {"-c", "exit 3"}, false);
    QVERIFY(failing.bStarted);
    QCOMPARE(failing.iExitStatus, 3);

    const stCommandResult killed = RunCommand("sh", {"-c", "kill -9 $$"}, false);
    QVERIFY(killed.bStarted);
    QCOMPARE(killed.iExitStatus, -1);

    const stCommandResult missing = RunCommand("ruvo-no-such-program", {}, false);
    QVERIFY(!missing.bStarted);
    QVERIFY(!RunCommandWithin("ruvo-no-such-program", {}, 1000).bStarted);
}

void TestProcessRunner::cLocaleReplacesTheInheritedOne()
{
    qputenv("LC_ALL", "zh_CN.UTF-8");
    qputenv("LC_MESSAGES", "zh_CN.UTF-8");
    const QByteArray environment = RunCommand("env", {}, true, enCommandLocale::C).standardOutput;
    const QByteArray inherited = RunCommand("env", {}, true).standardOutput;
    qunsetenv("LC_ALL");
    qunsetenv("LC_MESSAGES");
    QVERIFY(environment.contains("\nLC_ALL=C\n") || environment.startsWith("LC_ALL=C\n"));
    QVERIFY(environment.contains("LC_MESSAGES=C\n"));
    QVERIFY(!environment.contains("zh_CN"));
    QVERIFY(inherited.contains("LC_ALL=zh_CN.UTF-8\n"));
}

void TestProcessRunner::timeLimitStopsAnOverrunningProgram()
{
    QElapsedTimer clock;
    clock.start();
    const stCommandResult result = RunCommandWithin("sleep", {"30"}, 300);
    QVERIFY(result.bStarted);
    QVERIFY(result.bTimedOut);
    QCOMPARE(result.iExitStatus, -1);
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
}

void TestProcessRunner::timeLimitLeavesAQuickProgramAlone()
{
    const stCommandResult result = RunCommandWithin("sh", {"-c", "exit 4"}, 10000);
    QVERIFY(result.bStarted);
    QVERIFY(!result.bTimedOut);
    QCOMPARE(result.iExitStatus, 4);
}

QTEST_GUILESS_MAIN(TestProcessRunner)
#include "test_process_runner.moc"
