#include "scan_daemon.h"

#include "product_paths.h"
#include "ruvo_network.h"
#include "ruvo_usb.h"
#include "scan_log.h"
#include "scan_pages.h"
#include "scan_protocol.h"
#include "scan_rules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <set>
#include <linux/netlink.h>
#include <sys/syscall.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

volatile sig_atomic_t flag = 1;
pid_t dataProcPid = 0;
int filename_index = 0;

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t s_receivedSignal = 0;
// In a data process: the write end of the pipe whose closing tells the
// connection process that the scan's last record is on its way.
int s_endNoticeFd = -1;

// Tells a data process to stop between two transfers with its scanner.
constexpr int kDataStopSignal = SIGUSR1;

void onDataStopSignal(int)
{
    RequestRecordLoopStop();
}

constexpr int kListenBacklog = 20;
constexpr int kClientSendBuffer = 32 * 1024;
// Malformed requests of one connection that are logged; later ones are not, so
// a client cannot flood the logs (or rotate away what they hold) with them.
constexpr int kLoggedMalformedRequests = 16;
// Back-off after a failed accept, doubling from the first to the last.
constexpr int kFirstAcceptBackoffMs = 10;
constexpr int kLastAcceptBackoffMs = 1000;
// Page files older than this are swept when the daemon starts.
constexpr time_t kPageLifetimeSeconds = 24 * 60 * 60;

// The quit handler only sets flags; its log line is written here, outside the
// signal context, where formatting is safe.
void logReceivedSignal()
{
    if (s_receivedSignal != 0) {
        RuvoInfoLog("I got a signal %d\nI'm quitting.", static_cast<int>(s_receivedSignal));
        s_receivedSignal = 0;
    }
}

void onChildEnded(int)
{
}

int millisecondsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// The signal mask to wait with: the current one without SIGQUIT. The daemon
// keeps SIGQUIT blocked except inside its waits, so a quit signal that comes
// between the check of `flag` and the wait ends the wait at once instead of
// being noticed only with the next client.
sigset_t waitMask(bool withChild)
{
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    sigdelset(&mask, SIGQUIT);
    if (withChild)
        sigdelset(&mask, SIGCHLD);
    return mask;
}

// Asks the kernel who owns the socket at the other end of a loopback TCP
// connection: one exact lookup by the connection's addresses and ports.
std::optional<uid_t> loopbackPeerOwner(TcpEnd peer, TcpEnd daemon)
{
    UniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag)
        return std::nullopt;
    // The kernel answers at once; the limit only keeps a lost answer from
    // holding up the accept loop.
    timeval timeout{1, 0};
    setsockopt(diag.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    static uint32_t sequence = 0;
    const uint32_t asked = ++sequence;
    std::vector<uint8_t> query = PeerSocketQuery(peer, daemon, asked);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(diag.get(), query.data(), query.size(), 0, reinterpret_cast<sockaddr *>(&kernel), sizeof(kernel)) !=
        static_cast<ssize_t>(query.size()))
        return std::nullopt;
    alignas(nlmsghdr) uint8_t answer[8192];
    for (;;) {
        ssize_t got = recv(diag.get(), answer, sizeof(answer), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::nullopt;
        return PeerSocketOwner(answer, static_cast<size_t>(got), peer, daemon, asked);
    }
}

} // namespace

// The user of the client at the other end of `fd`: the socket's credentials on
// the local socket, the kernel's socket diagnostics on loopback TCP.
PageOwner ConnectionOwner(int fd)
{
    PageOwner owner;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof(peer);
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
        return owner;
    if (peer.ss_family == AF_UNIX) {
        ucred credentials{};
        socklen_t length = sizeof(credentials);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
            owner.known = true;
            owner.uid = credentials.uid;
        }
        return owner;
    }
    sockaddr_in local{};
    socklen_t localLength = sizeof(local);
    if (peer.ss_family != AF_INET || getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLength) != 0)
        return owner;
    sockaddr_in remote{};
    std::memcpy(&remote, &peer, sizeof(remote));
    std::optional<uid_t> uid = loopbackPeerOwner(TcpEnd{remote.sin_addr.s_addr, ntohs(remote.sin_port)},
                                                 TcpEnd{local.sin_addr.s_addr, ntohs(local.sin_port)});
    if (uid) {
        owner.known = true;
        owner.uid = *uid;
    }
    return owner;
}

namespace {

void makeScanDirectory(const std::string &scanDir)
{
    std::string partial;
    size_t position = 0;
    while (position != std::string::npos) {
        position = scanDir.find('/', position + 1);
        partial = scanDir.substr(0, position);
        mkdir(partial.c_str(), 0755);
    }
}

// ---- the data processes' scanners ----

class UsbRecordSource : public ScanRecordSource {
public:
    explicit UsbRecordSource(int devfd) : m_devfd(devfd) {}
    ScanRecordRead next() override
    {
        constexpr int32_t kNoRecord = -1;
        uint16_t readLength = 0;
        int32_t previous = m_status;
        m_status = kNoRecord;
        ScanRecordRead read;
        read.result = ScanRecord(m_devfd, &m_status, m_buffer, &readLength);
        // Only a record just read may open a page: a read that brought no
        // record keeps the previous status but must not start the page again.
        read.fresh = m_status != kNoRecord;
        if (!read.fresh)
            m_status = previous;
        read.status = m_status;
        read.data = m_buffer.data();
        read.length = readLength;
        return read;
    }

private:
    int m_devfd;
    int32_t m_status = SCAN_STATUS_OPERATION_CONTINUOUS;
    std::vector<uint8_t> m_buffer;
};

// Reads the record channel's headers; a data block's bytes stay in the
// channel for the page files to move straight into the page.
class NetworkRecordSource : public ScanRecordSource {
public:
    explicit NetworkRecordSource(const RuvoSocket &socket) : m_socket(socket) {}

