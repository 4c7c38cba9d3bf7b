#pragma once
// Who is at the other end of a client connection: the socket's credentials on
// the local socket, the kernel's socket diagnostics (NETLINK_SOCK_DIAG) on
// loopback TCP. The bytes of the diagnostics exchange are built and read by
// scan_rules; this file only asks the kernel.

#include "scan_pages.h"

// The user of the client at the other end of a connection; unknown when the
// kernel cannot tell (a scan start of such a connection is refused).
PageOwner ConnectionOwner(int fd);
