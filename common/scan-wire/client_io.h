#pragma once
// The client's side of the daemon's record protocol on a socket: connect to
// the daemon (its local socket, checked to be the scan service's, or loopback
// TCP where the configuration asks for it), send a command with its
// fixed-size body, receive a fixed-size answer within one deadline. Shared by
// every client of the daemon (the scanner backend, the command-line clients).

#include "scan_names.h"
#include "scan_types.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ruvo_wire {

using Deadline = std::chrono::steady_clock::time_point;

// Whether a listener running as `peer` may be the scan service: the service
// account when it exists, root only where it does not.
bool TrustedDaemonUid(uid_t peer, bool serviceAccountExists, uid_t serviceUid);

// A connected descriptor (close-on-exec) to the daemon's local socket, or -1
// with `error` saying why. Before anything is sent the listener's user is
// checked: a socket held by any other user is closed and refused. A receive
// buffer size above 0 is set before connecting.
int ConnectToLocalDaemon(std::string &error, int receiveBuffer = 0);
// The same check on any connected local socket.
bool PeerIsScanService(int fd, std::string &error);

// A connected descriptor (close-on-exec, sent without delay) to
// 127.0.0.1:`port`, or -1 with errno set. Nothing checks who listens there:
// only for a configuration that names TCP explicitly.
int ConnectToDaemon(int port, int receiveBuffer = 0);

// Asked when a signal interrupts a send or a wait: true ends the transfer.
using GiveUp = bool (*)();

// Sends all `length` bytes without raising SIGPIPE; false when the peer is
// gone, a send fails, or (stallMs above 0) no byte could go out for stallMs.
// An interrupted send goes on unless `giveUp` says otherwise, and only before
// its first byte went out: the peer reads a stream of fixed-size records, and
// a record cut short would shift every answer after it.
bool SendAll(int fd, const void *bytes, size_t length, int stallMs, GiveUp giveUp);
// The same without a stall limit: false when the peer is gone or a send fails.
bool SendAll(int fd, const void *bytes, size_t length);
// Sends the command value and its body as one piece.
bool SendRequest(int fd, int32_t command, const void *body, size_t length);
// Receives until `length` bytes are there, the peer closes or fails, `deadline`
// passes, or a wait interrupted by a signal finds `giveUp` true. Bytes already
// waiting when the deadline passes are still taken. Returns how many came.
size_t ReceiveUpTo(int fd, void *buffer, size_t length, Deadline deadline, GiveUp giveUp = nullptr);
// Receives exactly `length` bytes; false when they are not all there by `deadline`.
bool ReceiveBefore(int fd, void *buffer, size_t length, Deadline deadline);
// Receives exactly `length` bytes within `timeoutMs` for all of them together.
bool ReceiveExact(int fd, void *buffer, size_t length, int timeoutMs);

// The answer to a USB device search: a count, then that many device records,
// all by `deadline`. A negative count is a search that found nothing; a count
// above the daemon's device table, or an answer cut short, is false.
bool ReceiveFoundDevices(int fd, Deadline deadline, std::vector<USBFindDevRes> &found);

inline Deadline DeadlineIn(int timeoutMs)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

} // namespace ruvo_wire
