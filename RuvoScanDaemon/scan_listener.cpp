#include "scan_listener.h"

#include "product_paths.h"
#include "scan_connection.h"
#include "scan_log.h"
#include "scan_pages.h"
#include "scan_peer.h"
#include "scan_rules.h"
#include "scan_signals.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kListenBacklog = 20;
constexpr int kClientSendBuffer = 32 * 1024;
// Back-off after a failed accept, doubling from the first to the last.
constexpr int kFirstAcceptBackoffMs = 10;
constexpr int kLastAcceptBackoffMs = 1000;
// Page files older than this are swept when the daemon starts.
constexpr time_t kPageLifetimeSeconds = 24 * 60 * 60;

void onChildEnded(int)
{
}

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

} // namespace

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

namespace {

// SIGQUIT and SIGCHLD are taken only inside the waits of the accept loop
// (ppoll), so neither can slip in between a check and the wait. Returns the
// mask those waits use.
sigset_t takeSignalsOnlyInWaits()
{
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
    return WaitMask(true);
}

// Listens on 127.0.0.1:`port`; invalid when it cannot.
UniqueFd listenLoopback(int port)
{
    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) {
        RuvoErrLog("bind err");
        return UniqueFd();
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
        return UniqueFd();
    }
    if (listen(listener.get(), kListenBacklog) != 0) {
        RuvoErrLog("listen err");
        return UniqueFd();
    }
    return listener;
}

// The two listeners and what the accept loop keeps between its turns.
struct Listeners {
    UniqueFd loopback;
    UniqueFd local;
    std::string scanDir;
    sigset_t mask;
    std::vector<uid_t> uncounted;
    Connections connections;
    int backoffMs = 0;
    size_t turn = 0;
};

// Waits for a client on either listener and accepts it; invalid when none
// came (a signal, a failure: after a back-off that grows while accepts fail).
UniqueFd acceptNext(Listeners &daemon)
{
    pollfd waiting[2] = {{daemon.loopback.get(), POLLIN, 0}, {daemon.local.get(), POLLIN, 0}};
    int ready = ppoll(waiting, 2, nullptr, &daemon.mask);
    LogReceivedSignal();
    if (ready < 0) {
        // A quit signal ends the wait for a client like a failed accept.
        if (errno != EINTR || !flag)
            RuvoErrLog("accept err");
        return UniqueFd();
    }
    // Both listeners ready: take them in turns, so neither starves the other.
    size_t first = daemon.turn++ % 2;
    size_t chosen = waiting[first].revents != 0 ? first : 1 - first;
    UniqueFd connection(accept4(waiting[chosen].fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
            return UniqueFd();
        // Out of descriptors or memory: the client stays queued and the next
        // accept would fail at once. Wait, longer each time, instead of spinning.
        RuvoErrLog("accept err");
        daemon.backoffMs = daemon.backoffMs == 0 ? kFirstAcceptBackoffMs
                                                 : std::min(daemon.backoffMs * 2, kLastAcceptBackoffMs);
        waitAWhile(daemon.backoffMs, daemon.mask);
        return UniqueFd();
    }
    daemon.backoffMs = 0;
    return connection;
}

// Blocking, with a bounded send buffer: the connection carries 16-byte records
// and small answers, and the data process of a client that stops reading must
// wait for it instead of the kernel queueing megabytes of records.
void prepareConnection(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int sendBuffer = kClientSendBuffer;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
}

// Serves an admitted client in a connection process of its own.
void startConnectionProcess(Listeners &daemon, UniqueFd connection, const PageOwner &owner)
{
    pid_t child = fork();
    if (child < 0) {
        RuvoErrLog("fork pro err");
        return;
    }
    if (child == 0) {
        daemon.loopback.reset();
        daemon.local.reset();
        signal(SIGCHLD, SIG_DFL);
        RuvoReopenDbg();
        RuvoLimitLogBytes(kRuvoConnectionLogBytes);
        ServeConnection(connection.get(), daemon.scanDir, ConnectionLimits{}, owner);
        connection.reset();
        _exit(0);
    }
    daemon.connections[child] = owner.known ? std::optional<uid_t>(owner.uid) : std::nullopt;
    RuvoInfoLog("new conn pid:%d", static_cast<int>(child));
}

// The socket goes with the daemon, unless another has taken its place.
void removeOwnSocket(const std::string &socketPath, const struct stat &ours)
{
    struct stat current{};
    if (stat(socketPath.c_str(), &current) == 0 && current.st_ino == ours.st_ino && current.st_dev == ours.st_dev)
        unlink(socketPath.c_str());
}

} // namespace

int mainProc(int port, const std::string &socketPath)
{
    Listeners daemon;
    daemon.scanDir = ruvo_paths::kScanDir;
    makeScanDirectory(daemon.scanDir);
    RuvoInitDbg(daemon.scanDir.c_str());
    SweepOldPages(daemon.scanDir, time(nullptr) - kPageLifetimeSeconds);
    daemon.mask = takeSignalsOnlyInWaits();
    daemon.loopback = listenLoopback(port);
    if (!daemon.loopback)
        return 1;
    daemon.local = ListenLocal(socketPath);
    if (!daemon.local)
        return 1;
    struct stat localSocket{};
    stat(socketPath.c_str(), &localSocket);
    daemon.uncounted = uncountedUsers();
    while (flag) {
        reapConnections(daemon.connections);
        UniqueFd connection = acceptNext(daemon);
        if (!connection)
            continue;
        PageOwner owner = ConnectionOwner(connection.get());
        if (!admit(daemon.connections, owner, daemon.uncounted))
            continue;
        prepareConnection(connection.get());
        startConnectionProcess(daemon, std::move(connection), owner);
    }
    removeOwnSocket(socketPath, localSocket);
    RuvoInfoLog("parent pro exit");
    return 0;
}