    ScanRecordRead next() override
    {
        ScanRecordRead read;
        uint32_t pending = 0;
        ScanStatus status = SCAN_STATUS_OPERATION_CONTINUOUS;
        read.result = ruvo_tcp_ScanRecordHeader(&m_socket, &status, &pending);
        // Page file 0 always exists, whatever the channel sends first.
        read.status = m_first ? SCAN_STATUS_BEGIN_OF_PAGE : status;
        m_first = false;
        if (read.result == ruvo_wire::RESULT_GOOD && pending > 0) {
            read.channel = m_socket.tcpFromScanner;
            read.length = pending;
        }
        return read;
    }

    void channelFailed() override { ruvo_tcp_RecordDataFailed(&m_socket); }

private:
    RuvoSocket m_socket;
    bool m_first = true;
};

// ---- one connection ----

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
    // The scan numbers this connection handed out (a leftover's are skipped).
    std::set<int> handedOut;

    bool quiet() const { return malformed > kLoggedMalformedRequests; }
};

template <typename Record>
bool sendRecord(const ConnectionState &state, const Record &record)
{
    return SendWhole(state.fd, &record, sizeof(record), state.limits.sendStallMs);
}

bool sendResult(const ConnectionState &state, int32_t result)
{
    return sendRecord(state, result);
}

// Counts a request that no well-behaved client sends; logs `text` while the
// connection has not yet used up its share of such lines.
void noteMalformed(ConnectionState &state, const std::string &text)
{
    ++state.malformed;
    if (!state.quiet())
        RuvoErrLog("%s", text.c_str());
    else if (state.malformed == kLoggedMalformedRequests + 1)
        RuvoErrLog("pid:%d further malformed requests are not logged", static_cast<int>(getpid()));
}

template <typename Body>
bool receiveBody(const ConnectionState &state, Body &body)
{
    std::memset(&body, 0, sizeof(body));
    return RecvWhole(state.fd, &body, sizeof(body), state.limits.bodyMs) == sizeof(body);
}

// Receives a command's request body; a short or late body is logged with
// `errorText` and the command gets no answer.
template <typename Body>
bool receiveRequest(ConnectionState &state, Body &body, const char *errorText)
{
    if (receiveBody(state, body))
        return true;
    noteMalformed(state, errorText);
    return false;
}

// Answers a plain result; a failed send is logged with `errorText` (null: not logged).
void answerResult(const ConnectionState &state, int32_t result, const char *errorText)
{
    if (!sendResult(state, result) && errorText)
        RuvoErrLog("%s", errorText);
}

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

bool lockedByAnother(const ScannerClaim &claim, int command)
{
    if (!claim.busy())
        return false;
    RuvoErrLog("pid:%d command %d refused: the scanner is locked by another connection", static_cast<int>(getpid()),
               command);
    return true;
}

bool ownsHandle(ConnectionState &state, int devfd)
{
    if (state.handles.contains(devfd))
        return true;
    noteMalformed(state, "devfd " + std::to_string(devfd) + " is not a handle of this connection");
    return false;
}

// A text field that is not terminated within its size refuses the request.
std::optional<std::string> takeField(ConnectionState &state, const char *field, size_t size, const char *what)
{
    std::optional<std::string> text = TextField(field, size);
    if (!text)
        noteMalformed(state, std::string(what) + " not terminated within its field");
    return text;
}

// Names the next scan of this connection process. Every start that came whole
// uses up its number, whether it runs or not.
std::string nextScanBaseName(ConnectionState &state)
{
    // A leftover of an earlier process with this id keeps its name; the scan
    // takes the next number that none uses.
    for (int tries = 0; tries < 1000 && ScanBaseInUse(state.scanDir, static_cast<int>(getpid()), filename_index);
         ++tries)
        ++filename_index;
    std::string baseName = ruvo_wire::ScanBaseName(state.scanDir, static_cast<int>(getpid()), filename_index);
    state.handedOut.insert(filename_index);
    ++filename_index;
    return baseName;
}

// Takes note of how the data process of a USB scan ended.
void settleUsbScan(ConnectionState &state)
{
    if (!state.usbScanInDataProcess || state.data.running())
        return;
    if (state.data.lastExitStatus() == 0)
        state.usbScanSettled = true;
    state.usbScanInDataProcess = false;
}

// One running scan per connection: a second start while the first runs is
// refused (the running one is left alone).
bool scanRunning(ConnectionState &state)
{
    if (!state.data.busy(state.limits.stopGraceMs)) {
        settleUsbScan(state);
        return false;
    }
    RuvoErrLog("pid:%d scan start refused: a scan of this connection is running", static_cast<int>(getpid()));
    return true;
}

// A page is only ever for the user who scanned it: a connection whose user the
// kernel could not name scans nothing.
bool ownerUnknown(const ConnectionState &state)
{
    if (state.owner.known)
        return false;
    RuvoErrLog("pid:%d scan start refused: the user of this connection is unknown", static_cast<int>(getpid()));
    return true;
}

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

// Removes the pages of a scan this connection process started; a base name it
// did not hand out removes nothing.
void deletePagesOfScan(ConnectionState &state, const std::string &baseName)
{
    if (baseName.empty()) {
        RuvoInfoLog("subStr isEmpty");
        return;
    }
    std::optional<ruvo_wire::ScanBase> base = ruvo_wire::ParseScanBaseName(state.scanDir, baseName);
    if (!base || base->processId != getpid() || state.handedOut.count(base->index) == 0) {
        noteMalformed(state, "abort names no scan of this connection: " + RuvoLogText(baseName));
        return;
    }
    deleteFileList(state.scanDir.c_str(), baseName.c_str());
}

