// Network scans end to end: the scan daemon's network commands against the
// simulated scanner, through the scan client's connection.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "net_daemon_harness.h"
#include "scan_test_support.h"
#include "scan_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <set>
#include <cstring>
#include <string>
#include <vector>

using net_test::Daemon;
using net_test::Simulator;
using net_test::readFile;
using net_test::waitFor;

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

// ---- clients that are careless or hostile ----

namespace {

int32_t startScan(ScanClient &client, const char *address, TCPScanStartRes &start)
{
    TCPScanStartReq request = startRequest(address);
    if (!client.sendCommand(TCP_SCAN_START, &request, sizeof(request)) || !client.receive(&start, sizeof(start)))
        return INT32_MIN;
    return start.result;
}

std::string errorLog()
{
    return readFile(std::string(kScanDir) + "/ruvo_scan_err.log");
}

size_t count(const std::string &text, const std::string &part)
{
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++found;
    return found;
}

// The descriptor limit under which a process has exactly `free` descriptor
// numbers left (it may hold inherited descriptors far above the rest).
rlim_t limitLeaving(pid_t pid, int free)
{
    std::set<int> open;
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *fds = opendir(folder.c_str())) {
        while (dirent *entry = readdir(fds))
            if (entry->d_name[0] != '.')
                open.insert(std::atoi(entry->d_name));
        closedir(fds);
    }
    int number = 0;
    for (int left = free; left > 0 || open.count(number); ++number)
        if (!open.count(number))
            --left;
    return static_cast<rlim_t>(number);
}

pid_t listenerOf(const Daemon &daemon)
{
    for (pid_t pid : daemon.processes()) {
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        int parent = 0;
        char state = 0;
        if (close != std::string::npos && std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2) {
            std::vector<pid_t> all = daemon.processes();
            if (std::find(all.begin(), all.end(), parent) == all.end())
                return pid;
        }
    }
    return -1;
}

} // namespace

