#pragma once
// The client's side of the port-7000 protocol on a socket: connect to the
// daemon on the loopback address, send a command with its fixed-size body,
// receive a fixed-size answer with a bounded wait. Shared by every client of
// the daemon (the scanner backend, the command-line clients).

#include <cstddef>
#include <cstdint>

namespace ruvo_wire {

// A connected descriptor (close-on-exec, sent without delay) to
// 127.0.0.1:`port`, or -1 with errno set. A receive buffer size above 0 is
// set before connecting.
int ConnectToDaemon(int port, int receiveBuffer = 0);

// Sends all `length` bytes; false when the peer is gone or a send fails.
bool SendAll(int fd, const void *bytes, size_t length);
// Sends the command value and its body as one piece.
bool SendRequest(int fd, int32_t command, const void *body, size_t length);
// Receives exactly `length` bytes, waiting at most `timeoutMs` for each part.
bool ReceiveExact(int fd, void *buffer, size_t length, int timeoutMs);

} // namespace ruvo_wire