int dataProcessStatus(const ScanLoopOutcome &outcome)
{
    return outcome.scannerEnded ? 0 : 1;
}

void handleFindDevice(ConnectionState &state)
{
    USBFindDevReq request;
    if (!receiveRequest(state, request, "recv FindDevReq err"))
        return;
    std::vector<RUVO_USB_DEV> table(kMaxUsbDevices);
    std::memset(table.data(), 0, table.size() * sizeof(RUVO_USB_DEV));
    int32_t count = ruvo_find_device(static_cast<uint16_t>(request.vid), static_cast<uint16_t>(request.pid),
                                     table.data(), request.compareWithPID);
    std::vector<USBFindDevRes> descriptions;
    for (int i = 0; i < count; ++i) {
        const RUVO_USB_DEV &device = table[static_cast<size_t>(i)];
        // The strings are read through the new handle, never through one that
        // a running scan may be using.
        USBFindDevRes description = converToDevRes(device.fd, device.dev_des);
        std::optional<DeviceNodeId> node = DeviceNodeOf(device.fd);
        if (std::optional<int> held = state.handles.find(node)) {
            // A device node this connection already holds: the same handle
            // again, so repeated searches do not pile up descriptors.
            ruvo_close_device(device.fd);
            description.fd = *held;
        } else {
            state.handles.add(device.fd, node);
        }
        descriptions.push_back(description);
    }
    if (!sendResult(state, count)) {
        RuvoErrLog("send dev count err");
        return;
    }
    for (const USBFindDevRes &description : descriptions) {
        if (!sendRecord(state, description)) {
            RuvoErrLog("send FindDevRes err");
            return;
        }
    }
}

void forgetHandle(ConnectionState &state, int devfd)
{
    state.handles.remove(devfd);
    state.locked.erase(devfd);
    if (state.usbScanHandle == devfd)
        state.usbScanHandle = -1;
}

void handleReopen(ConnectionState &state)
{
    USBReopenDevReq request;
    USBReopenDevRes response{ruvo_wire::RESULT_IO_ERROR, 0};
    if (!receiveRequest(state, request, "recv USBReopenDevReq err")) {
        sendRecord(state, response);
        return;
    }
    std::optional<std::string> serial = takeField(state, request.SerialNumber, sizeof(request.SerialNumber),
                                                  "SerialNumber");
    if (!serial || !ownsHandle(state, request.devfd)) {
        response.ret = ruvo_wire::RESULT_INVALID;
        sendRecord(state, response);
        return;
    }
    std::vector<RUVO_USB_DEV> table(kMaxUsbDevices);
    std::memset(table.data(), 0, table.size() * sizeof(RUVO_USB_DEV));
    int count = ruvo_find_device(static_cast<uint16_t>(request.vid), static_cast<uint16_t>(request.pid), table.data(),
                                 true);
    int taken = -1;
    for (int i = 0; i < count; ++i) {
        const RUVO_USB_DEV &device = table[static_cast<size_t>(i)];
        if (taken < 0) {
            USBFindDevRes description = converToDevRes(device.fd, device.dev_des);
            if (*serial == description.SerialNumber) {
                taken = device.fd;
                continue;
            }
        }
        // Handles of the search that are not taken would otherwise stay open
        // with no way for the client to name them.
        ruvo_close_device(device.fd);
    }
    if (taken >= 0) {
        std::optional<DeviceNodeId> node = DeviceNodeOf(taken);
        std::optional<int> held = state.handles.find(node);
        ruvo_close_device(request.devfd);
        forgetHandle(state, request.devfd);
        if (held && *held != request.devfd) {
            ruvo_close_device(taken);
            taken = *held;
        } else {
            state.handles.add(taken, node);
        }
        response.fd = taken;
        response.ret = ruvo_init(taken);
    }
    sendRecord(state, response);
}

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
        return dataProcessStatus(RunScanRecordLoop(source, pages, layout, connection, limits.sendStallMs,
                                                   AnnounceDataProcessEnd));
    });
}

void handleUsbScanStart(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state, request, "recv ScanStartReq err"))
        return;
    USBScanStartRes response;
    std::memset(&response, 0, sizeof(response));
    std::string baseName = nextScanBaseName(state);
    std::snprintf(response.fileName, sizeof(response.fileName), "%s", baseName.c_str());
    int result = ruvo_wire::RESULT_INVALID;
    if (ownsHandle(state, request.devfd)) {
        ScannerClaim claim(state, request.devfd);
        if (lockedByAnother(claim, USB_SCAN_START)) {
            result = ruvo_wire::RESULT_BUSY;
        } else if (ownerUnknown(state)) {
            result = ruvo_wire::RESULT_ACCESS_DENIED;
        } else if (scanRunning(state)) {
            result = ruvo_wire::RESULT_BUSY;
        } else {
            result = ScanStart(request.devfd);
            if (result == ruvo_wire::RESULT_GOOD) {
                int devfd = request.devfd;
                bool started = startRecordLoop(state, baseName, RecordLayout::Usb,
                                               [devfd] { return UsbRecordSource(devfd); });
                if (started) {
                    state.usbScanHandle = devfd;
                    state.usbScanInDataProcess = true;
                    state.usbScanSettled = false;
                } else {
                    RuvoErrLog("create data proc err");
                    // Nobody would read what the scanner sends.
                    ScanAbort(devfd);
                    result = ruvo_wire::RESULT_NO_MEMORY;
                }
            }
        }
    }
    answerScanStart(state, response, result, "usb");
}

