#pragma once
// Rules of the scan daemon over names and text only (no files, sockets or
// processes), so tests and fuzz targets reach them directly: which client owns a connection, what a page file may cost.

#include "scan_names.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/netlink.h>
#include <optional>
#include <string_view>
#include <sys/types.h>
#include <vector>

// One end of a TCP connection: address as it lies in sockaddr_in (network byte
// order), port in host order.
struct TcpEnd {
    uint32_t address;
    uint16_t port;
};

// One netlink message of `type`: its header (length, flags, sequence) followed
// by the bytes of `body`, a plain record of the kernel's.
template <typename Body>
std::vector<uint8_t> NetlinkMessage(uint16_t type, uint16_t flags, uint32_t sequence, const Body &body)
{
    static_assert(NLMSG_HDRLEN == sizeof(nlmsghdr), "the body follows the header directly");
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(sizeof(header) + sizeof(body));
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = sequence;
    std::vector<uint8_t> bytes(sizeof(header) + sizeof(body));
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::memcpy(bytes.data() + sizeof(header), &body, sizeof(body));
    return bytes;
}

// The kernel's socket diagnostics (NETLINK_SOCK_DIAG) are asked for exactly one
// socket: the peer's, whose local end is `peer` and whose remote end is `daemon`.
// `sequence` comes back in the answer.
std::vector<uint8_t> PeerSocketQuery(TcpEnd peer, TcpEnd daemon, uint32_t sequence);

// The owner (uid) of the peer's socket, from the kernel's answer to
// PeerSocketQuery: only a message of that sequence that names exactly that
// socket, connected (a listener or a closing remnant that happens to match
// names nobody). nullopt for an error answer or anything else.
std::optional<uid_t> PeerSocketOwner(const uint8_t *answer, size_t length, TcpEnd peer, TcpEnd daemon,
                                     uint32_t sequence);

// Whether one more connection may be served, given the users of those already
// open (nullopt: a user the daemon could not learn). `exempt` users (root, the
// service account) count only against the total.
enum class Admission { Admit, TotalFull, UserFull };
inline constexpr int kConnectionsPerUser = 8;
Admission AdmitConnection(const std::vector<std::optional<uid_t>> &open, std::optional<uid_t> newcomer,
                          const std::vector<uid_t> &exempt, int totalCap, int perUserCap = kConnectionsPerUser);

// The "system.posix_acl_access" value that lets the file's owner read and
// write, `reader` read, and nobody else anything.
std::vector<uint8_t> OwnerAndReaderAcl(uid_t reader);

// True when the "system.posix_acl_access" value `acl` gives `reader`, by name,
// read access.
bool AclGrantsReader(const uint8_t *acl, size_t length, uid_t reader);

// Bytes the scan directory's file system keeps free: a page stops growing
// before the free space falls below this (a twentieth of the file system, at
// most 1 GiB).
uint64_t FreeSpaceFloor(uint64_t fileSystemBytes);
