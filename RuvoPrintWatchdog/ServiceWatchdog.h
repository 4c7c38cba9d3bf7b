#pragma once
// Keeps the background service alive: once a second it checks that a process
// of the service's name exists and that the heartbeat file is fresh, and
// restarts the service when either fails, and in any case every 3600 cycles.
#include "ProcessTable.h"
#include "UtilLog.h"

#include <QDateTime>
#include <QList>

#include <optional>

// The cycle in which a healthy service is restarted anyway.
inline constexpr int c_iRestartCycle = 3600;
// A heartbeat at most this many whole seconds old is fresh.
inline constexpr int c_iHeartbeatMaxAgeSeconds = 9;

// What the watchdog sees of and does to the system; tests give their own.
class WatchdogEnvironment
{
public:
    virtual ~WatchdogEnvironment() = default;
    virtual QList<stProcessEntry> ProcessTable() = 0;
    // The heartbeat file's modification time, nullopt when there is no file.
    virtual std::optional<QDateTime> HeartbeatModified() = 0;
    virtual QDateTime Now() = 0;
    virtual void StopService() = 0;
    virtual void StartService() = 0;
    virtual void SleepSeconds(int seconds) = 0;
};

// Whole seconds from the modification to now at most 9; a time in the future
// counts as fresh, no file as stale.
bool IsHeartbeatFresh(const std::optional<QDateTime> &modified, const QDateTime &now);

class ServiceWatchdog
{
public:
    explicit ServiceWatchdog(WatchdogEnvironment &environment);

    bool CheckIsRunning();
    bool CheckServiceHeartbeat();
    // One cycle; true when it restarted the service.
    bool RunCycle();
    [[noreturn]] void StartTask();

    int Index() const { return m_iIndex; }

private:
    WatchdogEnvironment &m_environment;
    int m_iIndex = 0; // cycles since start or since the last restart
};

// The real system: /proc, the product's heartbeat file, signals and a detached start.
class SystemWatchdogEnvironment : public WatchdogEnvironment
{
public:
    QList<stProcessEntry> ProcessTable() override;
    std::optional<QDateTime> HeartbeatModified() override;
    QDateTime Now() override;
    void StopService() override;
    void StartService() override;
    void SleepSeconds(int seconds) override;
};

// Where this program's log goes (set in main).
stLogLocation WatchdogLogLocation();
