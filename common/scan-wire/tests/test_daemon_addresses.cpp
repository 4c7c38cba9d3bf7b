// Where a client finds the daemon, and which scan names it follows: a client
// that followed a name the daemon never makes could be made to read or delete
// a file that is not a scan's.

#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "product_paths.h"
#include "scan_names.h"
#include "scan_types.h"

#include <string>

SCAN_TEST(daemonPortTextIsADecimalPortOrTheProductPort)
{
    struct Row {
        const char *text;
        int port;
    };
    const Row rows[] = {
        {"7001", 7001},     {"1", 1},          {"65535", 65535}, {nullptr, kScanDaemonPort},
        {"", kScanDaemonPort}, {"0", kScanDaemonPort}, {"65536", kScanDaemonPort}, {"-7001", kScanDaemonPort},
        {"7001x", kScanDaemonPort}, {"x7001", kScanDaemonPort}, {"99999999999999999999", kScanDaemonPort},
    };
    for (const Row &row : rows) {
        if (ruvo_wire::DaemonPortFromText(row.text) != row.port)
            std::fprintf(stderr, "  row %s\n", row.text ? row.text : "(unset)");
        CHECK_EQ(ruvo_wire::DaemonPortFromText(row.text), row.port);
    }
}

SCAN_TEST(clientsFollowOnlyTheDaemonsScanNamesThatFitARequest)
{
    const std::string directory = ruvo_paths::kScanDir;
    CHECK(ruvo_wire::IsDaemonScanBaseName(ruvo_wire::ScanBaseName(directory, 4242, 0)));
    CHECK(ruvo_wire::IsDaemonScanBaseName(directory + "/ruvoscandata_2147483647_2147483647"));
    CHECK(!ruvo_wire::IsDaemonScanBaseName("/tmp/ruvoscandata_4242_0"));
    CHECK(!ruvo_wire::IsDaemonScanBaseName(directory + "/../scan/ruvoscandata_4242_0"));
    CHECK(!ruvo_wire::IsDaemonScanBaseName(directory + "/ruvoscandata_4242_0_1.tmp"));
    // Every page name of a name it follows fits the file-name field of an
    // abort or delete request, terminator included.
    std::string longest = directory + "/ruvoscandata_2147483647_2147483647";
    CHECK(ruvo_wire::PageFileName(longest, 2147483647).size() < kFileNameSize);
}
