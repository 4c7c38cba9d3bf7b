#include "ServiceWatchdog.h"

#include "RuvoPaths.h"
#include "UtilCommand.h"
#include "UtilLog.h"
#include "product_paths.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <ctime>

bool IsHeartbeatFresh(const std::optional<QDateTime> &modified, const QDateTime &now)
{
    if (!modified || !modified->isValid())
        return false;
    // secsTo counts whole seconds (truncated) and is negative for a future time.
    return modified->secsTo(now) <= c_iHeartbeatMaxAgeSeconds;
}

ServiceWatchdog::ServiceWatchdog(WatchdogEnvironment &environment) : m_environment(environment) {}

bool ServiceWatchdog::CheckIsRunning()
{
    const int count = CountProcessesNamed(m_environment.ProcessTable(),
                                          QString::fromLatin1(ruvo_paths::kServiceName));
    if (count == 0)
        RUVO_LOG("service not found!");
    return count > 0;
}

bool ServiceWatchdog::CheckServiceHeartbeat()
{
    if (IsHeartbeatFresh(m_environment.HeartbeatModified(), m_environment.Now()))
        return true;
    RUVO_LOG("heartbeat timeout!");
    return false;
}

bool ServiceWatchdog::RunCycle()
{
    ++m_iIndex;
    if (m_iIndex < c_iRestartCycle && CheckIsRunning() && CheckServiceHeartbeat()) {
        m_environment.SleepSeconds(1);
        return false;
    }
    RUVO_LOG("run service, index = %d", m_iIndex);
    m_iIndex = 0;
    m_environment.StopService();
    m_environment.SleepSeconds(1);
    m_environment.StartService();
    m_environment.SleepSeconds(1);
    return true;
}

void ServiceWatchdog::StartTask()
{
    for (;;)
        RunCycle();
}

QList<stProcessEntry> SystemWatchdogEnvironment::ProcessTable()
{
    // The working directory stays as other tools of the product expect it,
    // although the process list is no longer written there.
    QDir().mkpath(RuvoPaths::ProductPath(ruvo_paths::kTempSubDir));
    return ReadProcessTable();
}

std::optional<QDateTime> SystemWatchdogEnvironment::HeartbeatModified()
{
    const QFileInfo heartbeat(RuvoPaths::HeartbeatFile());
    if (!heartbeat.exists())
        return std::nullopt;
    return heartbeat.lastModified().toUTC();
}

QDateTime SystemWatchdogEnvironment::Now()
{
    return QDateTime::currentDateTimeUtc();
}

void SystemWatchdogEnvironment::StopService()
{
    SignalProcessesNamed(QString::fromLatin1(ruvo_paths::kServiceName), SIGTERM);
}

void SystemWatchdogEnvironment::StartService()
{
    StartDetached(RuvoPaths::ServiceProgram());
}

void SystemWatchdogEnvironment::SleepSeconds(int seconds)
{
    timespec remaining{seconds, 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

stLogLocation WatchdogLogLocation()
{
    return ProductLogLocation(ruvo_paths::kLogSubDir, QStringLiteral("log_wd"));
}
