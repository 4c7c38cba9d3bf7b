// The daemon, the emulated USB scanner and the client together: every exchange
// goes through the daemon's port, its processes and the usbfs ioctls.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "product_paths.h"
#include "scan_client.h"
#include "scan_test_support.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const std::string kScanDir = ruvo_paths::kScanDir;

// The daemon writes into the fixed product directory: run only inside the
// private /opt and /tmp that CTest's isolated run gives each test.
const bool kIsolated = [] {
    const char *isolated = std::getenv("RUVO_ISOLATED");
    if (!isolated || std::string(isolated) != "1") {
        std::printf("needs the isolated run (scripts/isolated-run); skipped\n");
        std::exit(77);
    }
    return true;
}();
const uint16_t kVendor = 0x1a2b;
const uint16_t kProduct = 0x0c01;

using scan_test_support::exists;
using scan_test_support::liveChildren;
using scan_test_support::readFile;

// Polls `condition` every 20 ms for up to `limitMs`.
template <typename Condition>
bool eventually(Condition condition, int limitMs = 20000)
{
    for (int waited = 0; waited < limitMs; waited += 20) {
        if (condition())
            return true;
        usleep(20 * 1000);
    }
    return condition();
}

struct ProcessInfo {
    pid_t pid;
    pid_t parent;
    char state;
    std::string name;
};

std::vector<ProcessInfo> processes()
{
    std::vector<ProcessInfo> all;
    DIR *proc = opendir("/proc");
    if (!proc)
        return all;
    while (dirent *entry = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0)
            continue;
        std::string line = readFile("/proc/" + std::to_string(pid) + "/stat");
        size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        ProcessInfo info{pid, -1, '?', line.substr(open + 1, close - open - 1)};
        int parent = -1;
        std::sscanf(line.c_str() + close + 1, " %c %d", &info.state, &parent);
        info.parent = parent;
        all.push_back(info);
    }
    closedir(proc);
    return all;
}

bool gone(pid_t pid)
{
    std::string line = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = line.rfind(')');
    return line.empty() || close == std::string::npos || line[close + 2] == 'Z';
}

// The data process of the only connection, once it is blocked sending a
// record (in sendto: not inside a device request, which the emulation could
// not share with the connection process).
pid_t blockedDataProcess(pid_t daemon)
{
    pid_t found = -1;
    eventually([&] {
        for (pid_t connection : liveChildren(daemon))
            for (pid_t child : liveChildren(connection)) {
                std::string path = "/proc/" + std::to_string(child) + "/syscall";
                std::string first = readFile(path);
                if (first.rfind("44 ", 0) != 0)
                    continue;
                usleep(100 * 1000);
                if (readFile(path) == first) {
                    found = child;
                    return true;
                }
            }
        return false;
    }, 60000);
    return found;
}

// The emulator with the daemon inside it; everything ends with this object.
class Rig {
public:
    explicit Rig(std::vector<std::string> knobs)
    {
        static int rigNumber = 0;
        m_recordDir = "/tmp/emulator-record-" + std::to_string(++rigNumber);
        mkdir(m_recordDir.c_str(), 0755);
        m_port = 17000 + static_cast<int>(getpid() % 2000);

        std::vector<std::string> arguments = {RUVO_USB_SCANNER_EMULATOR, "--record-dir", m_recordDir};
        arguments.insert(arguments.end(), knobs.begin(), knobs.end());
        arguments.push_back("--");
        arguments.push_back(RUVO_SCAN_DAEMON);
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);

        std::vector<std::string> environment;
        for (char **variable = environ; *variable; ++variable)
            environment.push_back(*variable);
        environment.push_back("RUVO_SCAN_DAEMON_PORT=" + std::to_string(m_port));
        std::vector<char *> envp;
        for (std::string &entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);

