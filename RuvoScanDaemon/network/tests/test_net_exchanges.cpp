// The network scanner functions against the simulated scanner: scan start and
// the record stream, abort, capabilities, feeder status, XML calls, and every
// failure with its result code and log line.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "net_internal.h"
#include "net_sim_harness.h"
#include "ruvo_network.h"
#include "scan_log.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using net_test::Simulator;
using net_test::readFile;

namespace {

// Each test owns its logs, read back to check the lines a failure writes.
struct Logs {
    std::string dir = net_test::makeTempDir("net-logs");
    Logs() { REQUIRE(RuvoInitDbg(dir.c_str())); }
    ~Logs() { RuvoCloseDbg(); }
    std::string info() const { return readFile(dir + "/ruvo_scan_info.log"); }
    std::string errors() const { return readFile(dir + "/ruvo_scan_err.log"); }
    bool errorLine(const std::string &text) const
    {
        return errors().find("[RuvoScanSDK] " + text + "\n") != std::string::npos;
    }
    bool infoLine(const std::string &text) const
    {
        return info().find("[RuvoScanSDK] " + text + "\n") != std::string::npos;
    }
};

RuvoSocket scanner(const char *address)
{
    RuvoSocket socket{};
    socket.tcpFromScanner = -1;
    std::strncpy(socket.szScannerIP, address, sizeof(socket.szScannerIP) - 1);
    return socket;
}

SettingInfo feederSettings()
{
    SettingInfo settings{};
    settings.bitDepth = 8;
    settings.compType = COMPRESSION_NONE;
    settings.width = 850;
    settings.height = 1100;
    settings.xResolution = 100;
    settings.yResolution = 100;
    settings.feederEnabled = true;
    settings.isClient = 1;
    return settings;
}

struct Scan {
    std::vector<std::string> pages;
    std::vector<int> statuses;
    int result = 0;
    int finalStatus = -1;
};

// Reads records until a non-zero result, assembling pages as the daemon would.
Scan readScan(RuvoSocket &socket, int limit = 100000)
{
    Scan scan;
    unsigned char *data = nullptr;
    int size = 0;
    for (int i = 0; i < limit; ++i) {
        ScanStatus status = SCAN_STATUS_ABORTED_BY_DEVICE;
        int length = -1;
        int result = ruvo_tcp_ScanRecord(&socket, &status, &data, &size, &length);
        scan.statuses.push_back(status);
        if (result != 0) {
            scan.result = result;
            scan.finalStatus = status;
            break;
        }
        if (status == SCAN_STATUS_BEGIN_OF_PAGE) {
            scan.pages.emplace_back();
        } else if (!scan.pages.empty() && length > 0) {
            scan.pages.back().append(reinterpret_cast<char *>(data), static_cast<size_t>(length));
        }
    }
    std::free(data);
    return scan;
}

bool descriptorOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

} // namespace

SCAN_TEST(threePageScanArrivesWhole)
{
    Logs logs;
    Simulator sim("127.0.0.21", {"--pages", "3", "--page-size", "150001", "--block-sizes", "65536,7,40000,999999",
                                 "--keep-pages"});
    RuvoSocket socket = scanner("127.0.0.21");
    SettingInfo settings = feederSettings();
    REQUIRE(ruvo_http_ScanStart(&socket, &settings) == 0);
    CHECK(socket.tcpFromScanner >= 0);
    CHECK(logs.infoLine("** ruvo_http_ScanStart"));

    // What the scanner received: the posted form, whole, with a matching length.
    std::string request = sim.file("http-1.txt");
    std::string body = sim.requestBody(1);
    CHECK(request.rfind("POST /netscan/post HTTP/1.1\r\n", 0) == 0);
    CHECK(request.find("Content-Length: " + std::to_string(body.size()) + "\r\n") != std::string::npos);
    CHECK(request.find("Host: 0.0.0.0\r\n") != std::string::npos);
    CHECK(body.rfind("SCANTYPE=2&ADVCONTRAST=0&", 0) == 0);
    CHECK(body.find("&DEPTH=8&") != std::string::npos);
    CHECK(body.find("&SCANSOURCE=0&") != std::string::npos);
    CHECK(body.find("&TYPE=RAW&SINGLEPAGE=&CUSTOM_WIDTH=850&CUSTOM_HEIGHT=1100&OFFSETX=0&OFFSETY=0&") !=
          std::string::npos);

    Scan scan = readScan(socket);
    CHECK_EQ(scan.result, 5);
    CHECK_EQ(scan.finalStatus, 1);
    CHECK_EQ(scan.statuses.front(), 9);
    CHECK_EQ(socket.tcpFromScanner, -1);
    REQUIRE(scan.pages.size() == 3u);
    for (int page = 0; page < 3; ++page) {
        std::string sent = sim.file("sent-page-" + std::to_string(page) + ".bin");
        CHECK_EQ(sent.size(), size_t(150001));
        CHECK(scan.pages[static_cast<size_t>(page)] == sent);
    }
    CHECK(logs.infoLine("newFileFlag"));
    CHECK(logs.infoLine("jobDoneFlag"));
    CHECK(sim.sawEvent("record-done"));
}

