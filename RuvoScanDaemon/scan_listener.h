#pragma once
// The daemon's process and its listeners: detaching from the terminal, the
// signals it takes, the loopback TCP port and the local socket, the accept
// loop with its back-off, and one connection process per admitted client.

#include "unique_fd.h"

#include <string>

// Connection processes alive at once; a client beyond them is accepted and
// closed at once. Each user has at most kConnectionsPerUser of them (root and
// the service account are not counted against users).
inline constexpr int kMaxConnections = 32;

// Detaches from the terminal (two forks, a new session, standard descriptors
// on /dev/null), then prepare_daemon_process().
void create_daemon();
// What the daemon's process needs whether it detaches or a service manager
// keeps it in the foreground: terminal signals ignored, "/" as working
// directory, umask 0, and SIGCHLD at its default so children are reaped here.
void prepare_daemon_process();
// Serves port `port` on the loopback address and the local socket at
// `socketPath` until SIGQUIT. Returns the exit status.
int mainProc(int port, const std::string &socketPath);
int mainProc(int port);

// Listens on a Unix stream socket at `path` that every user may connect to,
// making its folder (0755) when missing. A socket left there by a daemon that
// is gone is replaced; one that still answers, or anything that is not a
// socket, is left alone and nothing listens (invalid result).
UniqueFd ListenLocal(const std::string &path);
