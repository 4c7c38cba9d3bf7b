// Whatever a client sends to port 7000: the service loop reads it from one end
// of a socket pair. Runs in its own network namespace (no network at all, so the
// network commands cannot reach any address) and mount namespace (no USB device
// files), as root.
#include "scan_connection.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kScanDirectory[] = "/tmp/fuzz-scan";

bool sealOff()
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    // Hide every USB device file; the search finds nothing.
    struct stat info;
    for (const char *root : {"/dev/bus/usb", "/proc/bus/usb"})
        if (stat(root, &info) == 0 && mount("none", root, "tmpfs", 0, "size=64k") != 0)
            return false;
    mkdir(kScanDirectory, 0755);
    return true;
}

// Namespaces must be entered while the process has one thread: libFuzzer calls
// this before it starts its own threads; the replay driver has none.
bool ensureSealed()
{
    static const bool sealed = sealOff();
    if (!sealed) {
        std::fprintf(stderr, "fuzz_client_request: cannot enter private network and mount namespaces: %s\n",
                     std::strerror(errno));
        std::abort();
    }
    return sealed;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ensureSealed();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ensureSealed();
    if (size > 16384)
        return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    // Answers nobody reads must not block the loop, and the whole input is
    // there before the loop starts.
    ConnectionLimits limits;
    limits.sendStallMs = 10;
    limits.bodyMs = 100;
    limits.stopGraceMs = 100;
    size_t done = 0;
    while (done < size) {
        ssize_t sent = send(pair[0], data + done, size - done, MSG_NOSIGNAL);
        if (sent <= 0)
            break;
        done += static_cast<size_t>(sent);
    }
    shutdown(pair[0], SHUT_WR);
    ServeConnection(pair[1], kScanDirectory, limits);
    close(pair[0]);
    close(pair[1]);
    return 0;
}