void handleUsbScanAbort(ConnectionState &state)
{
    USBScanAbortReq request;
    if (!receiveRequest(state, request, "recv ScanAbortReq err"))
        return;
    std::optional<std::string> fileName = takeField(state, request.fileName, sizeof(request.fileName), "fileName");
    int result = ruvo_wire::RESULT_INVALID;
    std::optional<ScannerClaim> claim;
    if (fileName && ownsHandle(state, request.devfd))
        claim.emplace(state, request.devfd);
    if (claim && lockedByAnother(*claim, USB_SCAN_ABORT)) {
        result = ruvo_wire::RESULT_BUSY;
    } else if (claim) {
        // The data process ends first, between two of its transfers: only one
        // process may talk to the scanner, and the abort's own exchange must not
        // reach the data process. Its pages then go, so none is written again
        // after the removal, and no record follows the abort result.
        state.data.interrupt(state.limits.stopGraceMs);
        settleUsbScan(state);
        result = ScanAbort(request.devfd);
        if (state.usbScanHandle == request.devfd)
            state.usbScanSettled = true;
        deletePagesOfScan(state, *fileName);
    }
    answerResult(state, result, "send ScanAbortReq result err");
}

// The commands that take only a devfd and answer a plain result.
void handlePlainDeviceCommand(ConnectionState &state, int command)
{
    struct Messages {
        const char *receiveError;
        const char *sendError; // null: not logged
    };
    Messages messages{};
    switch (command) {
    case USB_OPEN_DEV: messages = {"recv OpenDevReq err", nullptr}; break;
    case USB_CLOSE_DEV: messages = {"recv CloseDevReq err", "send CloseDevReq result err"}; break;
    case USB_SCAN_UNLOCK: messages = {"recv ScanUnlockReq err", "send ScanUnlockReq result err"}; break;
    case USB_SCAN_POWERON: messages = {"recv ScanPowerOnReq err", "send ScanPowerOnReq result err"}; break;
    case USB_SCAN_GETSIZES: messages = {"recv ScanGetSizesReq err", "send ScanGetSizesReq result err"}; break;
    default: return;
    }
    USBCommonReq request;
    if (!receiveRequest(state, request, messages.receiveError))
        return;
    int result = ruvo_wire::RESULT_INVALID;
    if (ownsHandle(state, request.devfd)) {
        switch (command) {
        case USB_OPEN_DEV:
            result = ruvo_init(request.devfd);
            RuvoInfoLog("USB_OPEN_DEV result %d", result);
            break;
        case USB_CLOSE_DEV:
            ruvo_close_device(request.devfd);
            forgetHandle(state, request.devfd);
            result = ruvo_wire::RESULT_GOOD;
            RuvoInfoLog("USB_CLOSE_DEV result %d", result);
            break;
        case USB_SCAN_UNLOCK: {
            ScannerClaim claim(state, request.devfd);
            if (lockedByAnother(claim, command)) {
                result = ruvo_wire::RESULT_BUSY;
                break;
            }
            result = ScanUnlock(request.devfd);
            if (state.locked.erase(request.devfd) != 0)
                flock(request.devfd, LOCK_UN);
            break;
        }
        case USB_SCAN_POWERON: result = ScanPowerOn(request.devfd); break;
        case USB_SCAN_GETSIZES: result = ScanGetScanSizes(request.devfd); break;
        default: break;
        }
    }
    answerResult(state, result, messages.sendError);
}

void handleEndpointCommand(ConnectionState &state, int command)
{
    bool clear = command == USB_CLEAR_DEV;
    USBClearDevEpReq request;
    if (!receiveRequest(state, request, clear ? "recv ClearDevEpReq err" : "recv ResetDevEpReq err"))
        return;
    int result = ruvo_wire::RESULT_INVALID;
    std::optional<ScannerClaim> claim;
    if (ownsHandle(state, request.devfd))
        claim.emplace(state, request.devfd);
    if (claim && lockedByAnother(*claim, command)) {
        result = ruvo_wire::RESULT_BUSY;
    } else if (claim) {
        result = clear ? ruvo_clear_halt(request.devfd, request.ep) : ruvo_resetep(request.devfd, request.ep);
        if (clear)
            RuvoInfoLog("USB_CLEAR_DEV result %d", result);
        else
            RuvoInfoLog("USB_RESET_DEVEP result %d", result);
    }
    answerResult(state, result, clear ? "send ClearDevEpReq result err" : "send ResetDevEpReq result err");
}

void handleLock(ConnectionState &state)
{
    USBScanLockReq request;
    if (!receiveRequest(state, request, "recv ScanLockReq err"))
        return;
    int result = ruvo_wire::RESULT_INVALID;
    std::optional<ScannerClaim> claim;
    if (ownsHandle(state, request.devfd))
        claim.emplace(state, request.devfd);
    if (claim && lockedByAnother(*claim, USB_SCAN_LOCK)) {
        result = ruvo_wire::RESULT_BUSY;
    } else if (claim) {
        result = ScanLock(request.devfd, request.info);
        RuvoInfoLog("USB_SCAN_LOCK result %d", result);
        if (result == ruvo_wire::RESULT_GOOD) {
            claim->keep();
            state.locked.insert(request.devfd);
        }
    }
    answerResult(state, result, "send ScanLockReq result err");
}

void handleUsbAdfStatus(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state, request, "recv ScanAdfStatusReq err"))
        return;
    USBScanAdfStatusRes response{0, ruvo_wire::RESULT_INVALID};
    if (ownsHandle(state, request.devfd))
        response.result = ScanADFStatus(request.devfd, &response.st);
    answerRecord(state, response, "send ScanAdfStatusRes err");
}

