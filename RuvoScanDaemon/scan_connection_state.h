#pragma once
// The state of one client connection, in one object, and the pieces its
// command handlers share: receiving a request body, answering, the checks that
// a handle, a text field or a scan is the connection's own, the scanner's lock
// between connections, and the start of a scan's data process. Only the
// connection's files include this.

#include "scan_connection.h"
#include "scan_data_process.h"
#include "scan_log.h"
#include "scan_record_loop.h"
#include "scan_signals.h"

#include "client_io.h"

#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

// Malformed requests of one connection that are logged; later ones are not, so
// a client cannot flood the logs (or rotate away what they hold) with them.
inline constexpr int kLoggedMalformedRequests = 16;

// What identifies a device node, so a second search hands out the handle that
// this connection already holds for it.
struct DeviceNodeId {
    dev_t device;
    ino_t inode;
    dev_t special;
    bool operator<(const DeviceNodeId &other) const;
};
std::optional<DeviceNodeId> DeviceNodeOf(int fd);

// Device handles this connection opened (find or reopen). Only these may be
// named by a client's devfd.
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

struct ConnectionState {
    ConnectionState(int connection, std::string directory, const ConnectionLimits &bounds, PageOwner user)
        : fd(connection), scanDir(std::move(directory)), limits(bounds), owner(user)
    {
    }

    int fd;
    std::string scanDir;
    ConnectionLimits limits;
    PageOwner owner;
    OwnedHandles handles;
    // Handles whose scanner this connection locked and has not unlocked.
    std::set<int> locked;
    DataProcess data;
    // The connection's last USB scan: its handle, whether the data process
    // serves it, and whether the scanner finished it or was told to stop (else
    // it must be aborted before the unlock).
    int usbScanHandle = -1;
    bool usbScanInDataProcess = false;
    bool usbScanSettled = true;
    int malformed = 0;
    // The number of this connection's next scan name. Names hold the
    // connection process's id, so the count need only be this connection's.
    int filename_index = 0;
    // The scan numbers this connection handed out (a leftover's are skipped).
    std::set<int> handedOut;

    bool quiet() const { return malformed > kLoggedMalformedRequests; }
};

template <typename Record>
bool sendRecord(const ConnectionState &state, const Record &record)
{
    return SendToClient(state.fd, &record, sizeof(record), state.limits.sendStallMs);
}

bool sendResult(const ConnectionState &state, int32_t result);

// Counts a request that no well-behaved client sends; logs `text` while the
// connection has not yet used up its share of such lines.
void noteMalformed(ConnectionState &state, const std::string &text);

// Receives what follows a command's value: up to `length` bytes within the
// body's time limit, or fewer when the client closes or SIGQUIT comes.
inline size_t receiveFromClient(const ConnectionState &state, void *buffer, size_t length)
{
    return ruvo_wire::ReceiveUpTo(state.fd, buffer, length, ruvo_wire::DeadlineIn(state.limits.bodyMs),
                                  QuitRequested);
}

// Receives a command's request body (zeroed first); a short or late body is
// logged with `errorText` and the command gets no answer.
template <typename Body>
bool receiveRequest(ConnectionState &state, Body &body, const char *errorText)
{
    std::memset(&body, 0, sizeof(body));
    if (receiveFromClient(state, &body, sizeof(body)) == sizeof(body))
        return true;
    noteMalformed(state, errorText);
    return false;
}

// Answers a plain result; a failed send is logged with `errorText` (null: not logged).
void answerResult(const ConnectionState &state, int32_t result, const char *errorText);

template <typename Record>
void answerRecord(const ConnectionState &state, const Record &record, const char *errorText)
{
    if (!sendRecord(state, record))
        RuvoErrLog("%s", errorText);
}

