#include "scan_daemon.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
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
    int port = kScanDaemonPort;
    if (const char *testPort = std::getenv("RUVO_SCAN_DAEMON_PORT")) {
        int requested = std::atoi(testPort);
        if (requested > 0 && requested < 65536)
            port = requested;
    }
    return mainProc(port);
}
