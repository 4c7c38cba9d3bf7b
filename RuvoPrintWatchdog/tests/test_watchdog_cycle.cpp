// The watchdog's cycle decision with a process table, heartbeat and clock of
// the test's making: when it restarts, what it logs, and what it looks at.
#include "ServiceWatchdog.h"
#include "UtilLog.h"

#include <QFile>
#include <QtTest>

namespace {

const QDateTime kNow = QDateTime(QDate(2026, 3, 1), QTime(12, 0, 0), Qt::UTC);

class FakeEnvironment : public WatchdogEnvironment
{
public:
    QList<stProcessEntry> table{{100, "bash"}, {200, "ruvoK40Service"}};
    std::optional<QDateTime> heartbeat = kNow.addSecs(-1);
    int tableReads = 0;
    int heartbeatReads = 0;
    int stops = 0;
    int starts = 0;
    QStringList calls; // order of stop, start and sleeps during a restart

    QList<stProcessEntry> ProcessTable() override
    {
        ++tableReads;
        return table;
    }
    std::optional<QDateTime> HeartbeatModified() override
    {
        ++heartbeatReads;
        return heartbeat;
    }
    QDateTime Now() override { return kNow; }
    void StopService() override
    {
        ++stops;
        calls << "stop";
    }
    void StartService() override
    {
        ++starts;
        calls << "start";
    }
    void SleepSeconds(int seconds) override { calls << QStringLiteral("sleep %1").arg(seconds); }
};

QStringList LogMessages()
{
    QFile log(CurrentLogFile());
    if (!log.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList messages;
    for (const QString &line : QString::fromLocal8Bit(log.readAll()).split('\n', Qt::SkipEmptyParts)) {
        for (const char *message : {"run service, index = ", "service not found!", "heartbeat timeout!"}) {
            const int at = line.indexOf(QLatin1String(message));
            if (at >= 0)
                messages << line.mid(at);
        }
    }
    return messages;
}

// Runs cycles until one restarts the service; returns the cycles run.
int CyclesUntilRestart(ServiceWatchdog &watchdog, int limit)
{
    for (int cycle = 1; cycle <= limit; ++cycle) {
        if (watchdog.RunCycle())
            return cycle;
    }
    return -1;
}

} // namespace

class TestWatchdogCycle : public QObject
{
    Q_OBJECT

private slots:
    void logGoesToItsOwnPlace();
    void init();
    void cleanup();

