// The watchdog against the printer-fleet simulator standing in for the
// service, end to end: it starts the service, leaves it alone while it is
// healthy, and restarts it when its heartbeat stops (the process hangs, here
// stopped with SIGSTOP) or its process is killed. Runs as the first process of
// its own pid namespace (see CMakeLists.txt), so the process table holds only
// the test's processes and no other copy of the service on this machine is touched.
#include "ProcessTable.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const QString kProduct = QStringLiteral("/opt/ruvo/k40_series_printer");
const QString kService = QStringLiteral("ruvoK40Service");
// Generous: the service is expected back within about 12 s of a stopped heartbeat.
constexpr int kPatienceMilliseconds = 40000;

// As the first process of the namespace this test adopts every orphan; ended
// services must be reaped, or their zombies would still be listed by name.
void ReapChildren(pid_t keep)
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == keep)
            qWarning("the watchdog ended");
    }
}

QList<pid_t> ServicePids()
{
    QList<pid_t> pids;
    for (const stProcessEntry &entry : ReadProcessTable()) {
        if (CommandMatchesProgram(entry.strCommand, kService))
            pids << entry.pid;
    }
    return pids;
}

// The simulator writes its heartbeat every 2 seconds.
bool HeartbeatFresh()
{
    const QFileInfo heartbeat(kProduct + "/cfg/service.hb");
    return heartbeat.exists() && heartbeat.lastModified().secsTo(QDateTime::currentDateTime()) <= 4;
}

} // namespace

class TestWatchdogService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void keepsServiceAlive();

private:
    // Polls `condition` every 100 ms, reaping orphans, for at most `limit` ms.
    template <typename Condition>
    bool WaitFor(Condition condition, int limit = kPatienceMilliseconds)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < limit) {
            ReapChildren(m_watchdog);
            if (condition())
                return true;
            QThread::msleep(100);
        }
        return condition();
    }

    // A service process other than `previous` once it runs with a fresh
    // heartbeat; 0 if none does in time.
    pid_t WaitForNewService(pid_t previous)
    {
        pid_t pid = 0;
        const bool found = WaitFor([&] {
            pid = 0;
            for (pid_t candidate : ServicePids()) {
                if (candidate != previous)
                    pid = candidate;
            }
            return pid != 0 && HeartbeatFresh();
        });
        return found ? pid : 0;
    }

    pid_t m_watchdog = 0;
};

void TestWatchdogService::initTestCase()
{
    if (getpid() != 1)
        QSKIP("needs its own pid namespace (run through CTest)");
    QVERIFY(QDir().mkpath(kProduct + "/bin"));
    QVERIFY(QFile::copy(QStringLiteral(RUVO_SERVICE_SIMULATOR), kProduct + "/bin/" + kService));
    QVERIFY(QFile::setPermissions(kProduct + "/bin/" + kService,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther));

    const QByteArray program = RUVO_WATCHDOG_PROGRAM;
    char *const argv[] = {const_cast<char *>(program.constData()), nullptr};
    QCOMPARE(posix_spawn(&m_watchdog, argv[0], nullptr, nullptr, argv, environ), 0);
}

void TestWatchdogService::cleanupTestCase()
{
    if (m_watchdog > 0) {
        kill(m_watchdog, SIGKILL);
        waitpid(m_watchdog, nullptr, 0);
    }
    for (pid_t pid : ServicePids())
        kill(pid, SIGKILL);
    ReapChildren(0);
}

void TestWatchdogService::keepsServiceAlive()
{
    // No service at first: the first cycle starts one.
    const pid_t first = WaitForNewService(0);
    QVERIFY2(first != 0, "the watchdog did not start the service");

    // Healthy: left alone over several cycles.
    QVERIFY(!WaitFor([&] { return ServicePids() != QList<pid_t>{first}; }, 5000));

    // Hung (still listed, heartbeat stopped): a new copy once the heartbeat is
    // 10 s old, and the hung one was told to end (it does once it may run again).
    QElapsedTimer sinceFault;
    sinceFault.start();
    QCOMPARE(kill(first, SIGSTOP), 0);
    const pid_t second = WaitForNewService(first);
    QVERIFY2(second != 0, "the service was not restarted after its heartbeat stopped");
    qInfo("back %lld ms after the heartbeat stopped", static_cast<long long>(sinceFault.elapsed()));
    QCOMPARE(kill(first, SIGCONT), 0);
    QVERIFY2(WaitFor([&] { return ServicePids() == QList<pid_t>{second}; }),
             "the hung copy was not stopped");

    // Killed: started again by the next cycle.
    sinceFault.restart();
    QCOMPARE(kill(second, SIGKILL), 0);
    const pid_t third = WaitForNewService(second);
    QVERIFY2(third != 0, "the service was not restarted after it was killed");
    qInfo("back %lld ms after the kill", static_cast<long long>(sinceFault.elapsed()));

    QVERIFY2(kill(m_watchdog, 0) == 0, "the watchdog ended");
    // Processes are read from /proc: no process list file is left behind.
    const QStringList left = QDir(kProduct + "/temp").entryList({"wd_pslist.*"}, QDir::Files);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(' ')));
}

QTEST_GUILESS_MAIN(TestWatchdogService)
#include "test_watchdog_service.moc"
