#include "scan_signals.h"

#include "scan_log.h"

#include <signal.h>

volatile sig_atomic_t flag = 1;

namespace {

volatile sig_atomic_t s_receivedSignal = 0;

} // namespace

void handler(int sig)
{
    s_receivedSignal = sig;
    flag = 0;
}

void LogReceivedSignal()
{
    if (s_receivedSignal != 0) {
        RuvoInfoLog("I got a signal %d\nI'm quitting.", static_cast<int>(s_receivedSignal));
        s_receivedSignal = 0;
    }
}

bool QuitRequested()
{
    return flag == 0;
}

sigset_t WaitMask(bool withChild)
{
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    sigdelset(&mask, SIGQUIT);
    if (withChild)
        sigdelset(&mask, SIGCHLD);
    return mask;
}

int MillisecondsUntil(DaemonClock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - DaemonClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}
