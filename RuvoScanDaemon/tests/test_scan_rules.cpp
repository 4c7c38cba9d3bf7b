// The daemon's rules over names and text: which names are scan files, whose
// socket a connection comes from, how client text enters the logs.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "scan_connection.h"
#include "scan_listener.h"
#include "scan_log.h"
#include "scan_rules.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace {

uint32_t address(const char *dotted)
{
    in_addr value{};
    inet_pton(AF_INET, dotted, &value);
    return value.s_addr;
}

// The kernel's answer to a socket lookup: one message naming one socket.
std::vector<uint8_t> diagAnswer(uint32_t sequence, uint8_t state, TcpEnd local, TcpEnd remote, uint32_t uid,
                                uint16_t type = SOCK_DIAG_BY_FAMILY)
{
    inet_diag_msg message;
    std::memset(&message, 0, sizeof(message));
    message.idiag_family = AF_INET;
    message.idiag_state = state;
    message.id.idiag_sport = htons(local.port);
    message.id.idiag_dport = htons(remote.port);
    message.id.idiag_src[0] = local.address;
    message.id.idiag_dst[0] = remote.address;
    message.idiag_uid = uid;
    return NetlinkMessage(type, 0, sequence, message);
}

} // namespace

SCAN_TEST(aNetlinkMessageIsItsHeaderThenItsBody)
{
    struct Body {
        uint32_t first;
        uint16_t second;
        uint16_t third;
    };
    const Body body{0x01020304u, 0x0506, 0x0708};
    std::vector<uint8_t> message = NetlinkMessage(20, NLM_F_REQUEST | NLM_F_ACK, 0xA1B2C3D4u, body);
    REQUIRE(message.size() == sizeof(nlmsghdr) + sizeof(Body));
    nlmsghdr header;
    std::memcpy(&header, message.data(), sizeof(header));
    CHECK_EQ(header.nlmsg_len, static_cast<uint32_t>(message.size()));
    CHECK_EQ(header.nlmsg_type, 20);
    CHECK_EQ(header.nlmsg_flags, NLM_F_REQUEST | NLM_F_ACK);
    CHECK_EQ(header.nlmsg_seq, 0xA1B2C3D4u);
    CHECK_EQ(header.nlmsg_pid, 0u);
    Body copy;
    std::memcpy(&copy, message.data() + sizeof(header), sizeof(copy));
    CHECK(copy.first == body.first && copy.second == body.second && copy.third == body.third);
}

