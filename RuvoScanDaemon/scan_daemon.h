#pragma once
// The daemon's process structure and service loop: one connection process per
// client, one data process per running scan that writes the page files.

#include "scan_types.h"

#include <csignal>
#include <cstddef>
#include <set>
#include <string>
#include <sys/types.h>

// ---- process-wide state (each forked process has its own copy) ----
extern volatile sig_atomic_t flag;
extern pid_t dataProcPid;
extern int filename_index;

void create_daemon();
void handler(int sig);
// Serves port `port` on the loopback address until SIGQUIT. Returns the exit status.
int mainProc(int port);

// ---- reusable pieces of the command handlers ----

// Receives `length` bytes: keeps receiving until all are there, the peer closes,
// or `timeoutMs` passes without any byte. Returns the bytes received.
size_t RecvWhole(int fd, void *buffer, size_t length, int timeoutMs);
inline constexpr int kBodyTimeoutMs = 5000;

// Sends all `n` bytes in at most 11 send calls. Returns n, or -1 when bytes remain.
int serverTcpSendWithRetry(int fd, const void *buf, int n, int flags);

// Removes the regular files directly inside `basePath` whose path contains
// `subStr` (never the daemon's own logs, never through a symbolic link).
// Returns 0, or -1 when the directory cannot be opened.
int deleteFileList(const char *basePath, const char *subStr);

// True when `name` names a regular file directly inside `scanDir`: an absolute
// path "<scanDir>/<entry>" with no further '/', entry not "." or "..", not a
// log of the daemon. Text only; the caller checks the file type with lstat.
bool IsScanDirectoryEntryName(const std::string &scanDir, const std::string &name);
// Removes `name` when it is such an entry and a regular file (not a link).
// Returns true when a file was removed.
bool DeleteScanFile(const std::string &scanDir, const std::string &name);

// "…/ruvoscandata_<pid>_<index>" and its page files "<base>_<page>.tmp".
std::string ScanBaseName(const std::string &scanDir, int processId, int index);
std::string PageFileName(const std::string &baseName, int page);

// Makes a fixed-size text field from a client NUL-terminated within its size.
void TerminateTextField(char *field, size_t size);

// Device handles this connection process opened (find or reopen). Only these
// may be named by a client's devfd.
class OwnedHandles {
public:
    void add(int fd) { m_handles.insert(fd); }
    void remove(int fd) { m_handles.erase(fd); }
    bool contains(int fd) const { return m_handles.count(fd) != 0; }
    const std::set<int> &all() const { return m_handles; }

private:
    std::set<int> m_handles;
};

// Starts a data process running `body`; the child waits until the parent calls
// ReleaseDataProcess, so the start response always precedes the first record.
// Returns the child's pid, or -1.
pid_t StartDataProcess(void (*body)(void *), void *context);
void ReleaseDataProcess();
// Ends the last data process (kill(2), not a shell) and waits until it is gone.
void StopDataProcess();

// Serves one client connection until it closes. Used by mainProc's children and
// by tests that drive the loop over a socket pair.
void ServeConnection(int fd, const std::string &scanDir);
