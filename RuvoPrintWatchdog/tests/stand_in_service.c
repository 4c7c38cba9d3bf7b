/* A stand-in for the background service, for the watchdog's tests: a process
 * named ruvoK40Service that modifies its heartbeat file every second until it
 * receives SIGUSR1 (then it stays alive but silent, like a hung service). It
 * ends on SIGTERM, as killall expects. */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t s_silent = 0;

static void BecomeSilent(int signalNumber)
{
    (void)signalNumber;
    s_silent = 1;
}

int main(void)
{
    static const char cfg[] = "/opt/ruvo/k40_series_printer/cfg";
    static const char heartbeat[] = "/opt/ruvo/k40_series_printer/cfg/service.hb";
    signal(SIGUSR1, BecomeSilent);
    mkdir("/opt/ruvo", 0755);
    mkdir("/opt/ruvo/k40_series_printer", 0755);
    mkdir(cfg, 0755);
    for (;;) {
        if (!s_silent) {
            const int fd = open(heartbeat, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                futimens(fd, NULL);
                close(fd);
            }
        }
        struct timespec second = {1, 0};
        while (nanosleep(&second, &second) != 0 && errno == EINTR && !s_silent) {
        }
    }
}
