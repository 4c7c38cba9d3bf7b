#include "scan_peer.h"

#include "scan_rules.h"
#include "unique_fd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

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

PageOwner localPeerOwner(int fd)
{
    PageOwner owner;
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
        owner.known = true;
        owner.uid = credentials.uid;
    }
    return owner;
}

PageOwner tcpPeerOwner(int fd, const sockaddr_storage &peer)
{
    PageOwner owner;
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

} // namespace

PageOwner ConnectionOwner(int fd)
{
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof(peer);
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
        return PageOwner{};
    if (peer.ss_family == AF_UNIX)
        return localPeerOwner(fd);
    return tcpPeerOwner(fd, peer);
}