SCAN_TEST(scanStartRefusedOrBusy)
{
    struct Row {
        const char *address;
        std::vector<std::string> knobs;
        int expected;
    };
    const Row rows[] = {
        {"127.0.0.22", {"--result", "91"}, 3},
        {"127.0.0.23", {"--result", "1"}, 4},
        {"127.0.0.24", {"--result", "0"}, 0},
        {"127.0.0.25", {"--result", "1", "--result-in-header"}, 0},
        {"127.0.0.48", {"--fault", "no-result"}, 3},
        {"127.0.0.49", {"--fault", "close-at-opening"}, 9},
    };
    for (const Row &row : rows) {
        Logs logs;
        Simulator sim(row.address, row.knobs);
        RuvoSocket socket = scanner(row.address);
        SettingInfo settings = feederSettings();
        int result = ruvo_http_ScanStart(&socket, &settings);
        if (!CHECK_EQ(result, row.expected))
            std::fprintf(stderr, "    row: %s\n", row.address);
        if (row.knobs[1] == "no-result") {
            CHECK(logs.errorLine("recv ruvo_http_ScanStart error"));
            CHECK_EQ(socket.tcpFromScanner, -1);
        } else if (row.knobs[1] == "close-at-opening") {
            CHECK(logs.errorLine("recv record scan data err"));
            CHECK_EQ(socket.tcpFromScanner, -1);
        } else if (row.expected != 0) {
            CHECK(logs.errorLine("parse ruvo_http_ScanStartResult error"));
            CHECK_EQ(socket.tcpFromScanner, -1);
            CHECK(sim.events().find("record-connect") == std::string::npos);
        } else {
            CHECK(sim.sawEvent("record-connect"));
            CHECK_EQ(readScan(socket).result, 5);
        }
    }
}

SCAN_TEST(recordChannelFailuresCloseIt)
{
    ruvo_net_set_timeout_ms(300); // the stalled scanner gives up after 4 short waits
    struct Row {
        const char *address;
        const char *fault;
        const char *line;
        size_t pagesBegun; // whole page starts read before the failure
    };
    const Row rows[] = {
        {"127.0.0.26", "close-mid-page", "ruvo_tcp_recv_with_retry blockdata err", 2},
        {"127.0.0.27", "stall", "ruvo_tcp_recv_with_retry blockdata err", 2},
        {"127.0.0.28", "bad-length", "record length field is not six digits", 2},
        {"127.0.0.39", "close-mid-block", "ruvo_tcp_recv_with_retry recv err", 2},
        {"127.0.0.40", "close-in-page-header", "recv record header data error", 1},
    };
    for (const Row &row : rows) {
        Logs logs;
        Simulator sim(row.address, {"--pages", "3", "--page-size", "20000", "--block-sizes", "1000",
                                    "--fault", row.fault});
        RuvoSocket socket = scanner(row.address);
        SettingInfo settings = feederSettings();
        REQUIRE(ruvo_http_ScanStart(&socket, &settings) == 0);
        Scan scan = readScan(socket);
        bool ok = CHECK_EQ(scan.result, 9);
        ok = CHECK_EQ(scan.pages.size(), row.pagesBegun) && ok;
        ok = CHECK_EQ(logs.errorLine(row.line), true) && ok;
        CHECK_EQ(socket.tcpFromScanner, -1);
        if (std::string(row.fault) == "stall")
            CHECK(sim.sawEvent("record-closed-by-host"));
        if (!ok)
            std::fprintf(stderr, "    row: %s\n", row.fault);
    }
    ruvo_net_set_timeout_ms(5000);
}