    void heartbeatAge_data();
    void heartbeatAge();
    void healthyServiceRestartsInCycle3600();
    void failedCheckRestartsAndCountsAgain();
    void missingProcessSkipsHeartbeat();
    void staleHeartbeatRestarts();
    void processNameInOtherCaseCounts();
};

void TestWatchdogCycle::init()
{
    SetLogEnable(true);
    // Series started within the same second share a file name.
    QFile::remove(CurrentLogFile());
}

void TestWatchdogCycle::cleanup()
{
    SetLogEnable(false);
}

void TestWatchdogCycle::heartbeatAge_data()
{
    QTest::addColumn<qint64>("ageMilliseconds"); // negative: in the future
    QTest::addColumn<bool>("fresh");
    QTest::addRow("just written") << qint64(0) << true;
    QTest::addRow("9 s") << qint64(9000) << true;
    QTest::addRow("9.999 s is 9 whole seconds") << qint64(9999) << true;
    QTest::addRow("10 s") << qint64(10000) << false;
    QTest::addRow("an hour") << qint64(3600000) << false;
    QTest::addRow("in the future") << qint64(-3600000) << true;
}

void TestWatchdogCycle::heartbeatAge()
{
    QFETCH(qint64, ageMilliseconds);
    QFETCH(bool, fresh);
    QCOMPARE(IsHeartbeatFresh(kNow.addMSecs(-ageMilliseconds), kNow), fresh);

    FakeEnvironment environment;
    environment.heartbeat = kNow.addMSecs(-ageMilliseconds);
    ServiceWatchdog watchdog(environment);
    QCOMPARE(watchdog.RunCycle(), !fresh);
    QCOMPARE(environment.starts, fresh ? 0 : 1);
}

void TestWatchdogCycle::healthyServiceRestartsInCycle3600()
{
    FakeEnvironment environment;
    ServiceWatchdog watchdog(environment);
    QCOMPARE(CyclesUntilRestart(watchdog, 5000), 3600);
    // Cycles 1 to 3599 checked both signs; cycle 3600 checked nothing.
    QCOMPARE(environment.tableReads, 3599);
    QCOMPARE(environment.heartbeatReads, 3599);
    QCOMPARE(environment.calls.count("sleep 1"), 3599 + 2);
    QCOMPARE(environment.calls.mid(environment.calls.size() - 4),
             QStringList({"stop", "sleep 1", "start", "sleep 1"}));
    QCOMPARE(LogMessages(), QStringList{"run service, index = 3600"});
    QCOMPARE(watchdog.Index(), 0);
    // The count starts again: the next unconditional restart is 3600 cycles later.
    QCOMPARE(CyclesUntilRestart(watchdog, 5000), 3600);
    QCOMPARE(environment.starts, 2);
}

void TestWatchdogCycle::failedCheckRestartsAndCountsAgain()
{
    FakeEnvironment environment;
    ServiceWatchdog watchdog(environment);
    QCOMPARE(CyclesUntilRestart(watchdog, 9), -1);
    environment.table.clear();
    QVERIFY(watchdog.RunCycle()); // cycle 10
    QCOMPARE(LogMessages(), QStringList({"service not found!", "run service, index = 10"}));
    environment.table = {{300, "ruvoK40Service"}};
    QCOMPARE(CyclesUntilRestart(watchdog, 5000), 3600);
    QCOMPARE(LogMessages().last(), QStringLiteral("run service, index = 3600"));
    QCOMPARE(environment.stops, 2);
}

void TestWatchdogCycle::missingProcessSkipsHeartbeat()
{
    FakeEnvironment environment;
    environment.table = {{100, "bash"}, {101, "ruvoK40Servic"}, {102, "xruvoK40Service"}};
    ServiceWatchdog watchdog(environment);
    QVERIFY(watchdog.RunCycle());
    QCOMPARE(environment.heartbeatReads, 0);
    QCOMPARE(environment.calls, QStringList({"stop", "sleep 1", "start", "sleep 1"}));
    QCOMPARE(LogMessages(), QStringList({"service not found!", "run service, index = 1"}));
}

void TestWatchdogCycle::staleHeartbeatRestarts()
{
    FakeEnvironment environment;
    environment.heartbeat.reset(); // no heartbeat file at all
    ServiceWatchdog watchdog(environment);
    QVERIFY(watchdog.RunCycle());
    environment.heartbeat = kNow.addSecs(-10);
    QVERIFY(watchdog.RunCycle());
    QCOMPARE(LogMessages(), QStringList({"heartbeat timeout!", "run service, index = 1",
                                         "heartbeat timeout!", "run service, index = 1"}));
}

void TestWatchdogCycle::processNameInOtherCaseCounts()
{
    FakeEnvironment environment;
    environment.table = {{100, "RUVOK40SERVICE"}};
    ServiceWatchdog watchdog(environment);
    QVERIFY(!watchdog.RunCycle());
    QCOMPARE(environment.heartbeatReads, 1);
}

// The log of this program lies under the product directory.
void TestWatchdogCycle::logGoesToItsOwnPlace()
{
    QCOMPARE(WatchdogLogLocation().strDirectory, QString("/opt/ruvo/k40_series_printer/log/"));
    QCOMPARE(WatchdogLogLocation().strBaseName, QString("log_wd"));
}

QTEST_GUILESS_MAIN(TestWatchdogCycle)
#include "test_watchdog_cycle.moc"
