// The daemon's rules over names and text: which names are scan files, whose
// socket a connection comes from, how client text enters the logs.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "scan_daemon.h"
#include "scan_log.h"
#include "scan_rules.h"

#include <arpa/inet.h>

namespace {

uint32_t address(const char *dotted)
{
    in_addr value{};
    inet_pton(AF_INET, dotted, &value);
    return value.s_addr;
}

// Lines as the kernel writes them (addresses of 127.0.0.1, 127.0.0.5; ports
// 7000 = 1B58, 41000 = A028, 41001 = A029).
const char kSocketTable[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:1B58 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1001 1 0 100 0 0 10 0\n"
    "   1: 0100007F:1B58 0100007F:A028 01 00000000:00000000 00:00000000 00000000     0        0 1002 1 0 20 4 30 10 -1\n"
    "   2: 0100007F:A028 0100007F:1B58 01 00000000:00000000 00:00000000 00000000  1000        0 1003 1 0 20 4 30 10 -1\n"
    "   3: 0500007F:A029 0100007F:1B58 01 00000000:00000000 00:00000000 00000000  4242        0 1004 1 0 20 4 30 10 -1\n"
    "   4: 0100007F:A029 0100007F:1F90 01 00000000:00000000 00:00000000 00000000    77        0 1005 1 0 20 4 30 10 -1\n";

} // namespace

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
        std::optional<ScanBase> base = ParseScanBaseName("/s", row.name);
        if (base.has_value() != row.valid)
            std::fprintf(stderr, "  row %s\n", row.name);
        CHECK_EQ(base.has_value(), row.valid);
        if (base && row.valid) {
            CHECK_EQ(base->processId, row.processId);
            CHECK_EQ(base->index, row.index);
        }
    }
    CHECK(!ParseScanBaseName("", "/ruvoscandata_1_0"));
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
        std::optional<PageEntry> page = ParsePageFileEntry(row.entry);
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

SCAN_TEST(peerUidComesFromTheLineOfThePeersSocket)
{
    const uint32_t home = address("127.0.0.1");
    // The peer's own socket (local = peer, remote = daemon), not the daemon's
    // side of the same connection (uid 0).
    CHECK_EQ(LoopbackPeerUid(kSocketTable, home, 41000, home, 7000).value_or(99999), uid_t(1000));
    CHECK_EQ(LoopbackPeerUid(kSocketTable, address("127.0.0.5"), 41001, home, 7000).value_or(99999), uid_t(4242));
    // Port 41001 on 127.0.0.1 talks to another port, not to the daemon.
    CHECK(!LoopbackPeerUid(kSocketTable, home, 41001, home, 7000));
    CHECK(!LoopbackPeerUid(kSocketTable, home, 41002, home, 7000));
    CHECK(!LoopbackPeerUid("", home, 41000, home, 7000));
    // Cut-off and garbled lines name nobody.
    CHECK(!LoopbackPeerUid("   2: 0100007F:A028 0100007F:1B58 01 00000000:00000000 00:00000000 00000000", home, 41000,
                           home, 7000));
    CHECK(!LoopbackPeerUid("   2: 0100007F:A028 0100007F:1B58 01 00000000:00000000 00:00000000 00000000  10x0 0 1",
                           home, 41000, home, 7000));
    CHECK(!LoopbackPeerUid("   2: 100007F:A028 0100007F:1B58 01 0:0 0:0 0  1000 0 1", home, 41000, home, 7000));
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
