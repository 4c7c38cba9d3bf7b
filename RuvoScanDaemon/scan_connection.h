#pragma once
// What the listener (and a test) sees of one client connection: the limits
// that bound it and the call that serves it. Its state is in
// scan_connection_state.h, its loop in scan_connection_loop.cpp.

#include "scan_pages.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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

// The text of a fixed-size field from a client, which must hold its NUL within
// its size; nullopt when it does not (such a request is refused, never cut).
std::optional<std::string> TextField(const char *field, size_t size);

// Serves one client connection until it closes, goes quiet or SIGQUIT comes.
// Used by the listener's connection processes and by tests over a socket pair.
// Without `owner`, the connection's user is learnt from the connection.
void ServeConnection(int fd, const std::string &scanDir, const ConnectionLimits &limits, PageOwner owner);
void ServeConnection(int fd, const std::string &scanDir, const ConnectionLimits &limits);
void ServeConnection(int fd, const std::string &scanDir);