// The scanner's lock between connections. A connection that locks a scanner
// also holds an exclusive flock on its open of the device node, until it
// unlocks, closes the handle or ends (the kernel drops it with the last
// descriptor, a killed process's included). Another connection's commands that
// would stop, unlock, reset or start the scanner hold the flock for their own
// duration, and are refused while the owner holds it.
class ScannerClaim {
public:
    ScannerClaim(const ConnectionState &state, int devfd) : m_fd(devfd)
    {
        if (state.locked.count(devfd) != 0)
            return; // this connection's own lock
        if (flock(devfd, LOCK_EX | LOCK_NB) == 0)
            m_taken = true;
        else
            m_busy = errno == EWOULDBLOCK;
    }
    ~ScannerClaim()
    {
        if (m_taken && !m_kept)
            flock(m_fd, LOCK_UN);
    }
    ScannerClaim(const ScannerClaim &) = delete;
    ScannerClaim &operator=(const ScannerClaim &) = delete;

    // Another connection holds the scanner's lock.
    bool busy() const { return m_busy; }
    // The scanner is now this connection's: the flock stays.
    void keep() { m_kept = true; }

private:
    int m_fd;
    bool m_taken = false;
    bool m_busy = false;
    bool m_kept = false;
};

bool lockedByAnother(const ScannerClaim &claim, int command);

// True when `devfd` is one of this connection's handles; else noted as malformed.
bool ownsHandle(ConnectionState &state, int devfd);

// Runs `action(claim)` holding the scanner's claim and returns its result:
// RESULT_INVALID for a handle that is not this connection's, RESULT_BUSY while
// another connection holds the scanner's lock.
template <typename Action>
int withScannerClaim(ConnectionState &state, int devfd, int command, Action action)
{
    if (!ownsHandle(state, devfd))
        return ruvo_wire::RESULT_INVALID;
    ScannerClaim claim(state, devfd);
    if (lockedByAnother(claim, command))
        return ruvo_wire::RESULT_BUSY;
    return action(claim);
}

// A text field that is not terminated within its size refuses the request.
std::optional<std::string> takeField(ConnectionState &state, const char *field, size_t size, const char *what);

// Names the next scan of this connection. Every start that came whole uses up
// its number, whether it runs or not.
std::string nextScanBaseName(ConnectionState &state);

// Takes note of how the data process of a USB scan ended.
void settleUsbScan(ConnectionState &state);

// One running scan per connection: a second start while the first runs is
// refused (the running one is left alone).
bool scanRunning(ConnectionState &state);

// A page is only ever for the user who scanned it: a connection whose user the
// kernel could not name scans nothing.
bool ownerUnknown(const ConnectionState &state);

// Sends the start response, and only then lets the data process send records.
template <typename Response>
void answerScanStart(ConnectionState &state, Response &response, int result, const char *channel)
{
    response.result = result;
    bool sent = sendRecord(state, response);
    state.data.release();
    if (!sent) {
        RuvoErrLog("send ScanStartReq result err");
        return;
    }
    RuvoInfoLog("%s scanstart main process exit:%d pid:%d", channel, result, static_cast<int>(getpid()));
}

// Removes the pages of a scan this connection started; a base name it did not
// hand out removes nothing.
void deletePagesOfScan(ConnectionState &state, const std::string &baseName);

// Starts this connection's data process: it reads the scan's records from the
// source `makeSource()` builds (in the data process) and writes the pages of
// `baseName`. False when the process could not be started.
template <typename MakeSource>
bool startRecordLoop(ConnectionState &state, const std::string &baseName, RecordLayout layout,
                     MakeSource makeSource)
{
    int connection = state.fd;
    PageOwner owner = state.owner;
    ConnectionLimits limits = state.limits;
    return state.data.start([=] {
        RuvoReopenDbg();
        auto source = makeSource();
        PageFiles pages(baseName, owner, limits.scanByteCap);
        ScanLoopOutcome outcome = RunScanRecordLoop(source, pages, layout, connection, limits.sendStallMs,
                                                    AnnounceDataProcessEnd);
        return outcome.scannerEnded ? 0 : 1;
    });
}

// The commands of each scanner kind; false for a command value not of that kind.
bool DispatchUsbCommand(ConnectionState &state, int command);
bool DispatchNetworkCommand(ConnectionState &state, int command);
