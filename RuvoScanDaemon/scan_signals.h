#pragma once
// The daemon's quit signal: the run flag its handler clears, the log line it
// leaves, and the signal mask every wait of the daemon's processes uses, so a
// quit that comes between a check of the flag and the wait still ends the wait.

#include <chrono>
#include <csignal>

using DaemonClock = std::chrono::steady_clock;

// True from the start; the quit handler clears it.
extern volatile sig_atomic_t flag;

// The SIGQUIT handler: only sets flags (its log line is written later, by
// LogReceivedSignal, outside the signal context).
void handler(int sig);

// Writes the quit handler's log line once the signal has come.
void LogReceivedSignal();

// For the socket calls' GiveUp: a wait interrupted by the quit signal ends.
bool QuitRequested();

// The mask to wait with: the current one without SIGQUIT (and without SIGCHLD
// when `withChild`). The daemon keeps both blocked outside its waits.
sigset_t WaitMask(bool withChild);

// Milliseconds left until `deadline`, 0 once it has passed.
int MillisecondsUntil(DaemonClock::time_point deadline);
