// Network scans end to end: the scan daemon's network commands against the
// simulated scanner, through the scan client's connection.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "net_daemon_harness.h"
#include "scan_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using net_test::Daemon;
using net_test::Simulator;
using net_test::readFile;

namespace {

const char kScanDir[] = "/opt/ruvo/k40_series_printer/scan";

void prepareScanDir()
{
    mkdir("/opt/ruvo", 0755);
    mkdir("/opt/ruvo/k40_series_printer", 0755);
    mkdir(kScanDir, 0755);
}

RuvoSocket scannerSocket(const char *address)
{
    RuvoSocket socket{};
    socket.tcpFromScanner = -1;
    std::snprintf(socket.szScannerIP, sizeof(socket.szScannerIP), "%s", address);
    return socket;
}

TCPScanStartReq startRequest(const char *address)
{
    TCPScanStartReq request{};
    request.socket = scannerSocket(address);
    request.info = DefaultScanSettings();
    request.info.feederEnabled = true;
    request.info.isClient = 1;
    return request;
}

bool exists(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// True when nothing arrives on the client connection within `ms`.
bool quietFor(int fd, int ms)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, ms) == 0;
}

std::string pageFile(const std::string &base, int page)
{
    return base + "_" + std::to_string(page) + ".tmp";
}

} // namespace

SCAN_TEST(multiPageScanWithTheCommandLineClient)
{
    prepareScanDir();
    Simulator sim("127.0.0.41", {"--pages", "3", "--page-size", "100000", "--block-sizes", "65536,3000",
                                 "--keep-pages"});
    Daemon daemon(7041);
    std::string output = sim.dir() + "/client.out";
    // The client's own output is what a person reads in the demo.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char *argv[] = {const_cast<char *>(NET_SCAN_CLIENT), const_cast<char *>("--port"), const_cast<char *>("7041"),
                    const_cast<char *>("scan"), const_cast<char *>("127.0.0.41"), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, NET_SCAN_CLIENT, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    REQUIRE(spawned == 0);
    int status = -1;
    REQUIRE(net_test::waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60));
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string text = readFile(output);
    CHECK(text.rfind("scan ended with result 5: 3 page(s), 300000 bytes\n", 0) == 0);
    std::vector<std::string> files;
    size_t line = text.find('\n');
    while (line != std::string::npos && line + 1 < text.size()) {
        size_t next = text.find('\n', line + 1);
        files.push_back(text.substr(line + 1, next - line - 1));
        line = next;
    }
    REQUIRE(files.size() == 3u);
    for (int page = 0; page < 3; ++page) {
        CHECK(files[static_cast<size_t>(page)].rfind(std::string(kScanDir) + "/ruvoscandata_", 0) == 0);
        CHECK(readFile(files[static_cast<size_t>(page)]) == sim.file("sent-page-" + std::to_string(page) + ".bin"));
    }
}

SCAN_TEST(recordStreamOfTwoScansOnOneConnection)
{
    prepareScanDir();
    Simulator sim("127.0.0.42", {"--pages", "3", "--page-size", "30000", "--block-sizes", "10000"});
    Daemon daemon(7042);
    ScanClient client;
    REQUIRE(client.connectTo(7042));
    for (int scan = 0; scan < 2; ++scan) {
        TCPScanStartReq request = startRequest("127.0.0.42");
        TCPScanStartRes start{};
        REQUIRE(client.sendCommand(TCP_SCAN_START, &request, sizeof(request)));
        REQUIRE(client.receive(&start, sizeof(start)));
        CHECK_EQ(start.result, 0);
        CHECK(start.socketDataFd >= 0);
        std::string base = FieldText(start.fileName, sizeof(start.fileName));
        CHECK_EQ(base.substr(base.size() - 2), "_" + std::to_string(scan));

        std::vector<TCPRecordRes> records;
        TCPRecordRes record{};
        while (client.receive(&record, sizeof(record))) {
            records.push_back(record);
            if (record.result != 0)
                break;
        }
        REQUIRE(records.size() == 3u * 4u + 1u); // per page: its start and three blocks; then the end
        CHECK_EQ(records.front().st, 9);
        CHECK_EQ(records.front().fileIndex, 0);
        int pagesBegun = 0;
        for (size_t i = 0; i + 1 < records.size(); ++i) {
            const TCPRecordRes &r = records[i];
            CHECK_EQ(r.result, 0);
            if (r.st == SCAN_STATUS_BEGIN_OF_PAGE) {
                CHECK_EQ(r.fileIndex, pagesBegun);
                CHECK_EQ(r.bufferLen, 0);
                ++pagesBegun;
            } else {
                CHECK_EQ(r.st, 0);
                CHECK_EQ(r.bufferLen, 10000);
                CHECK_EQ(r.fileIndex, pagesBegun);
            }
        }
        CHECK_EQ(pagesBegun, 3);
        CHECK_EQ(records.back().result, 5);
        CHECK_EQ(records.back().st, 1);
        for (int page = 0; page < 3; ++page)
            CHECK_EQ(readFile(pageFile(base, page)).size(), size_t(30000));
        CHECK(!exists(pageFile(base, 3)));
    }
}

SCAN_TEST(endMarkerFirstStillOpensPageZero)
{
    prepareScanDir();
    Simulator sim("127.0.0.43", {"--pages", "0"});
    Daemon daemon(7043);
    ScanClient client;
    REQUIRE(client.connectTo(7043));
    TCPScanStartReq request = startRequest("127.0.0.43");
    TCPScanStartRes start{};
    REQUIRE(client.sendCommand(TCP_SCAN_START, &request, sizeof(request)));
    REQUIRE(client.receive(&start, sizeof(start)));
    REQUIRE(start.result == 0);
    TCPRecordRes record{};
    REQUIRE(client.receive(&record, sizeof(record)));
    CHECK_EQ(record.result, 5);
    CHECK_EQ(record.fileIndex, 0);
    CHECK_EQ(record.bufferLen, 0);
    CHECK(exists(pageFile(FieldText(start.fileName, sizeof(start.fileName)), 0)));
    CHECK(quietFor(client.descriptor(), 300));
}