SCAN_TEST(abortClosesTheChannelAndPosts)
{
    Logs logs;
    Simulator sim("127.0.0.29", {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault",
                                 "stall"});
    RuvoSocket socket = scanner("127.0.0.29");
    SettingInfo settings = feederSettings();
    REQUIRE(ruvo_http_ScanStart(&socket, &settings) == 0);
    int channel = socket.tcpFromScanner;
    Scan first = readScan(socket, 25); // into the second page, where the scanner stalls
    CHECK_EQ(first.result, 0);
    CHECK(sim.sawEvent("record-stalled"));

    CHECK_EQ(ruvo_http_ScanAbort(&socket), 0);
    CHECK_EQ(socket.tcpFromScanner, -1);
    CHECK(sim.sawEvent("abort"));
    CHECK(sim.sawEvent("record-closed-by-host"));
    std::string request = sim.file("http-2.txt");
    CHECK(request.find("Content-Length: 10\r\n") != std::string::npos);
    CHECK_EQ(sim.requestBody(2), "SCANTYPE=4");
    // The scanner's reply stays inside its one log line: its line breaks are escaped.
    CHECK(logs.infoLine("ruvo_http_ScanAbort Received : HTTP/1.1 200 OK\\x0D\\x0AContent-Type: text/plain\\x0D\\x0A"
                        "Server: net-scanner-sim\\x0D\\x0AContent-Length: 10\\x0D\\x0A\\x0D\\x0ARESULT=0\\x0D\\x0A "));

    // The closed channel is not read again, even when a client names it.
    socket.tcpFromScanner = channel;
    ScanStatus status;
    unsigned char *data = nullptr;
    int size = 0, length = 0;
    CHECK_EQ(ruvo_tcp_ScanRecord(&socket, &status, &data, &size, &length), 9);
    CHECK(data == nullptr);
}

SCAN_TEST(aNewStartClosesTheEarlierChannel)
{
    Logs logs;
    Simulator sim("127.0.0.50", {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault",
                                 "stall"});
    RuvoSocket socket = scanner("127.0.0.50");
    SettingInfo settings = feederSettings();
    REQUIRE(ruvo_http_ScanStart(&socket, &settings) == 0);
    REQUIRE(sim.sawEvent("record-stalled"));
    // The client does not name the earlier channel; it is closed all the same.
    socket.tcpFromScanner = -1;
    CHECK_EQ(ruvo_http_ScanStart(&socket, &settings), 0);
    CHECK(sim.sawEvent("record-closed-by-host"));
    CHECK(socket.tcpFromScanner >= 0);
    CHECK_EQ(ruvo_http_ScanAbort(&socket), 0);
}