SCAN_TEST(oneRunningScanPerConnection)
{
    prepareScanDir();
    Simulator sim("127.0.0.51", {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault", "stall"});
    Daemon daemon(7051);
    ScanClient client;
    REQUIRE(client.connectTo(7051));
    TCPScanStartRes first{};
    REQUIRE(startScan(client, "127.0.0.51", first) == 0);
    REQUIRE(sim.sawEvent("record-stalled"));
    while (!quietFor(client.descriptor(), 300)) {
        TCPRecordRes record{};
        REQUIRE(client.receive(&record, sizeof(record)));
    }
    // Sixty more starts while the first scan runs: refused with 3, each named.
    std::string base = FieldText(first.fileName, sizeof(first.fileName));
    for (int start = 1; start <= 60; ++start) {
        TCPScanStartRes again{};
        CHECK_EQ(startScan(client, "127.0.0.51", again), 3);
        CHECK_EQ(FieldText(again.fileName, sizeof(again.fileName)),
                 base.substr(0, base.size() - 1) + std::to_string(start));
    }
    // Listener, connection process, one data process.
    CHECK_EQ(daemon.processes().size(), size_t(3));
    CHECK(exists(pageFile(base, 1)));
    // One abort ends the scan; nothing of it is left.
    TCPScanAbortReq abort{};
    abort.socket = scannerSocket("127.0.0.51");
    std::snprintf(abort.fileName, sizeof(abort.fileName), "%s", base.c_str());
    REQUIRE(client.sendCommand(TCP_SCAN_ABORT, &abort, sizeof(abort)));
    int32_t result = -1;
    REQUIRE(client.receive(&result, sizeof(result)));
    CHECK_EQ(result, 0);
    CHECK(waitFor([&] { return daemon.processes().size() == 2; }, 5));
    CHECK(!exists(pageFile(base, 0)));
}

SCAN_TEST(clientLeavingStopsItsScanAtOnce)
{
    prepareScanDir();
    Simulator sim("127.0.0.52", {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault", "stall"});
    Daemon daemon(7052);
    {
        ScanClient client;
        REQUIRE(client.connectTo(7052));
        TCPScanStartRes start{};
        REQUIRE(startScan(client, "127.0.0.52", start) == 0);
        REQUIRE(sim.sawEvent("record-stalled"));
        CHECK_EQ(daemon.processes().size(), size_t(3));
    }
    // The scanner is stalled, so the data process is waiting for it, not for
    // the client: the connection's end must stop it all the same.
    CHECK(waitFor([&] { return daemon.processes().size() == 1; }, 8));
    CHECK(sim.sawEvent("record-closed-by-host", 1));
}

SCAN_TEST(connectionsAreCapped)
{
    prepareScanDir();
    Daemon daemon(7053);
    pid_t listener = listenerOf(daemon);
    REQUIRE(listener > 0);
    std::vector<std::unique_ptr<ScanClient>> clients;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(std::make_unique<ScanClient>());
        REQUIRE(clients.back()->connectTo(7053));
    }
    CHECK(waitFor([&] { return scan_test_support::liveChildren(listener).size() == 32; }, 10));
    // The clients beyond the cap were closed at once.
    auto closedClients = [&] {
        int closed = 0;
        for (auto &client : clients) {
            char byte;
            if (recv(client->descriptor(), &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0)
                ++closed;
        }
        return closed;
    };
    CHECK(waitFor([&] { return closedClients() == 8; }, 5));
    usleep(300 * 1000);
    CHECK_EQ(closedClients(), 8);
    CHECK_EQ(scan_test_support::liveChildren(listener).size(), size_t(32));
    CHECK_EQ(count(errorLog(), "refuse conn: 32 connections open\n"), size_t(8));
    // Once clients leave, others are served again.
    clients.resize(10);
    CHECK(waitFor([&] { return scan_test_support::liveChildren(listener).size() == 10; }, 10));
    ScanClient later;
    REQUIRE(later.connectTo(7053));
    int32_t result = -1;
    CHECK(later.plainCommand(USB_CLOSE_DEV, 77, result));
    CHECK_EQ(result, 4);
}

SCAN_TEST(failingAcceptBacksOff)
{
    prepareScanDir();
    Daemon daemon(7054);
    pid_t listener = listenerOf(daemon);
    REQUIRE(listener > 0);
    // No descriptor left for the next connection (the soft limit only: raising
    // it again needs no privilege).
    rlimit old{};
    REQUIRE(prlimit(listener, RLIMIT_NOFILE, nullptr, &old) == 0);
    rlimit full{limitLeaving(listener, 0), old.rlim_max};
    REQUIRE(prlimit(listener, RLIMIT_NOFILE, &full, nullptr) == 0);
    size_t before = count(errorLog(), "accept err\n");
    ScanClient waiting;
    REQUIRE(waiting.connectTo(7054));
    usleep(2000 * 1000);
    size_t failures = count(errorLog(), "accept err\n") - before;
    std::fprintf(stderr, "  accept failures logged in 2 s: %zu\n", failures);
    CHECK(failures >= 1);
    CHECK(failures <= 20);
    REQUIRE(prlimit(listener, RLIMIT_NOFILE, &old, nullptr) == 0);
    // Served as soon as descriptors are there again.
    int32_t result = -1;
    CHECK(waiting.plainCommand(USB_CLOSE_DEV, 77, result));
    CHECK_EQ(result, 4);
}

SCAN_TEST(pagesBelongToTheClientsUser)
{
    prepareScanDir();
    Simulator sim("127.0.0.55", {"--pages", "1", "--page-size", "5000", "--block-sizes", "1000"});
    Daemon daemon(7055);
    const uid_t user = 4242;
    int report[2];
    REQUIRE(pipe(report) == 0);
    pid_t client = fork();
    if (client == 0) {
        close(report[0]);
        if (setgid(user) != 0 || setuid(user) != 0)
            _exit(2);
        ScanClient connection;
        TCPScanStartRes start{};
        if (!connection.connectTo(7055) || startScan(connection, "127.0.0.55", start) != 0)
            _exit(3);
        TCPRecordRes record{};
        while (connection.receive(&record, sizeof(record)) && record.result == 0) {
        }
        std::string base = FieldText(start.fileName, sizeof(start.fileName));
        // The client's user reads its own page.
        std::string page = readFile(pageFile(base, 0));
        std::string line = base + "\n" + std::to_string(page.size()) + "\n";
        _exit(write(report[1], line.data(), line.size()) == ssize_t(line.size()) && record.result == 5 ? 0 : 4);
    }
    close(report[1]);
    int status = -1;
    waitpid(client, &status, 0);
    char text[512] = {};
    ssize_t got = read(report[0], text, sizeof(text) - 1);
    close(report[0]);
    REQUIRE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && got > 0);
    std::string reply(text);
    std::string base = reply.substr(0, reply.find('\n'));
    CHECK_EQ(reply.substr(reply.find('\n') + 1), std::string("5000\n"));
    struct stat info;
    REQUIRE(stat(pageFile(base, 0).c_str(), &info) == 0);
    CHECK_EQ(info.st_uid, user);
    CHECK_EQ(info.st_mode & 07777, mode_t(0600));
}

SCAN_TEST(aStartWhoseDataProcessCannotBeginStopsTheScanner)
{
    prepareScanDir();
    Simulator sim("127.0.0.56", {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault", "stall"});
    Daemon daemon(7056);
    pid_t listener = listenerOf(daemon);
    // Descriptors for the scanner's two connections, none left for the data
    // process. A runtime (a sanitizer's) may hold a descriptor or two of its
    // own for a moment, so the room grows until the start gets that far; a
    // start with too little room fails before the scanner sees anything.
    int32_t result = -1;
    for (int room = 2; room <= 6 && result != 10; ++room) {
        ScanClient client;
        REQUIRE(client.connectTo(7056));
        std::vector<pid_t> connections;
        REQUIRE(waitFor([&] { return (connections = scan_test_support::liveChildren(listener)).size() == 1; }, 5));
        rlimit old{};
        REQUIRE(prlimit(connections[0], RLIMIT_NOFILE, nullptr, &old) == 0);
        rlimit tight{limitLeaving(connections[0], room), old.rlim_max};
        REQUIRE(prlimit(connections[0], RLIMIT_NOFILE, &tight, nullptr) == 0);
        TCPScanStartRes start{};
        result = startScan(client, "127.0.0.56", start);
        REQUIRE(result == 9 || result == 10);
        client.disconnect();
        waitFor([&] { return scan_test_support::liveChildren(listener).empty(); }, 5);
    }
    CHECK_EQ(result, 10);
    CHECK(sim.sawEvent("abort", 5));
    CHECK(sim.sawEvent("record-closed-by-host", 5));
    CHECK(errorLog().find("create data proc err\n") != std::string::npos);
}

SCAN_TEST(aScanStopsBeforeTheDiskIsFull)
{
    prepareScanDir();
    // The scan directory on a small file system of its own (private to this test).
    REQUIRE(mount("none", kScanDir, "tmpfs", 0, "size=8m") == 0);
    {
        Simulator sim("127.0.0.57", {"--pages", "3", "--page-size", "10000000", "--block-sizes", "65536"});
        Daemon daemon(7057);
        ScanClient client;
        REQUIRE(client.connectTo(7057));
        TCPScanStartRes start{};
        REQUIRE(startScan(client, "127.0.0.57", start) == 0);
        TCPRecordRes record{};
        while (client.receive(&record, sizeof(record)) && record.result == 0) {
        }
        CHECK_EQ(record.result, 10);
        struct statvfs space;
        REQUIRE(statvfs(kScanDir, &space) == 0);
        uint64_t total = static_cast<uint64_t>(space.f_blocks) * space.f_frsize;
        uint64_t available = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
        std::fprintf(stderr, "  scan directory: %llu of %llu bytes free after the scan\n",
                     static_cast<unsigned long long>(available), static_cast<unsigned long long>(total));
        CHECK(available >= total / 20);
        // The daemon still logs.
        CHECK(errorLog().find("scan directory nearly full, scan ended\n") != std::string::npos);
    }
    umount2(kScanDir, MNT_DETACH);
}

namespace {

size_t descriptorsOf(pid_t pid)
{
    size_t count = 0;
    if (DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent *entry = readdir(fds))
            count += entry->d_name[0] != '.';
        closedir(fds);
    }
    return count;
}

// Takes records until a non-zero result; that result, or -1 when the
// connection ended without one.
int32_t scanResult(ScanClient &client, std::vector<TCPRecordRes> &records)
{
    TCPRecordRes record{};
    while (client.receive(&record, sizeof(record), 120000)) {
        records.push_back(record);
        if (record.result != 0)
            return record.result;
    }
    return -1;
}

} // namespace

// A network scanner switched off halfway through its second page, its
// connections reset or silent: the scan ends with an I/O failure, the pages
// written keep their names, the daemon is back to its own processes and
// descriptors, and once the scanner is on again the next scan works.
SCAN_TEST(aScannerSwitchedOffMidPageEndsTheScanAndWorksOnceBackOn)
{
    struct Case {
        const char *address;
        int port;
        const char *fault;
        double limitSeconds;  // reset: at once; silent: the record channel's stall limit, 4 waits of 5 s
        bool stillOffAtTheEnd; // the scanner is still off when the scan has ended
    };
    for (const Case &off : {Case{"127.0.0.61", 7061, "switch-off-mid-page", 5.0, true},
                            Case{"127.0.0.62", 7062, "switch-off-silent", 25.0, false}}) {
        std::printf("case: %s\n", off.fault);
        prepareScanDir();
        Simulator sim(off.address, {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault",
                                    off.fault, "--off-for-ms", "3000"});
        Daemon daemon(off.port);
        ScanClient client;
        REQUIRE(client.connectTo(off.port));
        int32_t count = 0;
        std::vector<USBFindDevRes> none;
        REQUIRE(client.findDevices(0x7a3e, 0x0405, true, count, none)); // the connection process is up
        REQUIRE(waitFor([&] { return daemon.processes().size() == 2; }, 5));
        pid_t listener = listenerOf(daemon);
        pid_t connection = -1;
        for (pid_t pid : daemon.processes())
            if (pid != listener)
                connection = pid;
        size_t listenerDescriptors = descriptorsOf(listener);
        size_t connectionDescriptors = descriptorsOf(connection);

        TCPScanStartReq request = startRequest(off.address);
        TCPScanStartRes start{};
        REQUIRE(client.sendCommand(TCP_SCAN_START, &request, sizeof(request)));
        REQUIRE(client.receive(&start, sizeof(start)));
        REQUIRE(start.result == 0);
        REQUIRE(sim.sawEvent("record-switched-off"));
        timespec offAt{};
        clock_gettime(CLOCK_MONOTONIC, &offAt);
        std::vector<TCPRecordRes> records;
        CHECK_EQ(scanResult(client, records), 9);
        timespec endAt{};
        clock_gettime(CLOCK_MONOTONIC, &endAt);
        double seconds = static_cast<double>(endAt.tv_sec - offAt.tv_sec) +
                         static_cast<double>(endAt.tv_nsec - offAt.tv_nsec) / 1e9;
        std::printf("switched off to the failure record: %.2f s\n", seconds);
        CHECK(seconds < off.limitSeconds);
        std::string base = FieldText(start.fileName, sizeof(start.fileName));
        CHECK(exists(pageFile(base, 0)));
        // A reset drops what the daemon had not read yet; a silent scanner loses nothing sent.
        if (!off.stillOffAtTheEnd) {
            CHECK_EQ(readFile(pageFile(base, 0)).size(), size_t(20000));
            CHECK(exists(pageFile(base, 1)));
        }

        CHECK(waitFor([&] { return daemon.processes().size() == 2; }, 5));
        CHECK_EQ(descriptorsOf(listener), listenerDescriptors);
        CHECK(waitFor([&] { return descriptorsOf(connection) == connectionDescriptors; }, 5));
        std::printf("processes %zu; listener descriptors %zu before, %zu after; connection %zu before, %zu after\n",
                    daemon.processes().size(), listenerDescriptors, descriptorsOf(listener),
                    connectionDescriptors, descriptorsOf(connection));

        // While it is off a start fails; once it is back on, the next scan on
        // the same connection goes through.
        TCPScanStartRes again{};
        int refusedStarts = 0;
        REQUIRE(waitFor([&] {
            if (!client.sendCommand(TCP_SCAN_START, &request, sizeof(request)) ||
                !client.receive(&again, sizeof(again)))
                return false;
            refusedStarts += again.result != 0;
            return again.result == 0;
        }, 30));
        CHECK(!off.stillOffAtTheEnd || refusedStarts >= 1);
        std::vector<TCPRecordRes> second;
        CHECK_EQ(scanResult(client, second), 5);
        std::string secondBase = FieldText(again.fileName, sizeof(again.fileName));
        CHECK_EQ(readFile(pageFile(secondBase, 1)).size(), size_t(20000));
        CHECK(waitFor([&] { return daemon.processes().size() == 2; }, 5));
        CHECK(waitFor([&] { return descriptorsOf(connection) == connectionDescriptors; }, 5));
    }
}