SCAN_TEST(abortDeletesPagesAndNoRecordFollows)
{
    prepareScanDir();
    Simulator sim("127.0.0.44", {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault",
                                 "stall"});
    Daemon daemon(7044);
    ScanClient client;
    REQUIRE(client.connectTo(7044));
    TCPScanStartReq request = startRequest("127.0.0.44");
    TCPScanStartRes start{};
    REQUIRE(client.sendCommand(TCP_SCAN_START, &request, sizeof(request)));
    REQUIRE(client.receive(&start, sizeof(start)));
    REQUIRE(start.result == 0);
    std::string base = FieldText(start.fileName, sizeof(start.fileName));

    // Take every record up to the stall in the second page, so none is in flight.
    REQUIRE(sim.sawEvent("record-stalled"));
    int records = 0;
    TCPRecordRes record{};
    while (!quietFor(client.descriptor(), 500) && client.receive(&record, sizeof(record)))
        ++records;
    CHECK_EQ(records, 1 + 20 + 1 + 10);
    CHECK(exists(pageFile(base, 0)));
    CHECK(exists(pageFile(base, 1)));

    TCPScanAbortReq abort{};
    abort.socket = request.socket;
    abort.socket.tcpFromScanner = start.socketDataFd;
    std::snprintf(abort.fileName, sizeof(abort.fileName), "%s", base.c_str());
    REQUIRE(client.sendCommand(TCP_SCAN_ABORT, &abort, sizeof(abort)));
    int32_t result = -1;
    REQUIRE(client.receive(&result, sizeof(result)));
    CHECK_EQ(result, 0);
    CHECK(quietFor(client.descriptor(), 1000));
    CHECK(!exists(pageFile(base, 0)));
    CHECK(!exists(pageFile(base, 1)));
    CHECK(sim.sawEvent("abort"));
    CHECK(sim.sawEvent("record-closed-by-host"));
    CHECK_EQ(sim.requestBody(2), "SCANTYPE=4");
}

SCAN_TEST(feederCapabilitiesAndXmlCallsThroughTheDaemon)
{
    prepareScanDir();
    Daemon daemon(7045);
    ScanClient client;
    REQUIRE(client.connectTo(7045));
    {
        Simulator sim("127.0.0.45", {"--adf-reply", "ADFSTATUS=3"});
        TCPCommonReq common{scannerSocket("127.0.0.45")};
        TCPADFStatusRes feeder{};
        REQUIRE(client.sendCommand(TCP_SCAN_ADFST, &common, sizeof(common)));
        REQUIRE(client.receive(&feeder, sizeof(feeder)));
        CHECK_EQ(feeder.result, 0);
        CHECK_EQ(feeder.st, ADF_STATUS_PAPER_JAM);

        TCPDevPropertiesRes properties{};
        REQUIRE(client.sendCommand(TCP_SCAN_DEVPROPERTIES, &common, sizeof(common)));
        REQUIRE(client.receive(&properties, sizeof(properties)));
        CHECK_EQ(properties.result, 0);
        CHECK(properties.devPro.color);
        CHECK_EQ(properties.devPro.maxres, 1200u);
        CHECK_EQ(properties.devPro.basicres, 300u);

        TCPOSLReq osl{scannerSocket("127.0.0.45"), OSL_CMD_SUMMARY};
        TCPOSLRes reply{};
        REQUIRE(client.sendCommand(TCP_SEND_OSL, &osl, sizeof(osl)));
        REQUIRE(client.receive(&reply, sizeof(reply)));
        CHECK_EQ(reply.result, 0);
        REQUIRE(reply.bufferLen > 0 && reply.bufferLen <= 8192);
        std::string text(static_cast<size_t>(reply.bufferLen), '\0');
        REQUIRE(client.receive(text.data(), text.size()));
        CHECK_EQ(text, sim.file("xml-reply-3.txt"));
    }
    {
        Simulator sim("127.0.0.46", {"--fault", "xml-zero"});
        TCPOSLReq osl{scannerSocket("127.0.0.46"), OSL_CMD_FAMILYTYPE};
        TCPOSLRes reply{};
        REQUIRE(client.sendCommand(TCP_SEND_OSL, &osl, sizeof(osl)));
        REQUIRE(client.receive(&reply, sizeof(reply)));
        CHECK_EQ(reply.result, 0);
        CHECK_EQ(reply.bufferLen, 0);
    }
    {
        Simulator sim("127.0.0.47", {"--fault", "xml-oversize"});
        TCPOSLReq osl{scannerSocket("127.0.0.47"), OSL_CMD_GETLIST};
        TCPOSLRes reply{};
        REQUIRE(client.sendCommand(TCP_SEND_OSL, &osl, sizeof(osl)));
        REQUIRE(client.receive(&reply, sizeof(reply)));
        CHECK_EQ(reply.result, 9);
        CHECK_EQ(reply.bufferLen, 0);
    }
    // A scanner address that is not dotted IPv4 text is refused without a connection.
    TCPScanStartReq bad = startRequest("scanner.lan");
    TCPScanStartRes start{};
    REQUIRE(client.sendCommand(TCP_SCAN_START, &bad, sizeof(bad)));
    REQUIRE(client.receive(&start, sizeof(start)));
    CHECK_EQ(start.result, 4);
    CHECK(quietFor(client.descriptor(), 300));
}