void handleUsbProperties(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state, request, "recv ScanDevicePropertiesReq err"))
        return;
    USBScanDevicePropertiesRes response;
    std::memset(&response, 0, sizeof(response));
    response.result = ruvo_wire::RESULT_INVALID;
    if (ownsHandle(state, request.devfd))
        response.result = ScanDeviceProperties(request.devfd, &response.st);
    answerRecord(state, response, "send ScanDevicePropertiesRes err");
}

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

bool takeScannerAddress(ConnectionState &state, const RuvoSocket &socket)
{
    return takeField(state, socket.szScannerIP, sizeof(socket.szScannerIP), "szScannerIP").has_value();
}

void handleSendOsl(ConnectionState &state)
{
    TCPOSLReq request;
    if (!receiveRequest(state, request, "recv TCPOSLReq err"))
        return;
    char *reply = nullptr;
    int length = 0;
    int result = ruvo_wire::RESULT_INVALID;
    if (takeScannerAddress(state, request.socket))
        result = ruvo_send_osl(&request.socket, &reply, static_cast<OSL_CMD_TYPE>(request.type), &length);
    std::unique_ptr<char, decltype(&std::free)> replyOwner(reply, &std::free);
    if (result != ruvo_wire::RESULT_GOOD)
        length = 0;
    TCPOSLRes response{result, length};
    if (!sendRecord(state, response))
        RuvoErrLog("send TCPOSLRes err");
    else if (length > 0 && !SendWhole(state.fd, reply, static_cast<size_t>(length), state.limits.sendStallMs))
        RuvoErrLog("send TCPOSLRes reply err");
}

void handleTcpScanStart(ConnectionState &state)
{
    TCPScanStartReq request;
    std::memset(&request, 0, sizeof(request));
    size_t received = RecvWhole(state.fd, &request, sizeof(request), state.limits.bodyMs);
    if (received != sizeof(request)) {
        noteMalformed(state, "recv ScanStartReq err len:" + std::to_string(received));
        return;
    }
    std::string baseName = nextScanBaseName(state);
    TCPScanStartRes response;
    std::memset(&response, 0, sizeof(response));
    std::snprintf(response.fileName, sizeof(response.fileName), "%s", baseName.c_str());
    response.socketDataFd = -1;
    int result = ruvo_wire::RESULT_INVALID;
    if (takeScannerAddress(state, request.socket)) {
        if (ownerUnknown(state)) {
            result = ruvo_wire::RESULT_ACCESS_DENIED;
        } else if (scanRunning(state)) {
            result = ruvo_wire::RESULT_BUSY;
        } else {
            result = ruvo_http_ScanStart(&request.socket, &request.info);
            response.socketDataFd = request.socket.tcpFromScanner;
            if (result == ruvo_wire::RESULT_GOOD) {
                RuvoSocket socket = request.socket;
                bool started = startRecordLoop(state, baseName, RecordLayout::Network,
                                               [socket] { return NetworkRecordSource(socket); });
                if (started) {
                    // The data process owns the record channel from now on: when
                    // it ends, for whatever reason, the scanner sees it closed.
                    ruvo_tcp_ReleaseRecordChannel();
                } else {
                    RuvoErrLog("create data proc err");
                    // Nobody would read the channel: close it and stop the scanner.
                    ruvo_http_ScanAbort(&request.socket);
                    result = ruvo_wire::RESULT_NO_MEMORY;
                }
            }
        }
    }
    answerScanStart(state, response, result, "tcp");
}

void handleTcpScanAbort(ConnectionState &state)
{
    TCPScanAbortReq request;
    if (!receiveRequest(state, request, "recv TCPScanAbortReq err"))
        return;
    std::optional<std::string> fileName = takeField(state, request.fileName, sizeof(request.fileName), "fileName");
    int result = ruvo_wire::RESULT_INVALID;
    if (fileName && takeScannerAddress(state, request.socket)) {
        result = ruvo_http_ScanAbort(&request.socket);
        state.data.stop();
        settleUsbScan(state);
        deletePagesOfScan(state, *fileName);
    }
    answerResult(state, result, "send TCPScanAbortReq err");
}

void handleTcpAdfStatus(ConnectionState &state)
{
    TCPCommonReq request;
    if (!receiveRequest(state, request, "recv TCPADFStatusReq err"))
        return;
    ADFStatus status = static_cast<ADFStatus>(0);
    int result = ruvo_wire::RESULT_INVALID;
    if (takeScannerAddress(state, request.socket))
        result = ruvo_http_adfstatus(&request.socket, &status);
    TCPADFStatusRes response{result, status};
    answerRecord(state, response, "send TCPADFStatusRes err");
}

void handleTcpProperties(ConnectionState &state)
{
    TCPCommonReq request;
    if (!receiveRequest(state, request, "recv ScanDevicePropertiesReq err"))
        return;
    TCPDevPropertiesRes response;
    std::memset(&response, 0, sizeof(response));
    response.result = ruvo_wire::RESULT_INVALID;
    if (takeScannerAddress(state, request.socket))
        response.result = ruvo_http_DeviceProperties(&request.socket, &response.devPro);
    answerRecord(state, response, "send ScanDevicePropertiesRes err");
}

