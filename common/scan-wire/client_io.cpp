#include "client_io.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <cstdlib>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "product_paths.h"

namespace ruvo_wire {

bool TrustedDaemonUid(uid_t peer, bool serviceAccountExists, uid_t serviceUid)
{
    return serviceAccountExists ? peer == serviceUid : peer == 0;
}

bool PeerIsScanService(int fd, std::string &error)
{
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof(peer)) {
        error = std::string("cannot tell who holds the scan socket (") + std::strerror(errno) + ")";
        return false;
    }
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> storage(16384);
    int failed = getpwnam_r(ruvo_paths::kScanServiceAccount, &entry, storage.data(), storage.size(), &found);
    if (failed != 0 && failed != ENOENT && failed != ESRCH) {
        // Not knowing whether the account exists is not a reason to trust root.
        error = "cannot look up the scan service account";
        return false;
    }
    bool exists = found != nullptr;
    if (!TrustedDaemonUid(peer.uid, exists, exists ? entry.pw_uid : 0)) {
        error = "the scan socket is held by uid " + std::to_string(peer.uid) + ", not by the scan service (" +
                (exists ? std::string(ruvo_paths::kScanServiceAccount) : std::string("root")) + ")";
        return false;
    }
    return true;
}

int ConnectToLocalDaemon(std::string &error, int receiveBuffer)
{
    std::string path = ScanSocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        error = "the scan socket's path is too long";
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    int result;
    do
        result = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        error = path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    if (!PeerIsScanService(fd, error)) {
        close(fd);
        return -1;
    }
    return fd;
}

int ConnectToDaemon(int port, int receiveBuffer)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    // Requests are small and each waits for its answer.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return fd;
}

bool SendAll(int fd, const void *bytes, size_t length, int stallMs, GiveUp giveUp)
{
    // The wait happens inside send() itself, so a sender held up by its peer
    // is seen (in /proc/<pid>/syscall) waiting in sendto and nowhere else.
    if (stallMs > 0) {
        timeval timeout{stallMs / 1000, (stallMs % 1000) * 1000};
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0)
            return false;
    }
    const auto *data = static_cast<const uint8_t *>(bytes);
    size_t done = 0;
    while (done < length) {
        ssize_t sent = send(fd, data + done, length - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR && (done > 0 || !(giveUp && giveUp())))
            continue;
        return false; // the peer is gone, or nothing went out for stallMs
    }
    return true;
}

bool SendAll(int fd, const void *bytes, size_t length)
{
    return SendAll(fd, bytes, length, 0, nullptr);
}

bool SendRequest(int fd, int32_t command, const void *body, size_t length)
{
    std::vector<uint8_t> request(sizeof(command) + length);
    std::memcpy(request.data(), &command, sizeof(command));
    if (length > 0)
        std::memcpy(request.data() + sizeof(command), body, length);
    return SendAll(fd, request.data(), request.size());
}

size_t ReceiveUpTo(int fd, void *buffer, size_t length, Deadline deadline, GiveUp giveUp)
{
    auto *bytes = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < length) {
        // A peer that drips bytes gains nothing: the wait left shrinks with each part.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        int waitMs = left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, waitMs);
        if (ready < 0 && errno == EINTR && !(giveUp && giveUp()))
            continue;
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

bool ReceiveBefore(int fd, void *buffer, size_t length, Deadline deadline)
{
    return ReceiveUpTo(fd, buffer, length, deadline) == length;
}

bool ReceiveFoundDevices(int fd, Deadline deadline, std::vector<USBFindDevRes> &found)
{
    int32_t count = 0;
    if (!ReceiveBefore(fd, &count, sizeof(count), deadline))
        return false;
    if (count < 0 || count > kMaxUsbDevices)
        return count < 0;
    auto record = std::make_unique<USBFindDevRes>(); // 3 KiB: not on the stack
    for (int32_t i = 0; i < count; ++i) {
        if (!ReceiveBefore(fd, record.get(), sizeof(*record), deadline))
            return false;
        found.push_back(*record);
    }
    return true;
}

bool ReceiveExact(int fd, void *buffer, size_t length, int timeoutMs)
{
    return ReceiveBefore(fd, buffer, length, DeadlineIn(timeoutMs));
}

} // namespace ruvo_wire