SCAN_TEST(descriptorsFromClientsAreNeverTouched)
{
    Logs logs;
    int pipeEnds[2];
    REQUIRE(pipe(pipeEnds) == 0);
    RuvoSocket socket = scanner("127.0.0.250"); // nothing listens there
    socket.tcpFromScanner = pipeEnds[0];
    CHECK_EQ(ruvo_http_ScanAbort(&socket), 9);
    CHECK(descriptorOpen(pipeEnds[0]));
    socket.tcpFromScanner = pipeEnds[0];
    SettingInfo settings = feederSettings();
    CHECK_EQ(ruvo_http_ScanStart(&socket, &settings), 9);
    CHECK(descriptorOpen(pipeEnds[0]));
    socket.tcpFromScanner = pipeEnds[0];
    ScanStatus status;
    unsigned char *data = nullptr;
    int size = 0, length = 0;
    CHECK_EQ(ruvo_tcp_ScanRecord(&socket, &status, &data, &size, &length), 9);
    CHECK(descriptorOpen(pipeEnds[0]));
    CHECK(descriptorOpen(pipeEnds[1]));
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

SCAN_TEST(capabilitiesAndFeederStatus)
{
    Logs logs;
    {
        Simulator sim("127.0.0.30", {"--capabilities", "COLOR=GRAY\\nMAXRES=600\\nPROFILE=DISABLED\\nDUPLEX=true"});
        RuvoSocket socket = scanner("127.0.0.30");
        ScannerCapabilities capabilities;
        std::memset(&capabilities, 0xFF, sizeof(capabilities)); // every field starts at 0 again
        CHECK_EQ(ruvo_http_DeviceProperties(&socket, &capabilities), 0);
        CHECK(!capabilities.color);
        CHECK(!capabilities.profile);
        CHECK(capabilities.duplex);
        CHECK_EQ(capabilities.maxres, 600u);
        CHECK_EQ(capabilities.minres, 0u);
        CHECK(sim.file("http-1.txt").rfind("GET /netscan/capabilites HTTP/1.1\r\n", 0) == 0);
        CHECK(logs.infoLine("MAXRES:600"));
    }
    struct Row {
        const char *address;
        const char *reply;
        int expected;
        const char *line;
    };
    const Row rows[] = {
        {"127.0.0.31", "ADFSTATUS=2", ADF_STATUS_LOADED, "ADF_STATUS_LOADED"},
        {"127.0.0.32", "ADFSTATUS=1", ADF_STATUS_EMPTY, "ADF_STATUS_EMPTY"},
        {"127.0.0.33", "ADFSTATUS=3", ADF_STATUS_PAPER_JAM, "ADF_STATUS_PAPER_JAM"},
        {"127.0.0.34", "ADFSTATUS=2\n", -7, nullptr},
    };
    for (const Row &row : rows) {
        Simulator sim(row.address, {"--adf-reply", row.reply});
        RuvoSocket socket = scanner(row.address);
        ADFStatus status = static_cast<ADFStatus>(-7);
        CHECK_EQ(ruvo_http_adfstatus(&socket, &status), 0);
        CHECK_EQ(static_cast<int>(status), row.expected);
        if (row.line)
            CHECK(logs.infoLine(row.line));
        else
            CHECK(logs.errorLine("ADF status is invalid or not supported"));
        CHECK_EQ(sim.requestBody(1), "GETADFSTATUS");
    }
}

SCAN_TEST(xmlCallsPassTheReplyThrough)
{
    Logs logs;
    {
        Simulator sim("127.0.0.35", {});
        RuvoSocket socket = scanner("127.0.0.35");
        char *reply = nullptr;
        int length = -1;
        CHECK_EQ(ruvo_send_osl(&socket, &reply, OSL_CMD_GETLIST, &length), 0);
        std::string expected = sim.file("xml-reply-1.txt");
        REQUIRE(reply != nullptr);
        CHECK_EQ(std::string(reply, static_cast<size_t>(length)), expected);
        CHECK(sim.file("xml-1.txt").find("<arg name=\"objName\">mfp.profileFactory</arg>") != std::string::npos);
        std::free(reply);
        CHECK_EQ(ruvo_send_osl(&socket, &reply, static_cast<OSL_CMD_TYPE>(3), &length), 4);
        CHECK(reply == nullptr);
    }
    {
        Simulator sim("127.0.0.36", {"--fault", "xml-zero"});
        RuvoSocket socket = scanner("127.0.0.36");
        char *reply = reinterpret_cast<char *>(&socket);
        int length = -1;
        CHECK_EQ(ruvo_send_osl(&socket, &reply, OSL_CMD_SUMMARY, &length), 0);
        CHECK_EQ(length, 0);
        CHECK(reply == nullptr);
    }
    {
        Simulator sim("127.0.0.37", {"--fault", "xml-oversize"});
        RuvoSocket socket = scanner("127.0.0.37");
        char *reply = nullptr;
        int length = -1;
        CHECK_EQ(ruvo_send_osl(&socket, &reply, OSL_CMD_FAMILYTYPE, &length), 9);
        CHECK(reply == nullptr);
        CHECK_EQ(length, 0);
        CHECK(logs.errorLine("ruvo_send_osl reply length 9000 over 8192"));
    }
}

SCAN_TEST(unreachableScannerFailsEveryExchange)
{
    Logs logs;
    RuvoSocket socket = scanner("127.0.0.251");
    SettingInfo settings = feederSettings();
    CHECK_EQ(ruvo_http_ScanStart(&socket, &settings), 9);
    CHECK(logs.errorLine("ruvo_init_tcp 80 ERR"));
    CHECK(logs.errorLine("connect error: Connection refused(errno: 111)"));
    CHECK_EQ(ruvo_http_ScanAbort(&socket), 9);
    ScannerCapabilities capabilities{};
    CHECK_EQ(ruvo_http_DeviceProperties(&socket, &capabilities), 9);
    ADFStatus status = ADF_STATUS_EMPTY;
    CHECK_EQ(ruvo_http_adfstatus(&socket, &status), 9);
    char *reply = nullptr;
    int length = 0;
    CHECK_EQ(ruvo_send_osl(&socket, &reply, OSL_CMD_SUMMARY, &length), 9);
}

SCAN_TEST(silentScannerTimesOut)
{
    ruvo_net_set_timeout_ms(300);
    Logs logs;
    {
        Simulator sim("127.0.0.51", {"--fault", "web-silent"});
        RuvoSocket socket = scanner("127.0.0.51");
        ADFStatus status = ADF_STATUS_EMPTY;
        CHECK_EQ(ruvo_http_adfstatus(&socket, &status), 9);
        CHECK_EQ(static_cast<int>(status), static_cast<int>(ADF_STATUS_EMPTY));
        CHECK(logs.errorLine("recv error"));
        SettingInfo settings = feederSettings();
        CHECK_EQ(ruvo_http_ScanStart(&socket, &settings), 3);
        CHECK(logs.errorLine("recv ruvo_http_ScanStart error"));
        CHECK_EQ(socket.tcpFromScanner, -1);
    }
    {
        Simulator sim("127.0.0.52", {"--fault", "xml-silent"});
        RuvoSocket socket = scanner("127.0.0.52");
        char *reply = nullptr;
        int length = -1;
        CHECK_EQ(ruvo_send_osl(&socket, &reply, OSL_CMD_SUMMARY, &length), 9);
        CHECK(reply == nullptr);
        CHECK(logs.errorLine("recv ruvo_send_osl error"));
    }
    ruvo_net_set_timeout_ms(5000);
}

SCAN_TEST(recordPortClosedAfterAcceptedStart)
{
    Logs logs;
    Simulator sim("127.0.0.38", {"--record-port", "2081"});
    RuvoSocket socket = scanner("127.0.0.38");
    SettingInfo settings = feederSettings();
    CHECK_EQ(ruvo_http_ScanStart(&socket, &settings), 9);
    CHECK(logs.errorLine("ruvo_init_tcp 2080 error"));
    CHECK_EQ(socket.tcpFromScanner, -1);
}

SCAN_TEST(badScannerAddressesNeverConnect)
{
    const char *addresses[] = {"1.2.3", "127.0.0.256", "localhost", "127.0.0.1 ", ""};
    for (const char *address : addresses) {
        Logs logs;
        RuvoSocket socket = scanner(address);
        SettingInfo settings = feederSettings();
        ScannerCapabilities capabilities{};
        ADFStatus status = ADF_STATUS_EMPTY;
        char *reply = nullptr;
        int length = 0;
        bool ok = CHECK_EQ(ruvo_http_ScanStart(&socket, &settings), 4);
        ok = CHECK_EQ(ruvo_http_ScanAbort(&socket), 4) && ok;
        ok = CHECK_EQ(ruvo_http_DeviceProperties(&socket, &capabilities), 4) && ok;
        ok = CHECK_EQ(ruvo_http_adfstatus(&socket, &status), 4) && ok;
        ok = CHECK_EQ(ruvo_send_osl(&socket, &reply, OSL_CMD_SUMMARY, &length), 4) && ok;
        CHECK_EQ(ruvo_init_tcp(address, 80), -1);
        ok = CHECK_EQ(logs.errorLine("scanner address is not dotted IPv4 text"), true) && ok;
        CHECK(logs.errors().find("connect error") == std::string::npos);
        if (!ok)
            std::fprintf(stderr, "    address: \"%s\"\n", address);
    }
    RuvoSocket unterminated;
    std::memset(&unterminated, '1', sizeof(unterminated));
    unterminated.tcpFromScanner = -1;
    ADFStatus status = ADF_STATUS_EMPTY;
    Logs logs;
    CHECK_EQ(ruvo_http_adfstatus(&unterminated, &status), 4);
}

namespace {

bool runIp(std::vector<std::string> args)
{
    args.insert(args.begin(), "ip");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// In a network namespace of its own (so no real interface is seen or touched):
// the answer with only a loopback interface, then with a veth pair carrying a
// documentation address, into a 16-byte and an 8-byte buffer.
std::string hostAddressesInPrivateNetwork(const std::string &logDir)
{
    int channel[2];
    if (pipe(channel) != 0)
        return "pipe";
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string answer;
        if (unshare(CLONE_NEWNET) != 0) {
            answer = "unshare";
        } else {
            RuvoInitDbg(logDir.c_str());
            char empty[16];
            std::memset(empty, 'x', sizeof(empty));
            int bare = GetHostIPAddress(empty, sizeof(empty));
            answer = std::to_string(bare) + "[" + empty + "]";
            if (!runIp({"link", "add", "ruvo0", "type", "veth", "peer", "name", "ruvo1"}) ||
                !runIp({"link", "set", "ruvo0", "up"}) || !runIp({"link", "set", "ruvo1", "up"}) ||
                !runIp({"addr", "add", "198.51.100.7/24", "dev", "ruvo0"})) {
                answer += " ip";
            } else {
                char wide[16] = {};
                char narrow[8] = {};
                // The link reports running only once both ends are up; wait for it.
                int wideResult = 0;
                net_test::waitFor([&] {
                    wideResult = GetHostIPAddress(wide, sizeof(wide));
                    return wide[0] != '\0';
                }, 5.0);
                int narrowResult = GetHostIPAddress(narrow, sizeof(narrow));
                answer += " " + std::to_string(wideResult) + "[" + wide + "] " + std::to_string(narrowResult) + "[" +
                          narrow + "]";
            }
            RuvoCloseDbg();
        }
        ssize_t written = write(channel[1], answer.data(), answer.size());
        (void)written;
        _exit(0);
    }
    close(channel[1]);
    std::string answer;
    char buffer[256];
    ssize_t got;
    while ((got = read(channel[0], buffer, sizeof(buffer))) > 0)
        answer.append(buffer, static_cast<size_t>(got));
    close(channel[0]);
    waitpid(child, nullptr, 0);
    return answer;
}

} // namespace

SCAN_TEST(hostAddressOfThisMachine)
{
    std::string logDir = net_test::makeTempDir("net-host-logs");
    std::string answer = hostAddressesInPrivateNetwork(logDir);
    // Loopback only: no address, result 0. With the veth address: the text
    // fits 16 bytes, and 8 bytes are too few (-1, buffer untouched).
    CHECK_EQ(answer, "0[] 0[198.51.100.7] -1[]");
    CHECK(readFile(logDir + "/ruvo_scan_err.log").find("[RuvoScanSDK] szHostIpAddress size over\n") !=
          std::string::npos);
}