// Returns false for a command value this daemon does not serve.
bool dispatch(ConnectionState &state, int command)
{
    switch (command) {
    case USB_FIND_DEV: handleFindDevice(state); return true;
    case USB_OPEN_DEV:
    case USB_CLOSE_DEV:
    case USB_SCAN_UNLOCK:
    case USB_SCAN_POWERON:
    case USB_SCAN_GETSIZES: handlePlainDeviceCommand(state, command); return true;
    case USB_CLEAR_DEV:
    case USB_RESET_DEVEP: handleEndpointCommand(state, command); return true;
    case USB_SCAN_START: handleUsbScanStart(state); return true;
    case USB_SCAN_ABORT: handleUsbScanAbort(state); return true;
    case USB_SCAN_LOCK: handleLock(state); return true;
    case USB_SCAN_ADFSTATUS: handleUsbAdfStatus(state); return true;
    case USB_SCAN_DEVPROPERTIES: handleUsbProperties(state); return true;
    case USB_REOPEN_DEV: handleReopen(state); return true;
    case CMD_DELETE_FILE: handleDeleteFile(state); return true;
    case TCP_SEND_OSL: handleSendOsl(state); return true;
    case TCP_SCAN_START: handleTcpScanStart(state); return true;
    case TCP_SCAN_ABORT: handleTcpScanAbort(state); return true;
    case TCP_SCAN_ADFST: handleTcpAdfStatus(state); return true;
    case TCP_SCAN_DEVPROPERTIES: handleTcpProperties(state); return true;
    default: return false;
    }
}

enum class Wait { Command, TimedOut, Quit };

