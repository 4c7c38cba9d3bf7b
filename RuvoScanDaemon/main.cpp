#include "CommandLine.h"
#include "product_paths.h"
#include "scan_listener.h"
#include "scan_names.h"
#include "scan_signals.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char c_szForeground[] = "--foreground";

} // namespace

int main(int argc, char **argv)
{
    const ruvo_command_line::stProgram program{
        "RuvoScanDaemon",
        std::string("Serves local scanning clients on TCP port 7000 of the loopback address and\n"
                    "writes the scanned pages into ")
            + ruvo_paths::kScanDir
            + ".\nDetaches itself from the terminal unless --foreground is given. SIGQUIT ends it.",
        {{c_szForeground, "stay in the foreground as the process started (for a service manager)"}}};
    ruvo_command_line::stParsed parsed;
    const int answered = ruvo_command_line::AnswerCommandLine(program, argc, argv, parsed);
    if (answered >= 0)
        return answered;

    // In the foreground a service manager keeps the daemon as its main process,
    // and standard output and error stay connected to its journal.
    if (parsed.Has(c_szForeground))
        prepare_daemon_process();
    else
        create_daemon();

    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocked accept must return when the quit signal comes.
    action.sa_flags = 0;
    if (sigaction(SIGQUIT, &action, nullptr) != 0) {
        std::fprintf(stderr, "sigaction error.\n");
        return 0;
    }

    // The product listens on port 7000; tests running beside another daemon
    // choose their own port.
    return mainProc(ruvo_wire::DaemonPortOfEnvironment());
}