SCAN_TEST(scanBaseNamesAreExactlyWhatAStartHandsOut)
{
    struct Row {
        const char *name;
        bool valid;
        int processId, index;
    };
    const Row rows[] = {
        {"/s/ruvoscandata_12_0", true, 12, 0},
        {"/s/ruvoscandata_2147483647_15", true, 2147483647, 15},
        {"/s/ruvoscandata_12_0_0", false, 0, 0},     // a page, not a base
        {"/s/ruvoscandata_12_", false, 0, 0},        // no index
        {"/s/ruvoscandata_12", false, 0, 0},         // a prefix of many bases
        {"/s/ruvoscandata", false, 0, 0},            // a prefix of every base
        {"/s/ruvoscandata_012_0", false, 0, 0},      // a leading zero the daemon never writes
        {"/s/ruvoscandata_-1_0", false, 0, 0},       // a sign
        {"/s/ruvoscandata_2147483648_0", false, 0, 0}, // over int
        {"/s/ruvoscandata_12_0/", false, 0, 0},
        {"/s//ruvoscandata_12_0", false, 0, 0},
        {"/s/../s/ruvoscandata_12_0", false, 0, 0},
        {"/other/ruvoscandata_12_0", false, 0, 0},
        {"/", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Row &row : rows) {
        std::optional<ruvo_wire::ScanBase> base = ruvo_wire::ParseScanBaseName("/s", row.name);
        if (base.has_value() != row.valid)
            std::fprintf(stderr, "  row %s\n", row.name);
        CHECK_EQ(base.has_value(), row.valid);
        if (base && row.valid) {
            CHECK_EQ(base->processId, row.processId);
            CHECK_EQ(base->index, row.index);
        }
    }
    CHECK(!ruvo_wire::ParseScanBaseName("", "/ruvoscandata_1_0"));
}

SCAN_TEST(pageFileEntriesAreExactlyPageNames)
{
    struct Row {
        const char *entry;
        bool valid;
        int processId, index, page;
    };
    const Row rows[] = {
        {"ruvoscandata_7_1_0.tmp", true, 7, 1, 0},
        {"ruvoscandata_7_10_12.tmp", true, 7, 10, 12},
        {"ruvoscandata_7_1.tmp", false, 0, 0, 0},
        {"ruvoscandata_7_1_0.tmp.1", false, 0, 0, 0},
        {"ruvoscandata_7_1_0.tmpx", false, 0, 0, 0},
        {"ruvoscandata_7_1_x.tmp", false, 0, 0, 0},
        {"ruvoscandata_7_1_00.tmp", false, 0, 0, 0},
        {"xruvoscandata_7_1_0.tmp", false, 0, 0, 0},
        {"ruvo_scan_info.log", false, 0, 0, 0},
        {"ruvo_scan_err.log.1", false, 0, 0, 0},
        {"ruvoscandata_7_1_0.tmp/", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const Row &row : rows) {
        std::optional<ruvo_wire::PageEntry> page = ruvo_wire::ParsePageFileEntry(row.entry);
        if (page.has_value() != row.valid)
            std::fprintf(stderr, "  row %s\n", row.entry);
        CHECK_EQ(page.has_value(), row.valid);
        if (page && row.valid) {
            CHECK_EQ(page->processId, row.processId);
            CHECK_EQ(page->index, row.index);
            CHECK_EQ(page->page, row.page);
        }
    }
}

SCAN_TEST(peerOwnerIsTheUidOfExactlyThePeersConnectedSocket)
{
    const TcpEnd peer{address("127.0.0.1"), 41000};
    const TcpEnd daemon{address("127.0.0.1"), 7000};
    // The query asks for the peer's own socket (local = peer), never the
    // daemon's side of the same connection, and never a dump of the table.
    std::vector<uint8_t> query = PeerSocketQuery(peer, daemon, 77);
    REQUIRE(query.size() == sizeof(nlmsghdr) + sizeof(inet_diag_req_v2));
    nlmsghdr header;
    inet_diag_req_v2 request;
    std::memcpy(&header, query.data(), sizeof(header));
    std::memcpy(&request, query.data() + sizeof(header), sizeof(request));
    CHECK_EQ(header.nlmsg_flags & NLM_F_DUMP, 0);
    CHECK_EQ(header.nlmsg_seq, 77u);
    CHECK_EQ(ntohs(request.id.idiag_sport), 41000);
    CHECK_EQ(ntohs(request.id.idiag_dport), 7000);
    CHECK_EQ(request.id.idiag_src[0], peer.address);

    struct Row {
        const char *what;
        std::vector<uint8_t> answer;
        uid_t expected; // 99999: nobody
    };
    const TcpEnd otherPeer{address("127.0.0.5"), 41000};
    std::vector<uint8_t> truncated = diagAnswer(77, TCP_ESTABLISHED, peer, daemon, 1000);
    truncated.resize(truncated.size() - 8);
    std::vector<uint8_t> overlong = diagAnswer(77, TCP_ESTABLISHED, peer, daemon, 1000);
    overlong[0] = 0xFF; // nlmsg_len beyond what came
    const Row rows[] = {
        {"connected peer", diagAnswer(77, TCP_ESTABLISHED, peer, daemon, 1000), 1000},
        {"peer closing its end", diagAnswer(77, TCP_FIN_WAIT1, peer, daemon, 4242), 4242},
        {"daemon's own side", diagAnswer(77, TCP_ESTABLISHED, daemon, peer, 0), 99999},
        {"listener on the peer's port", diagAnswer(77, TCP_LISTEN, peer, TcpEnd{0, 0}, 1001), 99999},
        {"time-wait remnant", diagAnswer(77, TCP_TIME_WAIT, peer, daemon, 0), 99999},
        {"another address", diagAnswer(77, TCP_ESTABLISHED, otherPeer, daemon, 1000), 99999},
        {"another port", diagAnswer(77, TCP_ESTABLISHED, TcpEnd{peer.address, 41001}, daemon, 1000), 99999},
        {"stale sequence", diagAnswer(76, TCP_ESTABLISHED, peer, daemon, 1000), 99999},
        {"error message", diagAnswer(77, TCP_ESTABLISHED, peer, daemon, 1000, NLMSG_ERROR), 99999},
        {"truncated", truncated, 99999},
        {"length beyond the bytes", overlong, 99999},
        {"nothing", {}, 99999},
    };
    for (const Row &row : rows) {
        std::optional<uid_t> owner = PeerSocketOwner(row.answer.data(), row.answer.size(), peer, daemon, 77);
        if (owner.value_or(99999) != row.expected)
            std::fprintf(stderr, "  row: %s\n", row.what);
        CHECK_EQ(owner.value_or(99999), row.expected);
    }
}

SCAN_TEST(eachUserGetsAShareOfTheConnections)
{
    using Users = std::vector<std::optional<uid_t>>;
    const std::vector<uid_t> exempt{0, 120};
    Users eightOfOne(8, uid_t(1000));
    Users eightUnknown(8, std::nullopt);
    Users full(32, uid_t(120));
    struct Row {
        const char *what;
        Users open;
        std::optional<uid_t> newcomer;
        Admission expected;
    };
    const Row rows[] = {
        {"first of a user", {}, uid_t(1000), Admission::Admit},
        {"user at the share", eightOfOne, uid_t(1000), Admission::UserFull},
        {"another user beside one at the share", eightOfOne, uid_t(1001), Admission::Admit},
        {"root beside one at the share", eightOfOne, uid_t(0), Admission::Admit},
        {"unknown users share one share", eightUnknown, std::nullopt, Admission::UserFull},
        {"a known user beside the unknown", eightUnknown, uid_t(1000), Admission::Admit},
        {"service account past eight", Users(20, uid_t(120)), uid_t(120), Admission::Admit},
        {"total reached", full, uid_t(0), Admission::TotalFull},
    };
    for (const Row &row : rows) {
        Admission got = AdmitConnection(row.open, row.newcomer, exempt, kMaxConnections);
        if (got != row.expected)
            std::fprintf(stderr, "  row: %s\n", row.what);
        CHECK_EQ(got, row.expected);
    }
}

SCAN_TEST(accessListGivesOneReaderAndNobodyElse)
{
    // version 2; user::rw-, user:1234:r--, group::---, mask::r--, other::---
    const std::vector<uint8_t> expected = {
        0x02, 0x00, 0x00, 0x00,                                                 // version
        0x01, 0x00, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,                         // owner
        0x02, 0x00, 0x04, 0x00, 0xD2, 0x04, 0x00, 0x00,                         // user 1234
        0x04, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,                         // owning group
        0x10, 0x00, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,                         // mask
        0x20, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,                         // others
    };
    CHECK(OwnerAndReaderAcl(1234) == expected);
}

SCAN_TEST(freeSpaceFloorIsATwentiethUpToOneGibibyte)
{
    CHECK_EQ(FreeSpaceFloor(0), uint64_t(0));
    CHECK_EQ(FreeSpaceFloor(8ull << 20), uint64_t((8ull << 20) / 20));
    CHECK_EQ(FreeSpaceFloor(20ull << 30), uint64_t(1ull << 30));
    CHECK_EQ(FreeSpaceFloor(4ull << 40), uint64_t(1ull << 30));
}

SCAN_TEST(clientTextStaysInsideItsLogLine)
{
    struct Row {
        std::string text;
        std::string logged;
    };
    const Row rows[] = {
        {"plain /opt/x_1.tmp", "plain /opt/x_1.tmp"},
        {"a\nb", "a\\x0Ab"},
        {"a\r\n[RuvoScanSDK] forged", "a\\x0D\\x0A[RuvoScanSDK] forged"},
        {std::string("nul\0in", 6), "nul\\x00in"},
        {"\x1b[2J", "\\x1B[2J"},
        {"back\\slash", "back\\x5Cslash"},
        {"\xc3\xa9\x7f", "\\xC3\\xA9\\x7F"},
    };
    for (const Row &row : rows)
        CHECK_EQ(RuvoLogText(row.text), row.logged);
    std::string huge(20000, '\n');
    std::string escaped = RuvoLogText(huge);
    CHECK(escaped.size() < 4200);
    CHECK_EQ(escaped.substr(escaped.size() - 3), std::string("..."));
    CHECK(escaped.find('\n') == std::string::npos);
}

SCAN_TEST(textFieldsMustEndWithinTheirSize)
{
    char address[16];
    std::memcpy(address, "192.168.100.1001", 16); // the first 15 bytes would be another address
    CHECK(!TextField(address, sizeof(address)));
    std::memcpy(address, "127.0.0.1\0garbage", 16);
    CHECK_EQ(TextField(address, sizeof(address)).value_or("?"), std::string("127.0.0.1"));
    char empty[4] = {};
    CHECK_EQ(TextField(empty, sizeof(empty)).value_or("?"), std::string());
}

SCAN_TEST(logNamesAndTheirRotatedCopies)
{
    for (const char *name : {"ruvo_scan_info.log", "ruvo_scan_err.log", "ruvo_scan_info.log.1", "ruvo_scan_err.log.1"})
        CHECK(RuvoIsLogFileName(name));
    for (const char *name : {"ruvo_scan_info.log.2", "ruvo_scan_info.log.", "ruvo_scan_info", "x_ruvo_scan_err.log",
                             "ruvoscandata_1_0_0.tmp"})
        CHECK(!RuvoIsLogFileName(name));
}