// Waits for the next command. The idle time runs only while the connection has
// no running scan, and starts again when its data process ends; a long scan is
// never cut.
Wait waitForCommand(ConnectionState &state, Clock::time_point &deadline)
{
    sigset_t mask = waitMask(false);
    for (;;) {
        bool scanning = state.data.running();
        pollfd waiting[2] = {{state.fd, POLLIN, 0}, {state.data.endNotifier(), POLLIN, 0}};
        nfds_t count = scanning && waiting[1].fd >= 0 ? 2 : 1;
        timespec timeout{};
        timespec *limit = nullptr;
        if (!scanning) {
            int left = millisecondsUntil(deadline);
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
            deadline = Clock::now() + std::chrono::milliseconds(state.limits.idleMs);
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

// ---- reusable pieces ----

size_t RecvWhole(int fd, void *buffer, size_t length, int timeoutMs)
{
    auto *bytes = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (done < length) {
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) {
            if (!flag)
                break;
            continue;
        }
        if (ready <= 0)
            break;
        ssize_t got = recv(fd, bytes + done, length - done, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

bool SendWhole(int fd, const void *bytes, size_t length, int stallMs)
{
    // A blocking send that gives up after `stallMs` without progress. The wait
    // happens inside send() itself, so a sender held up by its client is seen
    // (in /proc/<pid>/syscall) waiting in sendto and nowhere else.
    timeval timeout{stallMs / 1000, (stallMs % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0)
        return false;
    const auto *data = static_cast<const uint8_t *>(bytes);
    size_t done = 0;
    while (done < length) {
        // A client that went away must end the sender with an error, not SIGPIPE.
        ssize_t sent = send(fd, data + done, length - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        // A data process told to stop gives up a record its client does not take.
        if (sent < 0 && errno == EINTR && !RecordLoopStopRequested())
            continue;
        return false; // the peer is gone, or nothing went out for stallMs
    }
    return true;
}

int serverTcpSendWithRetry(int fd, const void *buf, int n, int flags)
{
    (void)flags;
    if (n < 0)
        return -1;
    return SendWhole(fd, buf, static_cast<size_t>(n), ConnectionLimits{}.sendStallMs) ? n : -1;
}

std::optional<std::string> TextField(const char *field, size_t size)
{
    const void *end = std::memchr(field, '\0', size);
    if (!end)
        return std::nullopt;
    return std::string(field, static_cast<const char *>(end));
}

bool DeviceNodeId::operator<(const DeviceNodeId &other) const
{
    if (device != other.device)
        return device < other.device;
    if (inode != other.inode)
        return inode < other.inode;
    return special < other.special;
}

std::optional<DeviceNodeId> DeviceNodeOf(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return std::nullopt;
    return DeviceNodeId{info.st_dev, info.st_ino, info.st_rdev};
}

void OwnedHandles::add(int fd, std::optional<DeviceNodeId> node)
{
    m_handles[fd] = node;
}

void OwnedHandles::remove(int fd)
{
    m_handles.erase(fd);
}

std::optional<int> OwnedHandles::find(const std::optional<DeviceNodeId> &node) const
{
    if (!node)
        return std::nullopt;
    for (const auto &[fd, held] : m_handles)
        if (held && !(*held < *node) && !(*node < *held))
            return fd;
    return std::nullopt;
}

// ---- the data process ----

DataProcess::~DataProcess()
{
    stop();
}

bool DataProcess::start(const std::function<int()> &body)
{
    if (running())
        return false;
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) != 0)
        return false;
    UniqueFd gateRead(gate[0]);
    UniqueFd gateWrite(gate[1]);
    int notice[2];
    if (pipe2(notice, O_CLOEXEC) != 0)
        return false;
    UniqueFd noticeRead(notice[0]);
    UniqueFd noticeWrite(notice[1]);
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        // Restarted, so a transfer under way runs to its end; only the waits
        // between records (the client's socket, which has a time limit) see it.
        struct sigaction stopAction {};
        stopAction.sa_handler = onDataStopSignal;
        sigemptyset(&stopAction.sa_mask);
        stopAction.sa_flags = SA_RESTART;
        sigaction(kDataStopSignal, &stopAction, nullptr);
        gateWrite.reset();
        noticeRead.reset();
        char ignored;
        // Returns when the parent has sent the start response and closed its end.
        while (read(gateRead.get(), &ignored, 1) < 0 && errno == EINTR) {
        }
        gateRead.reset();
        s_endNoticeFd = noticeWrite.release();
        int status = body();
        _exit(status);
    }
    m_pid = child;
    dataProcPid = child;
    m_endNotice = std::move(noticeRead);
    // A descriptor that becomes readable when the child ends, so the command
    // wait learns of it at once (glibc's wrapper lacks C linkage in Debian 12).
    m_pidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    m_gate = std::move(gateWrite);
    return true;
}

void DataProcess::release()
{
    m_gate.reset();
}

void DataProcess::reaped(int status)
{
    m_lastExit.reset();
    if (WIFEXITED(status))
        m_lastExit = WEXITSTATUS(status);
    m_pid = 0;
    dataProcPid = 0;
    m_pidfd.reset();
    m_gate.reset();
    m_endNotice.reset();
}

bool DataProcess::busy(int graceMs)
{
    if (!running())
        return false;
    pollfd notice{m_endNotice.get(), POLLIN, 0};
    if (!m_endNotice || poll(&notice, 1, 0) <= 0)
        return true;
    finish(graceMs);
    return false;
}

bool DataProcess::running()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    pid_t result = waitpid(m_pid, &status, WNOHANG);
    if (result == m_pid) {
        reaped(status);
        return false;
    }
    if (result < 0 && errno == ECHILD) {
        // Reaped elsewhere (never by this daemon): forget it, signal nothing.
        reaped(0);
        return false;
    }
    return true;
}

void DataProcess::stop()
{
    if (!running())
        return;
    // Still this process's unreaped child, so the id cannot belong to anyone else.
    kill(m_pid, SIGKILL);
    int status = 0;
    pid_t result;
    do {
        result = waitpid(m_pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    reaped(result == m_pid ? status : 0);
    m_lastExit.reset();
}

void DataProcess::interrupt(int graceMs)
{
    if (!running())
        return;
    // Still this process's unreaped child, so the id cannot belong to anyone else.
    kill(m_pid, kDataStopSignal);
    finish(graceMs);
}

void DataProcess::finish(int graceMs)
{
    release();
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(graceMs);
    while (running()) {
        int left = millisecondsUntil(deadline);
        if (left == 0) {
            stop();
            return;
        }
        if (m_pidfd) {
            pollfd waiting{m_pidfd.get(), POLLIN, 0};
            poll(&waiting, 1, left);
        } else {
            usleep(20 * 1000);
        }
    }
}

void AnnounceDataProcessEnd()
{
    if (s_endNoticeFd >= 0) {
        close(s_endNoticeFd);
        s_endNoticeFd = -1;
    }
}

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
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limits.firstCommandMs);
    const int self = static_cast<int>(getpid());
    while (flag) {
        Wait wait = waitForCommand(state, deadline);
        logReceivedSignal();
        if (wait == Wait::Quit)
            break;
        if (wait == Wait::TimedOut) {
            RuvoInfoLog("pid:%d no command within the time limit", self);
            RuvoInfoLog("pid:%d DISCONNECT FROM SERVER", self);
            break;
        }
        int32_t command = 0;
        if (RecvWhole(fd, &command, sizeof(command), limits.bodyMs) < sizeof(command)) {
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
            deadline = Clock::now() + std::chrono::milliseconds(limits.idleMs);
    }
    endConnection(state);
}

// ---- process entry ----

void handler(int sig)
{
    s_receivedSignal = sig;
    flag = 0;
}

void prepare_daemon_process()
{
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    if (chdir("/") != 0) {
        // Nothing relies on the working directory; carry on.
    }
    umask(0);
    // The daemon reaps its connection processes itself (it counts them), and
    // a connection its data process; see mainProc. Set explicitly: an ignored
    // SIGCHLD would be inherited from whoever started the daemon.
    signal(SIGCHLD, SIG_DFL);
}

void create_daemon()
{
    for (int round = 0; round < 2; ++round) {
        pid_t child = fork();
        if (child < 0) {
            std::printf("fork error\n");
            std::exit(1);
        }
        if (child > 0)
            _exit(0);
        if (round == 0 && setsid() < 0) {
            std::printf("setsid error\n");
            std::exit(1);
        }
    }
    // Standard descriptors point at /dev/null rather than being closed, so no
    // socket, log or device can ever get descriptor 0, 1 or 2.
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2)
            close(null);
    }
    prepare_daemon_process();
}

UniqueFd ListenLocal(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        RuvoErrLog("local socket path too long: %s", RuvoLogText(path).c_str());
        return UniqueFd();
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // The service manager makes the folder for the service; a daemon started
    // by hand makes it itself.
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        makeScanDirectory(path.substr(0, slash));
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            RuvoErrLog("local socket %s: something else is in its place", RuvoLogText(path).c_str());
            return UniqueFd();
        }
        UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && connect(probe.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
            RuvoErrLog("local socket %s: another daemon serves it", RuvoLogText(path).c_str());
            return UniqueFd();
        }
        unlink(path.c_str());
    }
    UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener || bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        RuvoErrLog("bind err %s", RuvoLogText(path).c_str());
        return UniqueFd();
    }
    // Every user's client may connect; who it is comes from the connection's
    // credentials, not from the file's mode.
    if (chmod(path.c_str(), 0666) != 0 || listen(listener.get(), kListenBacklog) != 0) {
        RuvoErrLog("listen err %s", RuvoLogText(path).c_str());
        unlink(path.c_str());
        return UniqueFd();
    }
    return listener;
}

