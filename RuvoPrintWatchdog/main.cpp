// RuvoPrintWatchdog: keeps the background service running; never ends by itself.
#include "ServiceWatchdog.h"

#include "UtilLog.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    SetLogLocation(WatchdogLogLocation());
    RUVO_LOG("Start watchdog, enable log");
    SystemWatchdogEnvironment environment;
    ServiceWatchdog watchdog(environment);
    watchdog.StartTask();
}
