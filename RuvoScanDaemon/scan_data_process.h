#pragma once
// The data process of a connection: the child that runs a scan's record loop
// (scan_record_loop.h). Owns its fork, the gate that holds it until the start
// response went out, its reaping, and the two ways it is ended: interrupted
// between two transfers with the scanner, or killed.

#include "unique_fd.h"

#include <functional>
#include <optional>
#include <sys/types.h>

// Its id is kept only while it is this process's child: it is reaped the
// moment it ends, and no signal ever goes to an id that has been reaped.
class DataProcess {
public:
    DataProcess() = default;
    ~DataProcess();
    DataProcess(const DataProcess &) = delete;
    DataProcess &operator=(const DataProcess &) = delete;

    // Forks the child, which runs `body` once release() lets it (so the start
    // response always precedes the first record); `body` returns the child's
    // exit status. False when no child could be started. In the child,
    // AnnounceDataProcessEnd() tells the parent that the scan's last record
    // is about to go out.
    bool start(const std::function<int()> &body);
    // Lets the child begin (after the start response went out).
    void release();
    // True while the child runs; reaps it when it has ended.
    bool running();
    // True while the child runs and has not announced its end. A child that
    // has (its scan's last record may already have reached the client) is
    // given `graceMs` to end, so a start that follows at once is not refused.
    bool busy(int graceMs);
    // Readable when the child ends (-1 when the system gives no such descriptor).
    int endNotifier() const { return m_pidfd.get(); }
    // The child's id while it is this process's unreaped child; 0 otherwise.
    pid_t id() const { return m_pid; }
    // Ends the child now (SIGKILL) and waits until it is gone.
    void stop();
    // Waits up to `graceMs` for the child to end on its own, then stops it.
    void finish(int graceMs);
    // Tells the child to end before its next transfer with the scanner, then
    // finish(graceMs): SIGKILL only for a child stuck longer than that.
    void interrupt(int graceMs);
    // Exit status of the last child that ended by itself; nullopt when it was
    // killed or none ended yet.
    std::optional<int> lastExitStatus() const { return m_lastExit; }

private:
    void reaped(int status);

    pid_t m_pid = 0;
    UniqueFd m_pidfd;
    UniqueFd m_gate;
    UniqueFd m_endNotice;
    std::optional<int> m_lastExit;
};

// Called in a data process: its scan is ending (see DataProcess::start).
void AnnounceDataProcessEnd();