namespace {

// The connection processes alive, with the user each serves.
using Connections = std::map<pid_t, std::optional<uid_t>>;

// Reaps the connection processes that have ended.
void reapConnections(Connections &connections)
{
    int status = 0;
    pid_t ended;
    while ((ended = waitpid(-1, &status, WNOHANG)) > 0)
        connections.erase(ended);
}

// Waits `milliseconds`, or less when a signal comes.
void waitAWhile(int milliseconds, const sigset_t &mask)
{
    timespec timeout{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    ppoll(nullptr, 0, &timeout, &mask);
}

// Users whose connections count only against the total: root, and the
// service account (the daemon's own user when the service runs it).
std::vector<uid_t> uncountedUsers()
{
    std::vector<uid_t> users{0, geteuid()};
    if (const passwd *account = getpwnam(ruvo_paths::kScanServiceAccount))
        users.push_back(account->pw_uid);
    return users;
}

// Whether a connection of `owner` may be served now beside those open.
bool admit(Connections &connections, const PageOwner &owner, const std::vector<uid_t> &uncounted)
{
    std::optional<uid_t> user = owner.known ? std::optional<uid_t>(owner.uid) : std::nullopt;
    std::vector<std::optional<uid_t>> open;
    auto count = [&] {
        open.clear();
        for (const auto &entry : connections)
            open.push_back(entry.second);
        return AdmitConnection(open, user, uncounted, kMaxConnections);
    };
    Admission admission = count();
    if (admission != Admission::Admit) {
        reapConnections(connections);
        admission = count();
    }
    if (admission == Admission::TotalFull) {
        RuvoErrLog("refuse conn: %d connections open", static_cast<int>(connections.size()));
        return false;
    }
    if (admission == Admission::UserFull) {
        if (owner.known)
            RuvoErrLog("refuse conn: uid %u has %d connections open", static_cast<unsigned>(owner.uid),
                       kConnectionsPerUser);
        else
            RuvoErrLog("refuse conn: %d connections of unknown users open", kConnectionsPerUser);
        return false;
    }
    return true;
}

} // namespace

int mainProc(int port)
{
    return mainProc(port, ruvo_wire::ScanSocketPath());
}

int mainProc(int port, const std::string &socketPath)
{
    std::string scanDir = ruvo_paths::kScanDir;
    makeScanDirectory(scanDir);
    RuvoInitDbg(scanDir.c_str());
    SweepOldPages(scanDir, time(nullptr) - kPageLifetimeSeconds);

    // SIGQUIT and SIGCHLD are taken only inside the waits below (ppoll), so
    // neither can slip in between a check and the wait.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGQUIT);
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction childEnded;
    std::memset(&childEnded, 0, sizeof(childEnded));
    childEnded.sa_handler = onChildEnded;
    sigemptyset(&childEnded.sa_mask);
    sigaction(SIGCHLD, &childEnded, nullptr);
    const sigset_t mask = waitMask(true);

    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) {
        RuvoErrLog("bind err");
        return 1;
    }
    int reuse = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    RuvoErrLog("bind port:%d", port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    // Clients and the page files they read are on this machine.
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        RuvoErrLog("bind err");
        return 1;
    }
    if (listen(listener.get(), kListenBacklog) != 0) {
        RuvoErrLog("listen err");
        return 1;
    }
    UniqueFd local = ListenLocal(socketPath);
    if (!local)
        return 1;
    struct stat localSocket{};
    stat(socketPath.c_str(), &localSocket);

    const std::vector<uid_t> uncounted = uncountedUsers();
    Connections connections;
    int backoffMs = 0;
    size_t turn = 0;
    while (flag) {
        reapConnections(connections);
        pollfd waiting[2] = {{listener.get(), POLLIN, 0}, {local.get(), POLLIN, 0}};
        int ready = ppoll(waiting, 2, nullptr, &mask);
        logReceivedSignal();
        if (ready < 0) {
            // A quit signal ends the wait for a client like a failed accept.
            if (errno != EINTR || !flag)
                RuvoErrLog("accept err");
            continue;
        }
        // Both listeners ready: take them in turns, so neither starves the other.
        size_t first = turn++ % 2;
        size_t chosen = waiting[first].revents != 0 ? first : 1 - first;
        UniqueFd connection(accept4(waiting[chosen].fd, nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
                continue;
            // Out of descriptors or memory: the client stays queued and the next
            // accept would fail at once. Wait, longer each time, instead of spinning.
            RuvoErrLog("accept err");
            backoffMs = backoffMs == 0 ? kFirstAcceptBackoffMs : std::min(backoffMs * 2, kLastAcceptBackoffMs);
            waitAWhile(backoffMs, mask);
            continue;
        }
        backoffMs = 0;
        PageOwner owner = ConnectionOwner(connection.get());
        if (!admit(connections, owner, uncounted))
            continue;
        int flags = fcntl(connection.get(), F_GETFL);
        if (flags >= 0)
            fcntl(connection.get(), F_SETFL, flags & ~O_NONBLOCK);
        // The connection carries 16-byte records and small answers. A bounded
        // send buffer makes the data process of a client that stops reading
        // wait for it, instead of the kernel queueing megabytes of records.
        int sendBuffer = kClientSendBuffer;
        setsockopt(connection.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
        pid_t child = fork();
        if (child < 0) {
            RuvoErrLog("fork pro err");
            continue;
        }
        if (child == 0) {
            listener.reset();
            local.reset();
            signal(SIGCHLD, SIG_DFL);
            RuvoReopenDbg();
            RuvoLimitLogBytes(kRuvoConnectionLogBytes);
            ServeConnection(connection.get(), scanDir, ConnectionLimits{}, owner);
            connection.reset();
            _exit(0);
        }
        connections[child] = owner.known ? std::optional<uid_t>(owner.uid) : std::nullopt;
        RuvoInfoLog("new conn pid:%d", static_cast<int>(child));
    }
    // The socket goes with the daemon, unless another has taken its place.
    struct stat current{};
    if (stat(socketPath.c_str(), &current) == 0 && current.st_ino == localSocket.st_ino &&
        current.st_dev == localSocket.st_dev)
        unlink(socketPath.c_str());
    RuvoInfoLog("parent pro exit");
    return 0;
}
