// RuvoPrintWatchdog: keeps the background service running; never ends by itself.
#include "CommandLine.h"
#include "ServiceWatchdog.h"
#include "product_paths.h"

#include "UtilLog.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    const ruvo_command_line::stProgram program{
        "RuvoPrintWatchdog",
        std::string("Keeps the vendor service ") + ruvo_paths::kServiceName
            + " running: restarts it when its process or its heartbeat\n"
              "(cfg/" + ruvo_paths::kHeartbeatFileName
            + " in the product directory) is gone, and once an hour. Runs until stopped.",
        {}};
    ruvo_command_line::stParsed parsed;
    const int answered = ruvo_command_line::AnswerCommandLine(program, argc, argv, parsed);
    if (answered >= 0)
        return answered;

    QCoreApplication application(argc, argv);
    SetLogLocation(WatchdogLogLocation());
    RUVO_LOG("Start watchdog, enable log");
    SystemWatchdogEnvironment environment;
    ServiceWatchdog watchdog(environment);
    watchdog.StartTask();
}
