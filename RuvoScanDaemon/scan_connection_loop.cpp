// The request loop of one connection: wait for a command (within the idle
// time, which a running scan holds off), hand it to its kind's handlers, and
// at the end leave no scan running and no scanner locked.
#include "scan_connection_state.h"

#include "scan_peer.h"
#include "scan_protocol.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>

namespace {

// Nothing is sent back, whatever happens.
void handleDeleteFile(ConnectionState &state)
{
    CmdDeleteFileReq request;
    if (!receiveRequest(state, request, "recv CmdDeleteFileReq err"))
        return;
    std::optional<std::string> name = takeField(state, request.fileName, sizeof(request.fileName), "fileName");
    std::optional<uid_t> user = state.owner.known ? std::optional<uid_t>(state.owner.uid) : std::nullopt;
    if (name && !DeleteScanFile(state.scanDir, *name, getpid(), user))
        noteMalformed(state, "refuse to delete file:" + RuvoLogText(*name));
}

// Returns false for a command value this daemon does not serve.
bool dispatch(ConnectionState &state, int command)
{
    switch (command) {
    case CMD_DELETE_FILE: handleDeleteFile(state); return true;
    default: return DispatchUsbCommand(state, command) || DispatchNetworkCommand(state, command);
    }
}

enum class Wait { Command, TimedOut, Quit };

// Waits for the next command. The idle time runs only while the connection has
// no running scan, and starts again when its data process ends; a long scan is
// never cut.
Wait waitForCommand(ConnectionState &state, DaemonClock::time_point &deadline)
{
    sigset_t mask = WaitMask(false);
    for (;;) {
        bool scanning = state.data.running();
        pollfd waiting[2] = {{state.fd, POLLIN, 0}, {state.data.endNotifier(), POLLIN, 0}};
        nfds_t count = scanning && waiting[1].fd >= 0 ? 2 : 1;
        timespec timeout{};
        timespec *limit = nullptr;
        if (!scanning) {
            int left = MillisecondsUntil(deadline);
            if (left == 0)
                return Wait::TimedOut;
            timeout = {left / 1000, (left % 1000) * 1000000L};
            limit = &timeout;
        } else if (count == 1) {
            timeout = {1, 0}; // no descriptor tells when the child ends: look again every second
            limit = &timeout;
        }
        int ready = ppoll(waiting, count, limit, &mask);
        if (ready < 0) {
            if (errno == EINTR) {
                if (!flag)
                    return Wait::Quit;
                continue;
            }
            return Wait::Quit;
        }
        if (waiting[0].revents != 0)
            return Wait::Command;
        if (scanning && !state.data.running())
            deadline = DaemonClock::now() + std::chrono::milliseconds(state.limits.idleMs);
    }
}

// A connection that ends for whatever reason leaves no scan running and no
// scanner locked.
void endConnection(ConnectionState &state)
{
    // Its data process can no longer send: it ends at its next record, between
    // two device reads, unless it takes longer than the grace.
    shutdown(state.fd, SHUT_RDWR);
    if (state.data.running())
        state.data.interrupt(state.limits.stopGraceMs);
    settleUsbScan(state);
    if (state.usbScanHandle >= 0 && !state.usbScanSettled && state.locked.count(state.usbScanHandle))
        ScanAbort(state.usbScanHandle);
    for (int handle : state.locked) {
        int result = ScanUnlock(handle);
        RuvoInfoLog("pid:%d unlock at disconnect result %d", static_cast<int>(getpid()), result);
    }
    state.locked.clear();
}

} // namespace

void ServeConnection(int fd, const std::string &scanDir)
{
    ServeConnection(fd, scanDir, ConnectionLimits{});
}

void ServeConnection(int fd, const std::string &scanDir, const ConnectionLimits &limits)
{
    ServeConnection(fd, scanDir, limits, ConnectionOwner(fd));
}

void ServeConnection(int fd, const std::string &scanDir, const ConnectionLimits &limits, PageOwner owner)
{
    // Ended children stay until this process reaps them, so the id of a data
    // process cannot pass to another process while it is still remembered.
    signal(SIGCHLD, SIG_DFL);
    ConnectionState state(fd, scanDir, limits, owner);
    DaemonClock::time_point deadline = DaemonClock::now() + std::chrono::milliseconds(limits.firstCommandMs);
    const int self = static_cast<int>(getpid());
    while (flag) {
        Wait wait = waitForCommand(state, deadline);
        LogReceivedSignal();
        if (wait == Wait::Quit)
            break;
        if (wait == Wait::TimedOut) {
            RuvoInfoLog("pid:%d no command within the time limit", self);
            RuvoInfoLog("pid:%d DISCONNECT FROM SERVER", self);
            break;
        }
        int32_t command = 0;
        if (receiveFromClient(state, &command, sizeof(command)) < sizeof(command)) {
            RuvoInfoLog("pid:%d DISCONNECT FROM SERVER", self);
            break;
        }
        if (!state.quiet())
            RuvoInfoLog("pid:%d recv scanCommandType %d", self, command);
        // Only a well-formed command keeps the connection: an undefined one, a
        // short body or a handle that is not its own leaves the idle time
        // running, so no stream of junk holds one of the connections for ever.
        const int malformedBefore = state.malformed;
        if (!dispatch(state, command))
            noteMalformed(state, "undefined scanCommandType " + std::to_string(command));
        else if (state.malformed == malformedBefore)
            deadline = DaemonClock::now() + std::chrono::milliseconds(limits.idleMs);
    }
    endConnection(state);
}
