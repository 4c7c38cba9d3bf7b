#include "scan_rules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <netinet/in.h>
#include <string>

namespace {

void appendLittleEndian(std::vector<uint8_t> &bytes, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace

std::vector<uint8_t> PeerSocketQuery(TcpEnd peer, TcpEnd daemon, uint32_t sequence)
{
    inet_diag_req_v2 request;
    std::memset(&request, 0, sizeof(request));
    request.sdiag_family = AF_INET;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = ~0u;
    request.id.idiag_sport = htons(peer.port);
    request.id.idiag_dport = htons(daemon.port);
    request.id.idiag_src[0] = peer.address;
    request.id.idiag_dst[0] = daemon.address;
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    // No NLM_F_DUMP: the kernel looks the one socket up by its four values
    // instead of listing its tables, so no number of other sockets matters.
    return NetlinkMessage(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, sequence, request);
}

std::optional<uid_t> PeerSocketOwner(const uint8_t *answer, size_t length, TcpEnd peer, TcpEnd daemon,
                                     uint32_t sequence)
{
    if (length < sizeof(nlmsghdr))
        return std::nullopt;
    nlmsghdr header;
    std::memcpy(&header, answer, sizeof(header));
    if (header.nlmsg_len > length || header.nlmsg_seq != sequence || header.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return std::nullopt;
    inet_diag_msg message;
    std::memcpy(&message, answer + NLMSG_HDRLEN, sizeof(message));
    // A connection the peer holds open; a lookup that missed it may fall back to
    // a listener on the peer's port, which could be anyone's.
    switch (message.idiag_state) {
    case TCP_ESTABLISHED:
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_CLOSE_WAIT:
        break;
    default:
        return std::nullopt;
    }
    if (message.idiag_family != AF_INET || message.id.idiag_src[0] != peer.address ||
        message.id.idiag_dst[0] != daemon.address || ntohs(message.id.idiag_sport) != peer.port ||
        ntohs(message.id.idiag_dport) != daemon.port)
        return std::nullopt;
    return static_cast<uid_t>(message.idiag_uid);
}

Admission AdmitConnection(const std::vector<std::optional<uid_t>> &open, std::optional<uid_t> newcomer,
                          const std::vector<uid_t> &exempt, int totalCap, int perUserCap)
{
    if (static_cast<int>(open.size()) >= totalCap)
        return Admission::TotalFull;
    if (newcomer && std::find(exempt.begin(), exempt.end(), *newcomer) != exempt.end())
        return Admission::Admit;
    // Connections whose user is unknown share one share between them.
    int same = static_cast<int>(std::count(open.begin(), open.end(), newcomer));
    return same >= perUserCap ? Admission::UserFull : Admission::Admit;
}

std::vector<uint8_t> OwnerAndReaderAcl(uid_t reader)
{
    // The kernel's xattr form: a version, then entries sorted by tag, each
    // {le16 tag, le16 permissions, le32 id}.
    constexpr uint32_t kVersion = 2;
    constexpr uint32_t kNoId = 0xFFFFFFFFu;
    constexpr uint16_t kUserObject = 0x01, kUser = 0x02, kGroupObject = 0x04, kMask = 0x10, kOther = 0x20;
    constexpr uint16_t kRead = 4, kWrite = 2;
    struct Entry {
        uint16_t tag;
        uint16_t permissions;
        uint32_t id;
    };
    const Entry entries[] = {
        {kUserObject, kRead | kWrite, kNoId}, {kUser, kRead, static_cast<uint32_t>(reader)},
        {kGroupObject, 0, kNoId},             {kMask, kRead, kNoId},
        {kOther, 0, kNoId},
    };
    std::vector<uint8_t> bytes;
    appendLittleEndian(bytes, kVersion, 4);
    for (const Entry &entry : entries) {
        appendLittleEndian(bytes, entry.tag, 2);
        appendLittleEndian(bytes, entry.permissions, 2);
        appendLittleEndian(bytes, entry.id, 4);
    }
    return bytes;
}

bool AclGrantsReader(const uint8_t *acl, size_t length, uid_t reader)
{
    constexpr size_t kHeader = 4, kEntry = 8;
    constexpr uint16_t kUser = 0x02, kRead = 4;
    if (length < kHeader || (length - kHeader) % kEntry != 0)
        return false;
    auto little = [&](size_t at, int size) {
        uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = value << 8 | acl[at + static_cast<size_t>(i)];
        return value;
    };
    if (little(0, 4) != 2)
        return false;
    for (size_t at = kHeader; at < length; at += kEntry)
        if (little(at, 2) == kUser && (little(at + 2, 2) & kRead) != 0 && little(at + 4, 4) == reader)
            return true;
    return false;
}

uint64_t FreeSpaceFloor(uint64_t fileSystemBytes)
{
    constexpr uint64_t kMostKept = 1024ull * 1024 * 1024;
    uint64_t floor = fileSystemBytes / 20;
    return floor < kMostKept ? floor : kMostKept;
}
