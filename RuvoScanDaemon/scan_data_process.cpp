#include "scan_data_process.h"

#include "scan_record_loop.h"
#include "scan_signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Tells a data process to stop between two transfers with its scanner.
constexpr int kDataStopSignal = SIGUSR1;

// In a data process: the write end of the pipe whose closing tells the
// connection process that the scan's last record is on its way.
int s_endNoticeFd = -1;

void onDataStopSignal(int)
{
    RequestRecordLoopStop();
}

// The child's side of DataProcess::start: never returns.
[[noreturn]] void runChild(UniqueFd gateRead, UniqueFd gateWrite, UniqueFd noticeRead, UniqueFd noticeWrite,
                           const std::function<int()> &body)
{
    // Restarted, so a transfer under way runs to its end; only the waits
    // between records (the client's socket, which has a time limit) see it.
    struct sigaction stopAction {};
    stopAction.sa_handler = onDataStopSignal;
    sigemptyset(&stopAction.sa_mask);
    stopAction.sa_flags = SA_RESTART;
    sigaction(kDataStopSignal, &stopAction, nullptr);
    gateWrite.reset();
    noticeRead.reset();
    char ignored;
    // Returns when the parent has sent the start response and closed its end.
    while (read(gateRead.get(), &ignored, 1) < 0 && errno == EINTR) {
    }
    gateRead.reset();
    s_endNoticeFd = noticeWrite.release();
    int status = body();
    _exit(status);
}

} // namespace

DataProcess::~DataProcess()
{
    stop();
}

bool DataProcess::start(const std::function<int()> &body)
{
    if (running())
        return false;
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) != 0)
        return false;
    UniqueFd gateRead(gate[0]);
    UniqueFd gateWrite(gate[1]);
    int notice[2];
    if (pipe2(notice, O_CLOEXEC) != 0)
        return false;
    UniqueFd noticeRead(notice[0]);
    UniqueFd noticeWrite(notice[1]);
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0)
        runChild(std::move(gateRead), std::move(gateWrite), std::move(noticeRead), std::move(noticeWrite), body);
    m_pid = child;
    m_endNotice = std::move(noticeRead);
    // A descriptor that becomes readable when the child ends, so the command
    // wait learns of it at once (glibc's wrapper lacks C linkage in Debian 12).
    m_pidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    m_gate = std::move(gateWrite);
    return true;
}

void DataProcess::release()
{
    m_gate.reset();
}

void DataProcess::reaped(int status)
{
    m_lastExit.reset();
    if (WIFEXITED(status))
        m_lastExit = WEXITSTATUS(status);
    m_pid = 0;
    m_pidfd.reset();
    m_gate.reset();
    m_endNotice.reset();
}

bool DataProcess::busy(int graceMs)
{
    if (!running())
        return false;
    pollfd notice{m_endNotice.get(), POLLIN, 0};
    if (!m_endNotice || poll(&notice, 1, 0) <= 0)
        return true;
    finish(graceMs);
    return false;
}

bool DataProcess::running()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    pid_t result = waitpid(m_pid, &status, WNOHANG);
    if (result == m_pid) {
        reaped(status);
        return false;
    }
    if (result < 0 && errno == ECHILD) {
        // Reaped elsewhere (never by this daemon): forget it, signal nothing.
        reaped(0);
        return false;
    }
    return true;
}

void DataProcess::stop()
{
    if (!running())
        return;
    // Still this process's unreaped child, so the id cannot belong to anyone else.
    kill(m_pid, SIGKILL);
    int status = 0;
    pid_t result;
    do {
        result = waitpid(m_pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    reaped(result == m_pid ? status : 0);
    m_lastExit.reset();
}

void DataProcess::interrupt(int graceMs)
{
    if (!running())
        return;
    // Still this process's unreaped child, so the id cannot belong to anyone else.
    kill(m_pid, kDataStopSignal);
    finish(graceMs);
}

void DataProcess::finish(int graceMs)
{
    release();
    DaemonClock::time_point deadline = DaemonClock::now() + std::chrono::milliseconds(graceMs);
    while (running()) {
        int left = MillisecondsUntil(deadline);
        if (left == 0) {
            stop();
            return;
        }
        if (m_pidfd) {
            pollfd waiting{m_pidfd.get(), POLLIN, 0};
            poll(&waiting, 1, left);
        } else {
            usleep(20 * 1000);
        }
    }
}

void AnnounceDataProcessEnd()
{
    if (s_endNoticeFd >= 0) {
        close(s_endNoticeFd);
        s_endNoticeFd = -1;
    }
}
