#pragma once
// The daemon's process structure and service loop: one connection process per
// client, one data process per running scan that writes the page files.

#include "unique_fd.h"
#include "scan_pages.h"
#include "scan_types.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>

// ---- process-wide state (each forked process has its own copy) ----
extern volatile sig_atomic_t flag;
// The running data process of this connection process; 0 when none. Cleared as
// soon as the process has ended and been reaped, so it never names a process
// that is not this one's child.
extern pid_t dataProcPid;
extern int filename_index;

// Detaches from the terminal (two forks, a new session, standard descriptors
// on /dev/null), then prepare_daemon_process().
void create_daemon();
// What the daemon's process needs whether it detaches or a service manager
// keeps it in the foreground: terminal signals ignored, "/" as working
// directory, umask 0, and SIGCHLD at its default so children are reaped here.
void prepare_daemon_process();
void handler(int sig);
// Serves port `port` on the loopback address and the local socket at
// `socketPath` until SIGQUIT. Returns the exit status.
int mainProc(int port, const std::string &socketPath);
int mainProc(int port);

// Listens on a Unix stream socket at `path` that every user may connect to,
// making its folder (0755) when missing. A socket left there by a daemon that
// is gone is replaced; one that still answers, or anything that is not a
// socket, is left alone and nothing listens (invalid result).
UniqueFd ListenLocal(const std::string &path);

// ---- limits ----

// Connection processes alive at once; a client beyond them is accepted and
// closed at once. Each user has at most kConnectionsPerUser of them (root and
// the service account are not counted against users).
inline constexpr int kMaxConnections = 32;

// What bounds one connection. The defaults are the product's; tests shorten them.
struct ConnectionLimits {
    // A client that sends no command this long after connecting is closed.
    int firstCommandMs = 30 * 1000;
    // A connection without a running scan that sends nothing for this long is
    // closed; while a scan runs it may stay silent as long as the scan lasts.
    int idleMs = 10 * 60 * 1000;
    // The rest of a request once its first byte has come.
    int bodyMs = 5000;
    // A response or record that cannot be sent for this long fails; long enough
    // for a front end that pauses between pages.
    int sendStallMs = 120 * 1000;
    // How long a data process may take to end on its own when its connection ends.
    int stopGraceMs = 3000;
    // Page bytes one scan may write.
    uint64_t scanByteCap = 4ull * 1024 * 1024 * 1024;
};

// ---- reusable pieces of the command handlers ----

// Receives `length` bytes: keeps receiving until all are there, the peer closes,
// or `timeoutMs` has passed since the call began. Returns the bytes received.
size_t RecvWhole(int fd, void *buffer, size_t length, int timeoutMs);

// Sends all `length` bytes; fails when the peer is gone or no byte could be sent
// for `stallMs`. Never raises SIGPIPE.
bool SendWhole(int fd, const void *bytes, size_t length, int stallMs);

// Sends all `n` bytes (SendWhole with the default stall limit). Returns n, or -1
// when bytes remain.
int serverTcpSendWithRetry(int fd, const void *buf, int n, int flags);

// The text of a fixed-size field from a client, which must hold its NUL within
// its size; nullopt when it does not (such a request is refused, never cut).
std::optional<std::string> TextField(const char *field, size_t size);

// What identifies a device node, so a second search hands out the handle that
// this connection already holds for it.
struct DeviceNodeId {
    dev_t device;
    ino_t inode;
    dev_t special;
    bool operator<(const DeviceNodeId &other) const;
};
std::optional<DeviceNodeId> DeviceNodeOf(int fd);

// Device handles this connection process opened (find or reopen). Only these
// may be named by a client's devfd.
class OwnedHandles {
public:
    void add(int fd, std::optional<DeviceNodeId> node);
    void remove(int fd);
    bool contains(int fd) const { return m_handles.count(fd) != 0; }
    // The handle already held for that device node, if any.
    std::optional<int> find(const std::optional<DeviceNodeId> &node) const;
    size_t size() const { return m_handles.size(); }

private:
    std::map<int, std::optional<DeviceNodeId>> m_handles;
};

// The data process of this connection: a child that runs `body` once the parent
// releases it (so the start response always precedes the first record). Its id
// is kept only while it is this process's child: it is reaped the moment it
// ends, and no signal ever goes to an id that has been reaped.
class DataProcess {
public:
    DataProcess() = default;
    ~DataProcess();
    DataProcess(const DataProcess &) = delete;
    DataProcess &operator=(const DataProcess &) = delete;

    // Forks the child; `body` returns the child's exit status. False when no
    // child could be started. In the child, AnnounceDataProcessEnd() tells the
    // parent that the scan's last record is about to go out.
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

// The user of the client at the other end of a connection; unknown when the
// kernel cannot tell (a scan start of such a connection is refused).
PageOwner ConnectionOwner(int fd);

// Serves one client connection until it closes, goes quiet or SIGQUIT comes.
// Used by mainProc's children and by tests over a socket pair. Without `owner`,
// the connection's user is learnt from the connection.
void ServeConnection(int fd, const std::string &scanDir, const ConnectionLimits &limits, PageOwner owner);
void ServeConnection(int fd, const std::string &scanDir, const ConnectionLimits &limits);
void ServeConnection(int fd, const std::string &scanDir);