        int output[2];
        if (pipe2(output, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        if (posix_spawn(&m_emulator, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            m_emulator = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(output[1]);
        m_output = output[0];
        if (m_emulator <= 0)
            return;
        // Ready when the daemon accepts connections and has detached.
        m_ready = eventually([&] {
            ScanClient probe;
            return probe.connectTo(m_port) && daemonPid() > 0;
        });
    }

    ~Rig() { stop(); }

    bool ready() const { return m_ready; }
    int port() const { return m_port; }
    const std::string &recordDir() const { return m_recordDir; }

    // The detached daemon: adopted by the emulator, named like its program.
    pid_t daemonPid() const
    {
        for (const ProcessInfo &info : processes())
            if (info.parent == m_emulator && info.state != 'Z' && info.name == "RuvoScanDaemon")
                return info.pid;
        return -1;
    }

    // Waits for the emulator's report that `pid` ended; its exit status or -1.
    int reapedStatus(pid_t pid)
    {
        std::string wanted = "reaped " + std::to_string(pid) + " ";
        for (int rounds = 0; rounds < 1000; ++rounds) {
            size_t at = m_outputText.find(wanted);
            if (at != std::string::npos) {
                size_t end = m_outputText.find('\n', at);
                if (end != std::string::npos)
                    return std::atoi(m_outputText.c_str() + at + wanted.size());
            }
            pollfd waiting{m_output, POLLIN, 0};
            if (poll(&waiting, 1, 20000) <= 0)
                return -1;
            char buffer[512];
            ssize_t got = read(m_output, buffer, sizeof(buffer));
            if (got <= 0)
                return -1;
            m_outputText.append(buffer, static_cast<size_t>(got));
        }
        return -1;
    }

    // Waits for the emulator to report `line` ("unplugged /dev/bus/usb/001/002").
    bool reported(const std::string &line)
    {
        for (int rounds = 0; rounds < 1000; ++rounds) {
            if (m_outputText.find(line + "\n") != std::string::npos)
                return true;
            pollfd waiting{m_output, POLLIN, 0};
            if (poll(&waiting, 1, 20000) <= 0)
                return false;
            char buffer[512];
            ssize_t got = read(m_output, buffer, sizeof(buffer));
            if (got <= 0)
                return false;
            m_outputText.append(buffer, static_cast<size_t>(got));
        }
        return false;
    }

    void stop()
    {
        if (m_emulator > 0) {
            kill(m_emulator, SIGTERM);
            int status = 0;
            bool ended = eventually([&] { return waitpid(m_emulator, &status, WNOHANG) == m_emulator; });
            if (!ended) {
                kill(m_emulator, SIGKILL);
                waitpid(m_emulator, &status, 0);
            }
            m_emulator = -1;
        }
        if (m_output >= 0) {
            close(m_output);
            m_output = -1;
        }
    }

private:
    pid_t m_emulator = -1;
    int m_output = -1;
    int m_port = 0;
    bool m_ready = false;
    std::string m_recordDir;
    std::string m_outputText;
};

struct OpenScanner {
    int32_t devfd = -1;
    USBFindDevRes description{};
};

// Finds the first scanner of the product and opens it.
OpenScanner openScanner(ScanClient &client)
{
    OpenScanner scanner;
    int32_t count = 0;
    std::vector<USBFindDevRes> devices;
    if (!client.findDevices(kVendor, kProduct, true, count, devices) || devices.empty())
        return scanner;
    scanner.description = devices.front();
    int32_t result = -1;
    if (client.plainCommand(USB_OPEN_DEV, devices.front().fd, result) && result == 0)
        scanner.devfd = devices.front().fd;
    return scanner;
}

// Locks the scanner and starts a scan; false unless both answered 0.
bool startLockedScan(ScanClient &client, int32_t devfd, USBScanStartRes &start)
{
    int32_t result = -1;
    return client.lock(devfd, DefaultScanSettings(), result) && result == 0 && client.scanStart(devfd, start) &&
           start.result == 0;
}

// Connects `client` to the rig's daemon (with that receive buffer when above
// 0) and opens the scanner; false when any step failed.
bool openSession(const Rig &rig, ScanClient &client, OpenScanner &scanner, int receiveBuffer = 0)
{
    if (!rig.ready() || !client.connectTo(rig.port(), receiveBuffer))
        return false;
    scanner = openScanner(client);
    return scanner.devfd > 0;
}

struct ScanOutcome {
    USBScanStartRes start{};
    std::vector<USBScanRecordRes> records;
};

ScanOutcome scanToEnd(ScanClient &client, int32_t devfd)
{
    ScanOutcome outcome;
    int32_t result = -1;
    CHECK(client.lock(devfd, DefaultScanSettings(), result));
    CHECK_EQ(result, 0);
    CHECK(client.scanStart(devfd, outcome.start));
    if (outcome.start.result != 0)
        return outcome;
    USBScanRecordRes record{};
    while (client.nextRecord(record)) {
        outcome.records.push_back(record);
        if (record.result != 0)
            break;
    }
    return outcome;
}

std::vector<std::string> filesStartingWith(const std::string &prefix)
{
    std::vector<std::string> found;
    DIR *directory = opendir(kScanDir.c_str());
    if (!directory)
        return found;
    while (dirent *entry = readdir(directory)) {
        std::string path = kScanDir + "/" + entry->d_name;
        if (path.rfind(prefix, 0) == 0)
            found.push_back(path);
    }
    closedir(directory);
    return found;
}

} // namespace

SCAN_TEST(multiPageScanLandsInPageFiles)
{
    Rig rig({"--pages", "3", "--page-bytes", "2500", "--chunk-bytes", "700"});
    ScanClient client;
    OpenScanner scanner;
    REQUIRE(openSession(rig, client, scanner));
    CHECK_EQ(FieldText(scanner.description.Manufacturer, 1024), std::string("Ruvo"));
    CHECK_EQ(FieldText(scanner.description.Product, 1024), std::string("Ruvo K40 MFP Scanner"));
    CHECK_EQ(FieldText(scanner.description.SerialNumber, 1024), std::string("RS000001"));
    CHECK_EQ(scanner.description.vid, 0x1a2b);
    CHECK_EQ(scanner.description.pid, 0x0c01);

    int32_t result = -1;
    CHECK(client.plainCommand(USB_SCAN_POWERON, scanner.devfd, result));
    CHECK_EQ(result, 0);
    CHECK(client.plainCommand(USB_SCAN_GETSIZES, scanner.devfd, result));
    CHECK_EQ(result, 0);
    USBScanAdfStatusRes feeder{};
    CHECK(client.adfStatus(scanner.devfd, feeder));
    CHECK_EQ(feeder.result, 0);
    CHECK_EQ(feeder.st, int32_t(ADF_STATUS_LOADED));
    USBScanDevicePropertiesRes properties{};
    CHECK(client.properties(scanner.devfd, properties));
    CHECK_EQ(properties.result, 0);
    CHECK_EQ(properties.st.majorVersion, 1);
    CHECK_EQ(properties.st.minorVersion, 2);
    CHECK_EQ(properties.st.deviceCaps, 0x1234);
    CHECK_EQ(properties.st.sources, 5);

    ScanOutcome scan = scanToEnd(client, scanner.devfd);
    REQUIRE(scan.start.result == 0);
    std::string baseName = FieldText(scan.start.fileName, sizeof(scan.start.fileName));
    REQUIRE(baseName.rfind(kScanDir + "/ruvoscandata_", 0) == 0);
    CHECK(baseName.size() > 2 && baseName.substr(baseName.size() - 2) == "_0");
    REQUIRE(!scan.records.empty());
    CHECK_EQ(scan.records.back().result, 5);
    CHECK_EQ(scan.records.back().st, int32_t(SCAN_STATUS_END_OF_DATA));

    // Begin-of-page records name the file just created; data records the
    // number of files so far.
    std::vector<long> bytesPerPage(3, 0);
    int pagesBegun = 0;
    for (const USBScanRecordRes &record : scan.records) {
        if (record.st == SCAN_STATUS_BEGIN_OF_PAGE) {
            CHECK_EQ(record.fileIndex, pagesBegun);
            ++pagesBegun;
        } else if (record.st == SCAN_STATUS_OPERATION_CONTINUOUS) {
            CHECK_EQ(record.fileIndex, pagesBegun);
            if (pagesBegun >= 1 && pagesBegun <= 3)
                bytesPerPage[static_cast<size_t>(pagesBegun - 1)] += record.dataSize;
        } else {
            CHECK_EQ(record.dataSize, 0);
        }
    }
    CHECK_EQ(pagesBegun, 3);
    for (int page = 0; page < 3; ++page) {
        CHECK_EQ(bytesPerPage[static_cast<size_t>(page)], 2500L);
        std::string sent = readFile(rig.recordDir() + "/RS000001_page_" + std::to_string(page) + ".bin");
        std::string written = readFile(baseName + "_" + std::to_string(page) + ".tmp");
        CHECK_EQ(sent.size(), size_t(2500));
        CHECK(sent == written);
    }
    CHECK(!exists(baseName + "_3.tmp"));
    CHECK(client.plainCommand(USB_SCAN_UNLOCK, scanner.devfd, result));
    CHECK_EQ(result, 0);

    // The client removes a page it has read.
    CHECK(client.deleteFile(baseName + "_0.tmp"));
    CHECK(client.plainCommand(USB_CLOSE_DEV, 999, result));
    CHECK(!exists(baseName + "_0.tmp"));
    CHECK(exists(baseName + "_1.tmp"));

    // A second scan on the same connection is numbered 1.
    ScanOutcome second = scanToEnd(client, scanner.devfd);
    std::string secondName = FieldText(second.start.fileName, sizeof(second.start.fileName));
    CHECK_EQ(secondName, baseName.substr(0, baseName.size() - 1) + "1");
    CHECK(!second.records.empty() && second.records.back().result == 5);
    CHECK(exists(secondName + "_2.tmp"));
    CHECK(client.plainCommand(USB_SCAN_UNLOCK, scanner.devfd, result));
    CHECK(client.plainCommand(USB_CLOSE_DEV, scanner.devfd, result));
    CHECK_EQ(result, 0);
    // Closed handles are forgotten.
    CHECK(client.plainCommand(USB_OPEN_DEV, scanner.devfd, result));
    CHECK_EQ(result, 4);

    // Another connection numbers from 0 again, under another process id.
    ScanClient other;
    REQUIRE(other.connectTo(rig.port()));
    OpenScanner again = openScanner(other);
    REQUIRE(again.devfd > 0);
    ScanOutcome third = scanToEnd(other, again.devfd);
    std::string thirdName = FieldText(third.start.fileName, sizeof(third.start.fileName));
    CHECK(thirdName != baseName);
    CHECK(thirdName.size() > 2 && thirdName.substr(thirdName.size() - 2) == "_0");
    other.plainCommand(USB_SCAN_UNLOCK, again.devfd, result);
}

SCAN_TEST(abortDeletesThePagesAndNoRecordFollows)
{
    Rig rig({"--endless"});
    // A reader that does not keep up: the data process ends up waiting in send().
    ScanClient client;
    OpenScanner scanner;
    REQUIRE(openSession(rig, client, scanner, 4096));
    int32_t result = -1;
    CHECK(client.lock(scanner.devfd, DefaultScanSettings(), result));
    USBScanStartRes start{};
    REQUIRE(client.scanStart(scanner.devfd, start));
    REQUIRE(start.result == 0);
    std::string baseName = FieldText(start.fileName, sizeof(start.fileName));

    // The data process (the connection process's child) blocked in sendto:
    // stopped there, it holds no device request while the abort goes out.
    pid_t daemon = rig.daemonPid();
    pid_t dataProcess = blockedDataProcess(daemon);
    REQUIRE(dataProcess > 0);
    kill(dataProcess, SIGSTOP);
    CHECK(exists(baseName + "_0.tmp"));

    USBScanAbortReq abort{};
    abort.devfd = scanner.devfd;
    std::strncpy(abort.fileName, baseName.c_str(), sizeof(abort.fileName) - 1);
    REQUIRE(client.sendCommand(USB_SCAN_ABORT, &abort, sizeof(abort)));
    USBCommonReq feederRequest{scanner.devfd};
    REQUIRE(client.sendCommand(USB_SCAN_ADFSTATUS, &feederRequest, sizeof(feederRequest)));

    // Whole records, then the abort result (0), then the feeder answer {2, 0}.
    std::vector<uint8_t> stream;
    auto tailMatches = [&] {
        if (stream.size() < 12 || (stream.size() - 12) % sizeof(USBScanRecordRes) != 0)
            return false;
        int32_t tail[3];
        std::memcpy(tail, stream.data() + stream.size() - 12, 12);
        return tail[0] == 0 && tail[1] == ADF_STATUS_LOADED && tail[2] == 0;
    };
    while (!tailMatches()) {
        uint8_t chunk[4];
        if (!client.receive(chunk, sizeof(chunk), 20000))
            break;
        stream.insert(stream.end(), chunk, chunk + 4);
    }
    CHECK(tailMatches());
    CHECK(eventually([&] { return gone(dataProcess); }));
    CHECK(filesStartingWith(baseName).empty());
    CHECK(readFile(kScanDir + "/ruvo_scan_info.log").find("[RuvoScanSDK] delete file:" + baseName + "_0.tmp\n") !=
          std::string::npos);
}

SCAN_TEST(clientLeavingMidScanEndsItsProcesses)
{
    Rig rig({"--endless"});
    REQUIRE(rig.ready());
    auto client = std::make_unique<ScanClient>();
    REQUIRE(client->connectTo(rig.port()));
    OpenScanner scanner = openScanner(*client);
    REQUIRE(scanner.devfd > 0);
    int32_t result = -1;
    CHECK(client->lock(scanner.devfd, DefaultScanSettings(), result));
    USBScanStartRes start{};
    REQUIRE(client->scanStart(scanner.devfd, start));
    REQUIRE(start.result == 0);
    USBScanRecordRes record{};
    for (int i = 0; i < 5; ++i)
        CHECK(client->nextRecord(record));
    pid_t daemon = rig.daemonPid();
    std::vector<pid_t> involved;
    for (pid_t connection : liveChildren(daemon)) {
        involved.push_back(connection);
        for (pid_t child : liveChildren(connection))
            involved.push_back(child);
    }
    CHECK_EQ(involved.size(), size_t(2));
    client.reset();
    for (pid_t pid : involved)
        CHECK(eventually([&] { return gone(pid); }));
    CHECK(readFile(kScanDir + "/ruvo_scan_err.log").find("[RuvoScanSDK] usb send scan data len err\n") !=
          std::string::npos);
    CHECK(readFile(kScanDir + "/ruvo_scan_info.log").find("DISCONNECT FROM SERVER") != std::string::npos);
    // The daemon itself serves on.
    ScanClient next;
    CHECK(next.connectTo(rig.port()));
    CHECK(openScanner(next).devfd > 0);
}

SCAN_TEST(reopenFindsTheScannerBySerialNumber)
{
    Rig rig({"--device", "1a2b:0c01:AAA1", "--device", "1a2b:0c01:BBB2"});
    REQUIRE(rig.ready());
    ScanClient client;
    REQUIRE(client.connectTo(rig.port()));
    int32_t count = 0;
    std::vector<USBFindDevRes> devices;
    REQUIRE(client.findDevices(kVendor, kProduct, true, count, devices));
    REQUIRE(count == 2);
    int32_t old = devices[0].fd;

    USBReopenDevRes missing{};
    REQUIRE(client.reopen(old, kVendor, kProduct, "NOPE", missing));
    CHECK_EQ(missing.ret, 9);
    USBScanAdfStatusRes feeder{};
    CHECK(client.adfStatus(old, feeder));
    CHECK_EQ(feeder.result, 0); // the old handle stays usable

    USBReopenDevRes reopened{};
    REQUIRE(client.reopen(old, kVendor, kProduct, "BBB2", reopened));
    CHECK_EQ(reopened.ret, 0);
    CHECK(reopened.fd > 0);
    CHECK(reopened.fd != devices[0].fd && reopened.fd != devices[1].fd);
    CHECK(client.adfStatus(reopened.fd, feeder));
    CHECK_EQ(feeder.result, 0);
    int32_t result = -1;
    CHECK(client.plainCommand(USB_OPEN_DEV, old, result));
    CHECK_EQ(result, 4); // replaced and closed
}

SCAN_TEST(findListsTheVendorsScannersWithOtherProducts)
{
    Rig rig({"--device", "1a2b:0c01:FIRST", "--device", "1a2b:0c02:SECOND"});
    REQUIRE(rig.ready());
    ScanClient client;
    REQUIRE(client.connectTo(rig.port()));
    int32_t count = 0;
    std::vector<USBFindDevRes> devices;
    REQUIRE(client.findDevices(kVendor, 0, false, count, devices));
    CHECK_EQ(count, 2);
    REQUIRE(client.findDevices(kVendor, 0x0c02, true, count, devices));
    REQUIRE(count == 1);
    CHECK_EQ(FieldText(devices[0].SerialNumber, 1024), std::string("SECOND"));
    REQUIRE(client.findDevices(kVendor, 0x0c09, true, count, devices));
    CHECK_EQ(count, 0);
    // Nothing but the count came: the next answer is read in step.
    int32_t result = -1;
    CHECK(client.plainCommand(USB_CLOSE_DEV, 12345, result));
    CHECK_EQ(result, 4);
}

SCAN_TEST(deviceFaultsBecomeResultCodes)
{
    int32_t result = -1;
    {
        Rig rig({"--lock-busy"});
        ScanClient client;
        OpenScanner scanner;
        REQUIRE(openSession(rig, client, scanner));
        CHECK(client.lock(scanner.devfd, DefaultScanSettings(), result));
        CHECK_EQ(result, 3);
        // Without the lock the device refuses the start (0x83): the answer still
        // names the scan, the numbering still advances, and no record follows.
        for (const char *suffix : {"_0", "_1"}) {
            USBScanStartRes start{};
            CHECK(client.scanStart(scanner.devfd, start));
            CHECK_EQ(start.result, 9);
            std::string name = FieldText(start.fileName, sizeof(start.fileName));
            CHECK(name.size() > 2 && name.substr(name.size() - 2) == suffix);
        }
        // An abort naming no scan still aborts and answers; nothing is deleted.
        CHECK(client.abort(scanner.devfd, "", result));
        CHECK_EQ(result, 0);
        CHECK(readFile(kScanDir + "/ruvo_scan_info.log").find("[RuvoScanSDK] subStr isEmpty\n") != std::string::npos);
        CHECK(client.plainCommand(USB_CLOSE_DEV, scanner.devfd, result));
        CHECK_EQ(result, 0);
    }
    {
        Rig rig({"--unknown-flag", "--oversize-response", "--stray-record"});
        ScanClient client;
        OpenScanner scanner;
        REQUIRE(openSession(rig, client, scanner));
        // A leftover scan record and an abort frame before the lock answer are skipped.
        CHECK(client.lock(scanner.devfd, DefaultScanSettings(), result));
        CHECK_EQ(result, 0);
        USBScanDevicePropertiesRes properties{};
        CHECK(client.properties(scanner.devfd, properties));
        CHECK_EQ(properties.result, 10);
        CHECK(client.plainCommand(USB_SCAN_UNLOCK, scanner.devfd, result));
        CHECK_EQ(result, 0);
        CHECK(readFile(kScanDir + "/ruvo_scan_err.log").find("Response flag is unknown [0x87]") != std::string::npos);
        std::string infos = readFile(kScanDir + "/ruvo_scan_info.log");
        CHECK(infos.find("[RuvoScanSDK] ScanRecord Response recieve. Retry read.\n") != std::string::npos);
        CHECK(infos.find("[RuvoScanSDK] ScanAbort Response recieve. Retry read.\n") != std::string::npos);
        CHECK(readFile(kScanDir + "/ruvo_scan_err.log").find("m_ResComBuf is too small. needed = 201") !=
              std::string::npos);
    }
    {
        Rig rig({"--abort-during-scan", "--pages", "3"});
        ScanClient client;
        OpenScanner scanner;
        REQUIRE(openSession(rig, client, scanner));
        ScanOutcome scan = scanToEnd(client, scanner.devfd);
        REQUIRE(!scan.records.empty());
        CHECK_EQ(scan.records.back().result, 2);
        std::string baseName = FieldText(scan.start.fileName, sizeof(scan.start.fileName));
        CHECK(exists(baseName + "_0.tmp"));
        CHECK(!exists(baseName + "_1.tmp"));
    }
    {
        Rig rig({"--stall-after-pages", "1", "--pages", "3"});
        ScanClient client;
        OpenScanner scanner;
        REQUIRE(openSession(rig, client, scanner));
        ScanOutcome scan = scanToEnd(client, scanner.devfd);
        REQUIRE(!scan.records.empty());
        // A device that stops answering ends the scan instead of stalling it.
        CHECK_EQ(scan.records.back().result, 9);
    }
}

SCAN_TEST(quitSignalEndsTheDaemonWithStatusZero)
{
    Rig rig({});
    REQUIRE(rig.ready());
    pid_t daemon = rig.daemonPid();
    REQUIRE(daemon > 0);
    // Waiting for a client (in accept4, system call 288, or in ppoll, 271), where
    // the signal must end the wait.
    CHECK(eventually([&] {
        std::string call = readFile("/proc/" + std::to_string(daemon) + "/syscall");
        return call.rfind("288 ", 0) == 0 || call.rfind("271 ", 0) == 0;
    }));
    kill(daemon, SIGQUIT);
    CHECK_EQ(rig.reapedStatus(daemon), 0);
    std::string infos = readFile(kScanDir + "/ruvo_scan_info.log");
    CHECK(infos.find("[RuvoScanSDK] I got a signal 3\nI'm quitting.\n") != std::string::npos);
    CHECK(infos.find("[RuvoScanSDK] parent pro exit\n") != std::string::npos);
    CHECK(readFile(kScanDir + "/ruvo_scan_err.log").find("[RuvoScanSDK] accept err\n") != std::string::npos);
}

// ---- careless and hostile clients ----

namespace {

size_t openDescriptors(pid_t pid)
{
    size_t count = 0;
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *fds = opendir(folder.c_str())) {
        while (dirent *entry = readdir(fds))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(fds);
    }
    return count;
}

} // namespace

SCAN_TEST(repeatedSearchesReuseTheirHandles)
{
    Rig rig({"--pages", "1", "--page-bytes", "2000", "--chunk-bytes", "500"});
    REQUIRE(rig.ready());
    ScanClient client;
    REQUIRE(client.connectTo(rig.port()));
    int32_t count = 0;
    std::vector<USBFindDevRes> devices;
    REQUIRE(client.findDevices(kVendor, kProduct, true, count, devices) && count == 1);
    int32_t handle = devices[0].fd;
    // The readiness probe's connection may still be ending.
    std::vector<pid_t> connections;
    REQUIRE(eventually([&] { return (connections = liveChildren(rig.daemonPid())).size() == 1; }));
    size_t before = openDescriptors(connections[0]);
    for (int search = 0; search < 50; ++search) {
        REQUIRE(client.findDevices(kVendor, kProduct, true, count, devices) && count == 1);
        CHECK_EQ(devices[0].fd, handle);
        CHECK_EQ(FieldText(devices[0].SerialNumber, 1024), std::string("RS000001"));
    }
    CHECK_EQ(openDescriptors(connections[0]), before);
    // The handle still scans.
    int32_t result = -1;
    CHECK(client.plainCommand(USB_OPEN_DEV, handle, result));
    CHECK_EQ(result, 0);
    ScanOutcome scan = scanToEnd(client, handle);
    CHECK_EQ(scan.start.result, 0);
    CHECK(!scan.records.empty() && scan.records.back().result == 5);
    CHECK(client.plainCommand(USB_SCAN_UNLOCK, handle, result));
}

SCAN_TEST(aLeavingClientUnlocksItsScanner)
{
    Rig rig({"--endless"});
    REQUIRE(rig.ready());
    pid_t daemon = rig.daemonPid();
    {
        ScanClient client;
        REQUIRE(client.connectTo(rig.port()));
        OpenScanner scanner = openScanner(client);
        REQUIRE(scanner.devfd > 0);
        USBScanStartRes start{};
        REQUIRE(startLockedScan(client, scanner.devfd, start));
        USBScanRecordRes record{};
        for (int i = 0; i < 5; ++i)
            CHECK(client.nextRecord(record));
    }
    CHECK(eventually([&] { return liveChildren(daemon).empty(); }));
    CHECK(readFile(kScanDir + "/ruvo_scan_info.log").find(" unlock at disconnect result 0\n") != std::string::npos);
    // The scanner is free: a start without a lock is refused by the device
    // (lock required), where a scanner left locked would have started.
    ScanClient next;
    REQUIRE(next.connectTo(rig.port()));
    OpenScanner scanner = openScanner(next);
    REQUIRE(scanner.devfd > 0);
    USBScanStartRes start{};
    REQUIRE(next.scanStart(scanner.devfd, start));
    CHECK_EQ(start.result, 9);
}

SCAN_TEST(aSecondStartWhileScanningIsRefused)
{
    Rig rig({"--endless"});
    ScanClient client;
    OpenScanner scanner;
    REQUIRE(openSession(rig, client, scanner, 4096));
    USBScanStartRes start{};
    REQUIRE(startLockedScan(client, scanner.devfd, start));
    std::string first = FieldText(start.fileName, sizeof(start.fileName));
    // Held while it waits to send, the data process adds nothing to the stream.
    pid_t dataProcess = blockedDataProcess(rig.daemonPid());
    REQUIRE(dataProcess > 0);
    kill(dataProcess, SIGSTOP);
    uint8_t drain[4096];
    while (client.receive(drain, 1, 300)) {
    }
    USBScanStartRes second{};
    REQUIRE(client.scanStart(scanner.devfd, second));
    CHECK_EQ(second.result, 3);
    CHECK_EQ(FieldText(second.fileName, sizeof(second.fileName)), first.substr(0, first.size() - 1) + "1");
    CHECK(!gone(dataProcess));
    kill(dataProcess, SIGCONT);
}

SCAN_TEST(anotherConnectionCannotStopOrTakeALockedScanner)
{
    Rig rig({"--pages", "2", "--page-bytes", "60000", "--chunk-bytes", "700"});
    REQUIRE(rig.ready());
    ScanClient owner;
    REQUIRE(owner.connectTo(rig.port()));
    OpenScanner owned = openScanner(owner);
    REQUIRE(owned.devfd > 0);
    int32_t result = -1;
    REQUIRE(owner.lock(owned.devfd, DefaultScanSettings(), result) && result == 0);
    USBScanStartRes start{};
    REQUIRE(owner.scanStart(owned.devfd, start) && start.result == 0);
    std::string baseName = FieldText(start.fileName, sizeof(start.fileName));
    USBScanRecordRes record{};
    REQUIRE(owner.nextRecord(record));

    ScanClient other;
    REQUIRE(other.connectTo(rig.port()));
    OpenScanner foreign = openScanner(other);
    REQUIRE(foreign.devfd > 0);
    USBScanAbortReq abort{};
    abort.devfd = foreign.devfd;
    std::strncpy(abort.fileName, baseName.c_str(), sizeof(abort.fileName) - 1);
    REQUIRE(other.sendCommand(USB_SCAN_ABORT, &abort, sizeof(abort)));
    REQUIRE(other.receive(&result, sizeof(result)));
    CHECK_EQ(result, 3);
    for (int32_t command : {USB_SCAN_UNLOCK}) {
        CHECK(other.plainCommand(command, foreign.devfd, result));
        CHECK_EQ(result, 3);
    }
    for (int32_t command : {USB_CLEAR_DEV, USB_RESET_DEVEP}) {
        USBClearDevEpReq endpoint{foreign.devfd, 0x81};
        REQUIRE(other.sendCommand(command, &endpoint, sizeof(endpoint)));
        REQUIRE(other.receive(&result, sizeof(result)));
        CHECK_EQ(result, 3);
    }
    USBScanStartRes foreignStart{};
    CHECK(other.scanStart(foreign.devfd, foreignStart));
    CHECK_EQ(foreignStart.result, 3);
    CHECK(other.lock(foreign.devfd, DefaultScanSettings(), result));
    CHECK_EQ(result, 3);

    // The owner's scan went on untouched to its end, its pages in place.
    std::vector<USBScanRecordRes> records;
    while (owner.nextRecord(record)) {
        records.push_back(record);
        if (record.result != 0)
            break;
    }
    REQUIRE(!records.empty());
    CHECK_EQ(records.back().result, 5);
    CHECK(exists(baseName + "_0.tmp"));
    CHECK(exists(baseName + "_1.tmp"));
    // Unlocked by its owner, the scanner is anyone's.
    CHECK(owner.plainCommand(USB_SCAN_UNLOCK, owned.devfd, result));
    CHECK_EQ(result, 0);
    CHECK(other.lock(foreign.devfd, DefaultScanSettings(), result));
    CHECK_EQ(result, 0);
}

// ---- scanners pulled out and plugged back ----

namespace {

double secondsSince(const timespec &start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

int32_t scannerCount(ScanClient &client)
{
    int32_t count = -1;
    std::vector<USBFindDevRes> devices;
    if (!client.findDevices(kVendor, kProduct, true, count, devices))
        return -1;
    int32_t closed = 0;
    for (const USBFindDevRes &device : devices)
        client.plainCommand(USB_CLOSE_DEV, device.fd, closed);
    return count;
}

} // namespace

// The scanner vanishes mid-scan, either between pages or inside one; the
// scan ends with an I/O failure record, the pages already written keep their
// names, nothing the scan started stays behind, the search leaves the
// scanner out while it is gone, and once it is back a new scan works.
SCAN_TEST(aScannerPulledOutMidScanEndsTheScanAndWorksAgainOnceBack)
{
    struct Case {
        const char *name;
        std::vector<std::string> knobs;
        size_t pageFiles;
        size_t wholePages;
    };
    const std::vector<Case> cases = {
        {"between pages", {"--unplug-at-page", "2"}, 2, 2},
        {"inside a page", {"--unplug-after-bytes", "4000"}, 2, 1},
    };
    for (const Case &unplug : cases) {
        std::printf("case: %s\n", unplug.name);
        std::vector<std::string> knobs = {"--pages", "3", "--page-bytes", "2500", "--chunk-bytes", "700",
                                          "--replug-after-ms", "4000"};
        knobs.insert(knobs.end(), unplug.knobs.begin(), unplug.knobs.end());
        Rig rig(knobs);
        REQUIRE(rig.ready());
        pid_t daemon = rig.daemonPid();
        ScanClient client;
        REQUIRE(client.connectTo(rig.port()));
        // One answer makes sure our connection process runs; the readiness probe's may still be ending.
        CHECK_EQ(scannerCount(client), 1);
        std::vector<pid_t> connections;
        REQUIRE(eventually([&] { return (connections = liveChildren(daemon)).size() == 1; }));
        size_t daemonDescriptors = openDescriptors(daemon);
        size_t connectionDescriptors = openDescriptors(connections[0]);

        OpenScanner scanner = openScanner(client);
        REQUIRE(scanner.devfd > 0);
        int32_t result = -1;
        USBScanStartRes start{};
        REQUIRE(startLockedScan(client, scanner.devfd, start));
        std::vector<USBScanRecordRes> records;
        USBScanRecordRes record{};
        timespec lastGood{};
        while (client.nextRecord(record)) {
            records.push_back(record);
            if (record.result != 0)
                break;
            clock_gettime(CLOCK_MONOTONIC, &lastGood);
        }
        double toAnswer = secondsSince(lastGood);
        std::printf("last record before the unplug to the failure record: %.2f s\n", toAnswer);
        REQUIRE(!records.empty());
        CHECK_EQ(records.back().result, int32_t(9));
        CHECK(toAnswer < 5.0);
        CHECK(rig.reported("unplugged /dev/bus/usb/001/002"));

        std::string base = FieldText(start.fileName, sizeof(start.fileName));
        std::vector<std::string> pages = filesStartingWith(base + "_");
        CHECK_EQ(pages.size(), unplug.pageFiles);
        for (size_t page = 0; page < unplug.wholePages; ++page)
            CHECK_EQ(readFile(base + "_" + std::to_string(page) + ".tmp").size(), size_t(2500));

        // The data process is gone; the stale handle closes like any other.
        CHECK(eventually([&] { return liveChildren(connections[0]).empty(); }, 5000));
        CHECK(client.plainCommand(USB_CLOSE_DEV, scanner.devfd, result));
        CHECK_EQ(scannerCount(client), 0);
        CHECK_EQ(openDescriptors(connections[0]), connectionDescriptors);
        CHECK_EQ(openDescriptors(daemon), daemonDescriptors);
        std::printf("connection process descriptors %zu before, %zu after; daemon %zu before, %zu after\n",
                    connectionDescriptors, openDescriptors(connections[0]), daemonDescriptors,
                    openDescriptors(daemon));

        REQUIRE(rig.reported("replugged /dev/bus/usb/001/002"));
        CHECK_EQ(scannerCount(client), 1);
        OpenScanner back = openScanner(client);
        REQUIRE(back.devfd > 0);
        ScanOutcome again = scanToEnd(client, back.devfd);
        CHECK_EQ(again.start.result, 0);
        CHECK(!again.records.empty() && again.records.back().result == 5);
        CHECK_EQ(filesStartingWith(FieldText(again.start.fileName, sizeof(again.start.fileName)) + "_").size(),
                 size_t(3));
        CHECK(client.plainCommand(USB_SCAN_UNLOCK, back.devfd, result));
        CHECK_EQ(result, 0);
        CHECK(client.plainCommand(USB_CLOSE_DEV, back.devfd, result));
        CHECK(eventually([&] { return liveChildren(connections[0]).empty(); }, 5000));
        CHECK_EQ(openDescriptors(connections[0]), connectionDescriptors);
        CHECK_EQ(liveChildren(daemon).size(), size_t(1));
    }
}
