// scan-stress: plays hostile and careless local clients against the built scan
// daemon and reports, scenario by scenario, what it cost the daemon and whether
// every bound held.
//
//   scripts/isolated-run scan-stress --daemon PATH --sim PATH [--emulator PATH]
//       [--backend DIR --scan-client PATH [--preload LIB]] [--ci]
//
// It needs a private /opt, /tmp and network (scripts/isolated-run gives them)
// and takes a pid namespace of its own, so the processes it counts are only the
// daemon's and its own, and it can choose which process id the next process
// gets. The daemon serves port 7000; simulated network scanners serve
// 127.0.0.11 to 127.0.0.18; with --emulator the USB scenario runs the daemon
// inside an emulated USB scanner. With --backend (the folder of the built SANE
// backend) and --scan-client, scanimage and the command-line client meet
// hostile JPEG pages (127.0.0.21 to .25) and a fake daemon. --preload names a
// sanitizer runtime for scanimage; --only runs one group of scenarios (daemon,
// jpeg, fake, users). --ci runs smaller numbers of everything but
// the same scenarios. The exit status is 0 when every bound held.

#include "front_ends.h"
#include "multi_user.h"
#include "product_paths.h"
#include "scan_client.h"
#include "scan_test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

using scan_test_support::exists;
using scan_test_support::readFile;
using scan_test_support::waitFor;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kScanDir = ruvo_paths::kScanDir;
const int kDaemonPort = 7000;
const int kUsbDaemonPort = 7001;
// No scanner answers here: network commands to it fail at once.
const char kNobody[] = "127.0.0.250";

struct Options {
    std::string daemon;
    std::string sim;
    std::string emulator;
    bool ci = false;
    int malformed = 1000;
    int idle = 200;
    int rapidStarts = 60;
    int clients = 32;
    int pageBytes = 1000000;
    int pidRounds = 5;
    FrontEnds frontEnds;
    // Empty: every group of scenarios; else one of daemon, jpeg, fake, users.
    std::string only;
};

Options s_options;

// ---- small helpers ----

long fileSize(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : 0;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- processes (in this pid namespace: the daemon's and ours only) ----

struct ProcessInfo {
    pid_t pid;
    pid_t parent;
    char state;
};

ProcessInfo infoOf(pid_t pid)
{
    ProcessInfo info{pid, -1, '?'};
    std::string line = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = line.rfind(')');
    if (close != std::string::npos)
        std::sscanf(line.c_str() + close + 1, " %c %d", &info.state, &info.parent);
    return info;
}

bool running(pid_t pid)
{
    ProcessInfo info = infoOf(pid);
    return info.parent >= 0 && info.state != 'Z';
}

// Live processes of the daemons this program started (each with its port in
// its environment).
std::vector<pid_t> daemonProcesses()
{
    std::vector<pid_t> found;
    for (int port : {kDaemonPort, kUsbDaemonPort})
        for (pid_t pid : scan_test_support::daemonProcesses(s_options.daemon.c_str(), port))
            if (running(pid))
                found.push_back(pid);
    return found;
}

std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> found;
    for (pid_t pid : daemonProcesses())
        if (infoOf(pid).parent == parent)
            found.push_back(pid);
    return found;
}

size_t descriptorsOf(pid_t pid)
{
    size_t count = 0;
    if (DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent *entry = readdir(fds))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(fds);
    }
    return count;
}

struct Snapshot {
    size_t processes = 0;
    size_t descriptors = 0;
};

Snapshot snapshot()
{
    Snapshot now;
    for (pid_t pid : daemonProcesses()) {
        ++now.processes;
        now.descriptors += descriptorsOf(pid);
    }
    return now;
}

// Waits until the daemon is down to `processes` processes again and its
// descriptors have stopped changing: a daemon that has just started may still
// hold one it closes a moment later (slowly so under a sanitizer).
Snapshot settle(size_t processes, double seconds = 10)
{
    waitFor([&] { return daemonProcesses().size() <= processes; }, seconds);
    Snapshot last = snapshot();
    waitFor([&] {
        usleep(200 * 1000);
        const Snapshot now = snapshot();
        const bool steady = now.processes == last.processes && now.descriptors == last.descriptors;
        last = now;
        return steady;
    }, seconds);
    return last;
}

long logBytes()
{
    long total = 0;
    for (const char *name : {"ruvo_scan_info.log", "ruvo_scan_err.log", "ruvo_scan_info.log.1", "ruvo_scan_err.log.1"})
        total += fileSize(kScanDir + "/" + name);
    return total;
}

pid_t spawn(const std::vector<std::string> &arguments, const std::vector<std::string> &extraEnvironment = {})
{
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry)
        environment.push_back(*entry);
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char *> envp;
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = arguments;
    std::vector<char *> argv;
    for (std::string &argument : copy)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// ---- the peers ----

class Simulator {
public:
    Simulator(const std::string &address, std::vector<std::string> knobs) : m_address(address)
    {
        m_dir = "/tmp/scan-stress-sim-" + address;
        mkdir(m_dir.c_str(), 0755);
        std::vector<std::string> arguments = {s_options.sim, "--address", address, "--record-dir", m_dir,
                                              "--ready-file", m_dir + "/ready"};
        arguments.insert(arguments.end(), knobs.begin(), knobs.end());
        m_pid = spawn(arguments);
        m_ready = m_pid > 0 && waitFor([&] { return exists(m_dir + "/ready"); }, 10);
    }
    ~Simulator()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            if (!waitFor([&] { return waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 5)) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
            }
        }
    }
    bool ready() const { return m_ready; }
    const char *address() const { return m_address.c_str(); }
    bool sawEvent(const std::string &name, double seconds = 10) const
    {
        return waitFor([&] { return readFile(m_dir + "/events.log").find(name + "\n") != std::string::npos; },
                       seconds);
    }

private:
    std::string m_address;
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_ready = false;
};

// The daemon on its port; `wrapper` runs it inside another program (the USB
// emulator). Every process of it ends with this object.
class Daemon {
public:
    explicit Daemon(int port, const std::string &wrapper = "") : m_port(port)
    {
        scan_test_support::makeDirectories(ruvo_paths::kProductRoot);
        std::vector<std::string> arguments;
        if (!wrapper.empty())
            arguments = {wrapper, "--pages", "1", "--page-bytes", "2000", "--"};
        arguments.push_back(s_options.daemon);
        m_starter = spawn(arguments, {"RUVO_SCAN_DAEMON_PORT=" + std::to_string(port)});
        m_ready = m_starter > 0 && waitFor([&] {
            ScanClient probe;
            return probe.connectTo(port);
        }, 20);
        if (wrapper.empty() && m_starter > 0)
            waitpid(m_starter, nullptr, 0); // returns once the daemon has detached
        m_wrapped = !wrapper.empty();
    }
    ~Daemon()
    {
        if (m_wrapped && m_starter > 0) {
            kill(m_starter, SIGTERM);
            waitpid(m_starter, nullptr, 0);
        }
        for (int round = 0; round < 3; ++round)
            for (pid_t pid : daemonProcesses())
                kill(pid, SIGKILL);
        waitFor([] { return daemonProcesses().empty(); }, 5);
    }
    bool ready() const { return m_ready; }
    int port() const { return m_port; }
    // The process that accepts connections: the one whose parent is not the daemon's.
    pid_t listener() const
    {
        std::vector<pid_t> all = daemonProcesses();
        for (pid_t pid : all)
            if (std::find(all.begin(), all.end(), infoOf(pid).parent) == all.end())
                return pid;
        return -1;
    }

private:
    int m_port;
    pid_t m_starter = -1;
    bool m_ready = false;
    bool m_wrapped = false;
};

// ---- the report ----

struct Row {
    std::string scenario;
    std::string measure;
    std::string value;
    std::string bound;
    bool ok;
};

std::vector<Row> s_rows;

void report(const std::string &scenario, const std::string &measure, const std::string &value,
            const std::string &bound, bool ok)
{
    s_rows.push_back({scenario, measure, value, bound, ok});
    std::printf("  %-26s %-44s %-16s %-12s %s\n", scenario.c_str(), measure.c_str(), value.c_str(), bound.c_str(),
                ok ? "ok" : "EXCEEDED");
    std::fflush(stdout);
}

std::string arrow(size_t before, size_t after)
{
    return std::to_string(before) + " -> " + std::to_string(after);
}

std::string number(double value, int decimals = 1)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

void reportBeforeAfter(const std::string &scenario, const Snapshot &before, const Snapshot &after)
{
    report(scenario, "daemon processes before -> after", arrow(before.processes, after.processes), "equal",
           after.processes == before.processes);
    report(scenario, "daemon descriptors before -> after", arrow(before.descriptors, after.descriptors), "equal",
           after.descriptors == before.descriptors);
}

// ---- client helpers ----

RuvoSocket scannerSocket(const char *address)
{
    RuvoSocket socket{};
    socket.tcpFromScanner = -1;
    std::snprintf(socket.szScannerIP, sizeof(socket.szScannerIP), "%s", address);
    return socket;
}

bool startScan(ScanClient &client, const char *address, TCPScanStartRes &start)
{
    TCPScanStartReq request{};
    request.socket = scannerSocket(address);
    request.info = DefaultScanSettings();
    return client.sendCommand(TCP_SCAN_START, &request, sizeof(request)) && client.receive(&start, sizeof(start));
}

int32_t abortScan(ScanClient &client, const char *address, const std::string &name)
{
    TCPScanAbortReq request{};
    request.socket = scannerSocket(address);
    std::snprintf(request.fileName, sizeof(request.fileName), "%s", name.c_str());
    int32_t result = INT32_MIN;
    if (!client.sendCommand(TCP_SCAN_ABORT, &request, sizeof(request)) || !client.receive(&result, sizeof(result)))
        return INT32_MIN;
    return result;
}

// A plain-result command, waiting at most 10 s for its answer.
bool plainCommand(ScanClient &client, int32_t command, int32_t devfd, int32_t &result)
{
    USBCommonReq request{devfd};
    return client.sendCommand(command, &request, sizeof(request)) && client.receive(&result, sizeof(result), 10000);
}

// A command whose answer comes only after everything sent before was handled.
bool sync(ScanClient &client)
{
    int32_t result = 0;
    return plainCommand(client, USB_CLOSE_DEV, 987654, result) && result == ruvo_wire::RESULT_INVALID;
}

bool quietFor(const ScanClient &client, int milliseconds)
{
    pollfd waiting{client.descriptor(), POLLIN, 0};
    return poll(&waiting, 1, milliseconds) == 0;
}

void drain(ScanClient &client, int quietMs = 300)
{
    uint8_t bytes[4096];
    while (!quietFor(client, quietMs)) {
        if (recv(client.descriptor(), bytes, sizeof(bytes), 0) <= 0)
            return;
    }
}

std::vector<std::string> pagesOf(const std::string &baseName)
{
    std::vector<std::string> pages;
    for (int page = 0; exists(baseName + "_" + std::to_string(page) + ".tmp"); ++page)
        pages.push_back(baseName + "_" + std::to_string(page) + ".tmp");
    return pages;
}

struct ScanResult {
    std::string baseName;
    int32_t lastResult = INT32_MIN;
    int pagesBegun = 0;
};

// A well-behaved client: one scan to its end.
ScanResult scanToEnd(ScanClient &client, const char *address)
{
    ScanResult scan;
    TCPScanStartRes start{};
    if (!startScan(client, address, start) || start.result != 0)
        return scan;
    scan.baseName = FieldText(start.fileName, sizeof(start.fileName));
    TCPRecordRes record{};
    while (client.receive(&record, sizeof(record), 60000)) {
        if (record.st == SCAN_STATUS_BEGIN_OF_PAGE && record.result == 0)
            ++scan.pagesBegun;
        if (record.result != 0) {
            scan.lastResult = record.result;
            break;
        }
    }
    return scan;
}

// ---- scenarios ----

void malformedRequests()
{
    const std::string name = "malformed requests";
    const std::string canary = "/tmp/scan-stress-canary";
    std::ofstream(canary) << "keep";
    Snapshot before = settle(1);
    long logBefore = logBytes();
    auto client = std::make_unique<ScanClient>();
    client->connectTo(kDaemonPort);
    int sent = 0, unanswered = 0;
    for (int i = 0; i < s_options.malformed; ++i, ++sent) {
        if (i % 100 == 99) {
            // A body cut short, then the client leaves.
            int32_t command = USB_SCAN_LOCK;
            uint8_t part[10] = {};
            client->sendBytes(&command, sizeof(command));
            client->sendBytes(part, sizeof(part));
            client = std::make_unique<ScanClient>();
            client->connectTo(kDaemonPort);
            continue;
        }
        switch (i % 8) {
        case 0: {
            int32_t undefined = 20 + i;
            client->sendBytes(&undefined, sizeof(undefined));
            break;
        }
        case 1: {
            int32_t negative = -1 - i;
            client->sendBytes(&negative, sizeof(negative));
            break;
        }
        case 2: {
            int32_t result = 0;
            if (!plainCommand(*client, USB_CLOSE_DEV, i % 12, result))
                ++unanswered;
            break;
        }
        case 3:
            client->deleteFile(canary);
            break;
        case 4: {
            CmdDeleteFileReq request;
            std::memset(request.fileName, 'A', sizeof(request.fileName));
            client->sendCommand(CMD_DELETE_FILE, &request, sizeof(request));
            break;
        }
        case 5: {
            TCPCommonReq request{};
            std::memcpy(request.socket.szScannerIP, "127.100.100.1001", 16);
            TCPADFStatusRes response{};
            if (!client->sendCommand(TCP_SCAN_ADFST, &request, sizeof(request)) ||
                !client->receive(&response, sizeof(response), 10000))
                ++unanswered;
            break;
        }
        case 6: {
            int32_t result = 0;
            if (!client->abort(i % 12, "/", result))
                ++unanswered;
            break;
        }
        default:
            client->deleteFile(kScanDir + "/ruvo_scan_info.log");
            break;
        }
    }
    bool answered = sync(*client);
    long written = logBytes() - logBefore;
    client.reset();
    Snapshot after = settle(before.processes);
    std::printf("%s: %d sent\n", name.c_str(), sent);
    report(name, "requests left unanswered", std::to_string(unanswered + (answered ? 0 : 1)), "0",
           unanswered == 0 && answered);
    report(name, "log bytes per malformed request", number(static_cast<double>(written) / sent), "<= 32",
           written <= 32L * sent);
    report(name, "file outside the scan directory deleted", exists(canary) ? "no" : "yes", "no", exists(canary));
    report(name, "daemon logs still there", exists(kScanDir + "/ruvo_scan_info.log") ? "yes" : "no", "yes",
           exists(kScanDir + "/ruvo_scan_info.log"));
    reportBeforeAfter(name, before, after);
}

void idleConnections()
{
    const std::string name = "idle connections";
    Snapshot before = settle(1);
    std::vector<std::unique_ptr<ScanClient>> clients;
    for (int i = 0; i < s_options.idle; ++i) {
        clients.push_back(std::make_unique<ScanClient>());
        clients.back()->connectTo(kDaemonPort);
    }
    Clock::time_point opened = Clock::now();
    size_t most = 0;
    waitFor([&] {
        most = std::max(most, daemonProcesses().size());
        return false;
    }, 2);
    auto closedByDaemon = [&] {
        int closed = 0;
        for (auto &client : clients) {
            char byte;
            ssize_t got = recv(client->descriptor(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                ++closed;
        }
        return closed;
    };
    int refusedAtOnce = closedByDaemon();
    // A client that sends nothing is closed 30 s after it connected.
    bool allClosed = waitFor([&] {
        most = std::max(most, daemonProcesses().size());
        return closedByDaemon() == s_options.idle;
    }, 45);
    double closedAfter = secondsSince(opened);
    clients.clear();
    Snapshot after = settle(before.processes);
    std::printf("%s: %d opened\n", name.c_str(), s_options.idle);
    report(name, "most daemon processes at once", std::to_string(most), "<= 33", most <= 33);
    int expectedRefused = std::max(0, s_options.idle - 32);
    report(name, "closed at once (over the cap of 32)", std::to_string(refusedAtOnce),
           "= " + std::to_string(expectedRefused), refusedAtOnce == expectedRefused);
    report(name, "seconds until the daemon closed them all", allClosed ? number(closedAfter) : "never", "<= 35",
           allClosed && closedAfter <= 35);
    reportBeforeAfter(name, before, after);
}

// Start responses in a byte stream that may interleave them with records:
// each carries the scan's base name at offset 8, after result and channel.
std::vector<int32_t> startResultsIn(const std::string &stream)
{
    std::vector<int32_t> results;
    const std::string marker = kScanDir + "/ruvoscandata_";
    for (size_t at = stream.find(marker); at != std::string::npos; at = stream.find(marker, at + 1)) {
        if (at < 8)
            continue;
        int32_t result;
        std::memcpy(&result, stream.data() + at - 8, sizeof(result));
        results.push_back(result);
    }
    return results;
}

// A scanner whose first page stops coming part of the way: its scan stays running.
std::vector<std::string> stallingPages()
{
    return {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault", "stall"};
}

void rapidStarts()
{
    const std::string name = "rapid scan starts";
    Simulator sim("127.0.0.11", stallingPages());
    Snapshot before = settle(1);
    ScanClient client;
    client.connectTo(kDaemonPort);
    // All starts in one burst, as fast as the connection takes them.
    std::string burst;
    for (int i = 0; i < s_options.rapidStarts; ++i) {
        int32_t command = TCP_SCAN_START;
        TCPScanStartReq request{};
        request.socket = scannerSocket(sim.address());
        request.info = DefaultScanSettings();
        burst.append(reinterpret_cast<const char *>(&command), sizeof(command));
        burst.append(reinterpret_cast<const char *>(&request), sizeof(request));
    }
    Clock::time_point started = Clock::now();
    client.sendBytes(burst.data(), burst.size());
    std::string stream;
    size_t mostScans = 0;
    // Read whatever comes for a while, counting data processes meanwhile.
    auto deadline = Clock::now() + std::chrono::seconds(s_options.ci ? 4 : 6);
    while (Clock::now() < deadline) {
        std::vector<pid_t> all = daemonProcesses();
        size_t scans = 0;
        for (pid_t pid : all) {
            pid_t parent = infoOf(pid).parent;
            // A data process: its parent is a daemon process whose own parent is one too.
            if (std::find(all.begin(), all.end(), parent) != all.end() &&
                std::find(all.begin(), all.end(), infoOf(parent).parent) != all.end())
                ++scans;
        }
        mostScans = std::max(mostScans, scans);
        char bytes[65536];
        pollfd waiting{client.descriptor(), POLLIN, 0};
        if (poll(&waiting, 1, 50) == 1) {
            ssize_t got = recv(client.descriptor(), bytes, sizeof(bytes), 0);
            if (got > 0)
                stream.append(bytes, static_cast<size_t>(got));
        }
        bool allAnswered = startResultsIn(stream).size() == static_cast<size_t>(s_options.rapidStarts);
        if (allAnswered && Clock::now() - started > std::chrono::seconds(2))
            break;
    }
    std::vector<int32_t> results = startResultsIn(stream);
    int accepted = static_cast<int>(std::count(results.begin(), results.end(), 0));
    int busy = static_cast<int>(std::count(results.begin(), results.end(), 3));
    // One abort; then nothing of the scans may be left.
    const std::string firstBase = kScanDir + "/ruvoscandata_";
    std::string base;
    size_t at = stream.find(firstBase);
    if (at != std::string::npos)
        base = stream.substr(at, stream.find('\0', at) - at);
    abortScan(client, sim.address(), base);
    drain(client);
    std::vector<pid_t> afterAbort = daemonProcesses();
    size_t pagesLeft = base.empty() ? 0 : pagesOf(base).size();
    bool connectionStays = sync(client);
    client.disconnect();
    Snapshot after = settle(before.processes);
    std::printf("%s: %d starts in one burst\n", name.c_str(), s_options.rapidStarts);
    report(name, "start answers received", std::to_string(results.size()), "= " + std::to_string(s_options.rapidStarts),
           results.size() == static_cast<size_t>(s_options.rapidStarts));
    report(name, "starts that began a scan", std::to_string(accepted), "1", accepted == 1);
    report(name, "starts refused as busy (3)", std::to_string(busy), std::to_string(s_options.rapidStarts - 1),
           busy == s_options.rapidStarts - 1);
    report(name, "most data processes at once", std::to_string(mostScans), "<= 1", mostScans <= 1);
    report(name, "daemon processes after one abort", std::to_string(afterAbort.size()), "2", afterAbort.size() == 2);
    report(name, "pages left after the abort", std::to_string(pagesLeft), "0", pagesLeft == 0);
    report(name, "connection still served", connectionStays ? "yes" : "no", "yes", connectionStays);
    reportBeforeAfter(name, before, after);
}

void concurrentClients()
{
    const std::string name = "concurrent scanning clients";
    const int simulators = 4;
    std::vector<std::unique_ptr<Simulator>> sims;
    for (int i = 0; i < simulators; ++i)
        sims.push_back(std::make_unique<Simulator>(
            "127.0.0." + std::to_string(12 + i),
            std::vector<std::string>{"--pages", "2", "--page-size", std::to_string(s_options.pageBytes),
                                     "--block-sizes", "65536,3000"}));
    Snapshot before = settle(1);
    // The reference: one scan alone per scanner; every concurrent scan of the
    // same scanner must produce the same pages.
    std::vector<std::vector<std::string>> reference(simulators);
    for (int i = 0; i < simulators; ++i) {
        ScanClient client;
        client.connectTo(kDaemonPort);
        ScanResult scan = scanToEnd(client, sims[static_cast<size_t>(i)]->address());
        for (const std::string &page : pagesOf(scan.baseName)) {
            reference[static_cast<size_t>(i)].push_back(readFile(page));
            client.deleteFile(page);
        }
        sync(client);
    }
    settle(before.processes);
    std::atomic<int> whole{0}, deleted{0};
    std::atomic<bool> done{false};
    size_t most = 0;
    std::thread sampler([&] {
        while (!done) {
            most = std::max(most, daemonProcesses().size());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::vector<std::thread> clients;
    Clock::time_point started = Clock::now();
    for (int c = 0; c < s_options.clients; ++c) {
        clients.emplace_back([&, c] {
            size_t which = static_cast<size_t>(c % simulators);
            ScanClient client;
            if (!client.connectTo(kDaemonPort))
                return;
            ScanResult scan = scanToEnd(client, sims[which]->address());
            std::vector<std::string> pages = pagesOf(scan.baseName);
            bool same = scan.lastResult == ruvo_wire::RESULT_END_OF_SCAN && pages.size() == reference[which].size() &&
                        !pages.empty();
            for (size_t p = 0; same && p < pages.size(); ++p)
                same = readFile(pages[p]) == reference[which][p];
            if (same)
                ++whole;
            for (const std::string &page : pages)
                client.deleteFile(page);
            if (sync(client) && pagesOf(scan.baseName).empty())
                ++deleted;
        });
    }
    for (std::thread &client : clients)
        client.join();
    double seconds = secondsSince(started);
    done = true;
    sampler.join();
    Snapshot after = settle(before.processes);
    std::printf("%s: %d clients, 2 pages of %d bytes each, in %.1f s\n", name.c_str(), s_options.clients,
                s_options.pageBytes, seconds);
    report(name, "clients whose pages came whole", std::to_string(whole.load()), std::to_string(s_options.clients),
           whole == s_options.clients);
    report(name, "clients that removed their own pages", std::to_string(deleted.load()),
           std::to_string(s_options.clients), deleted == s_options.clients);
    report(name, "most daemon processes at once", std::to_string(most), "<= 65", most <= 65);
    reportBeforeAfter(name, before, after);
}

void foreignAborts()
{
    const std::string name = "another client's abort";
    Simulator sim("127.0.0.16", stallingPages());
    Snapshot before = settle(1);
    ScanClient owner;
    owner.connectTo(kDaemonPort);
    TCPScanStartRes start{};
    startScan(owner, sim.address(), start);
    std::string base = FieldText(start.fileName, sizeof(start.fileName));
    sim.sawEvent("record-stalled");
    drain(owner);
    std::vector<std::string> pages = pagesOf(base);
    std::map<std::string, std::string> content;
    for (const std::string &page : pages)
        content[page] = readFile(page);
    ScanClient other;
    other.connectTo(kDaemonPort);
    const std::vector<std::string> names = {base, base.substr(0, base.size() - 1), kScanDir + "/ruvoscandata",
                                            "ruvoscandata", "/", kScanDir, kScanDir + "/", ""};
    int attempts = 0;
    for (const std::string &attempt : names) {
        abortScan(other, kNobody, attempt);
        ++attempts;
    }
    for (const std::string &page : pages) {
        other.deleteFile(page);
        ++attempts;
    }
    sync(other);
    size_t survived = 0;
    for (const std::string &page : pages)
        if (readFile(page) == content[page])
            ++survived;
    bool stillRunning = !quietFor(owner, 0) || daemonProcesses().size() == 4;
    int32_t own = abortScan(owner, sim.address(), base);
    drain(owner);
    size_t left = pagesOf(base).size();
    owner.disconnect();
    other.disconnect();
    Snapshot after = settle(before.processes);
    std::printf("%s: %d aborts and deletions by another connection\n", name.c_str(), attempts);
    report(name, "pages of the running scan before", std::to_string(pages.size()), ">= 1", !pages.empty());
    report(name, "pages surviving, unchanged", std::to_string(survived), std::to_string(pages.size()),
           survived == pages.size() && !pages.empty());
    report(name, "the scan kept running", stillRunning ? "yes" : "no", "yes", stillRunning);
    report(name, "pages left after the owner's own abort", std::to_string(left) + " (result " + std::to_string(own) + ")",
           "0", left == 0 && own == 0);
    reportBeforeAfter(name, before, after);
}

// The id of the data process that wrote the last "tcp scan record process exit" line.
pid_t lastDataProcessId()
{
    std::string log = readFile(kScanDir + "/ruvo_scan_info.log");
    const std::string marker = "tcp scan record process exit:";
    size_t at = log.rfind(marker);
    if (at == std::string::npos)
        return -1;
    size_t pid = log.find("pid:", at);
    return pid == std::string::npos ? -1 : std::atoi(log.c_str() + pid + 4);
}

void foreignProcesses()
{
    const std::string name = "ids of ended scans";
    Simulator sim("127.0.0.17", {"--pages", "1", "--page-size", "1000", "--block-sizes", "1000"});
    Snapshot before = settle(1);
    ScanClient client;
    client.connectTo(kDaemonPort);
    int taken = 0, signalled = 0;
    std::vector<pid_t> bystanders;
    for (int round = 0; round < s_options.pidRounds; ++round) {
        ScanResult scan = scanToEnd(client, sim.address());
        if (scan.lastResult != ruvo_wire::RESULT_END_OF_SCAN)
            continue;
        pid_t former = -1;
        waitFor([&] { return (former = lastDataProcessId()) > 0 && !running(former); }, 5);
        waitFor([&] { return !exists("/proc/" + std::to_string(former)); }, 2);
        // The next process of this namespace gets the ended data process's id.
        int nsLastPid = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
        std::string previous = std::to_string(former - 1);
        if (nsLastPid >= 0) {
            if (write(nsLastPid, previous.data(), previous.size()) < 0) {
            }
            close(nsLastPid);
        }
        pid_t bystander = fork();
        if (bystander == 0) {
            pause();
            _exit(0);
        }
        bystanders.push_back(bystander);
        if (bystander != former)
            continue;
        ++taken;
        abortScan(client, kNobody, "");
        usleep(100 * 1000);
        int status = 0;
        if (waitpid(bystander, &status, WNOHANG) == bystander)
            ++signalled;
    }
    for (pid_t bystander : bystanders) {
        kill(bystander, SIGKILL);
        waitpid(bystander, nullptr, 0);
    }
    client.disconnect();
    Snapshot after = settle(before.processes);
    std::printf("%s: %d scans, then an abort after another process took the ended scan's id\n", name.c_str(),
                s_options.pidRounds);
    report(name, "ended ids taken by a bystander", std::to_string(taken), ">= 1", taken >= 1);
    report(name, "bystanders signalled by an abort", std::to_string(signalled), "0", signalled == 0);
    reportBeforeAfter(name, before, after);
}

void repeatedSearches()
{
    const std::string name = "repeated USB searches";
    Daemon daemon(kUsbDaemonPort, s_options.emulator);
    if (!daemon.ready()) {
        report(name, "daemon inside the USB emulator started", "no", "yes", false);
        return;
    }
    ScanClient client;
    client.connectTo(kUsbDaemonPort);
    int32_t count = 0;
    std::vector<USBFindDevRes> devices;
    client.findDevices(0x1a2b, 0x0c01, true, count, devices);
    int32_t handle = devices.empty() ? -1 : devices[0].fd;
    std::vector<pid_t> connections;
    waitFor([&] { return (connections = childrenOf(daemon.listener())).size() == 1; }, 5);
    size_t before = connections.empty() ? 0 : descriptorsOf(connections[0]);
    int same = 0;
    for (int search = 0; search < 50; ++search)
        if (client.findDevices(0x1a2b, 0x0c01, true, count, devices) && count == 1 && devices[0].fd == handle)
            ++same;
    size_t after = connections.empty() ? 0 : descriptorsOf(connections[0]);
    int32_t result = -1;
    client.lock(handle, DefaultScanSettings(), result);
    USBScanStartRes start{};
    client.scanStart(handle, start);
    USBScanRecordRes record{};
    while (start.result == 0 && client.nextRecord(record) && record.result == 0) {
    }
    client.plainCommand(USB_SCAN_UNLOCK, handle, result);
    std::printf("%s: 50 searches for the same scanner on one connection\n", name.c_str());
    report(name, "searches that gave the same handle", std::to_string(same), "50", same == 50);
    report(name, "connection descriptors before -> after", arrow(before, after), "equal", before == after && before > 0);
    report(name, "a scan after them ends with 5", std::to_string(start.result == 0 ? record.result : start.result), "5",
           start.result == 0 && record.result == ruvo_wire::RESULT_END_OF_SCAN);
}

// JPEG feeder pages from a network scanner, read by scanimage through the
// built backend: hostile ones whose header claims a huge page, and ordinary
// large ones. The backend's memory stays within libjpeg's limit and one line.
void jpegPages()
{
    const std::string name = "JPEG pages into scanimage";
    if (s_options.frontEnds.backendDir.empty())
        return;
    struct Page {
        const char *what;
        const char *address;
        std::vector<std::string> knobs;
        const char *source;
        double heightMm;
        bool hostile;
    };
    // 65500 is the largest side libjpeg accepts at all.
    const std::vector<Page> pages = {
        {"hostile: claims 65500 lines", "127.0.0.21", {"--jpeg-claim-lines", "65500"}, "ADF", 355.6, true},
        {"hostile: claims 65500 x 65500", "127.0.0.22", {"--jpeg-claim-lines", "65500", "--jpeg-claim-width", "65500"},
         "ADF", 355.6, true},
        {"hostile: claims one sheet, progressive", "127.0.0.23", {"--jpeg-claim-lines", "8400"}, "ADF", 355.6, true},
        {"ordinary: one sheet", "127.0.0.24", {}, "ADF", 355.6, false},
        {"ordinary: flatbed page", "127.0.0.25", {}, "Flatbed", 279.4, false},
    };
    std::string conf;
    for (const Page &page : pages)
        conf += std::string(page.address) + " K402ADN\n";
    const std::vector<std::string> environment =
        SaneEnvironment(s_options.frontEnds, "/tmp/scan-stress-jpeg/conf", conf);
    // What scanimage itself takes, with the backend loaded and no page.
    Measured idle = RunMeasured({"/usr/bin/scanimage", "-L"}, environment, 60);
    // 600 dpi colour, the full width: 5100 pixels of 3 bytes a line.
    const long lineBytes = 5100 * 3;
    const long limitKiB = (64L * 1024 * 1024 + lineBytes) / 1024;
    // Sanitized, scanimage carries the sanitizer's own memory too: what it
    // takes with no page, and its allocator's caches, which grow with the
    // bytes that pass (up to 6 MiB over for a 100 MB page in CI). The bound
    // proper is the plain build's; here it still catches a page held whole.
    const long sanitizerSlackKiB = 32L * 1024;
    const long allowanceKiB =
        limitKiB + (s_options.frontEnds.preload.empty() ? 0 : idle.peakKiB + sanitizerSlackKiB);
    std::printf("%s: scanimage -L alone peaks at %ld KiB\n", name.c_str(), idle.peakKiB);
    for (const Page &page : pages) {
        std::vector<std::string> knobs = {"--chart", "--pages", "1", "--sheet-length-mm", "356"};
        knobs.insert(knobs.end(), page.knobs.begin(), page.knobs.end());
        Simulator sim(page.address, knobs);
        char height[32];
        std::snprintf(height, sizeof(height), "%.1f", page.heightMm);
        Measured scan = RunMeasured({"/usr/bin/scanimage", "-d", std::string("ruvo:net:") + page.address, "--source",
                                     page.source, "--mode", "Color", "--resolution", "600", "--compression", "JPEG",
                                     "--format=pnm", "-l", "0", "-t", "0", "-x", "215.9", "-y", height},
                                    environment, 120);
        const std::string what = page.what;
        if (page.hostile) {
            bool refused = scan.status > 0 && scan.errors.find("Error during device I/O") != std::string::npos;
            report(name, what + ": scan refused", refused ? "yes" : "no (" + std::to_string(scan.status) + ")", "yes",
                   refused);
            report(name, what + ": peak KiB", std::to_string(scan.peakKiB), "<= " + std::to_string(allowanceKiB),
                   scan.peakKiB > 0 && scan.peakKiB <= allowanceKiB);
        } else {
            // scanimage keeps a feeder page of unknown length whole until it
            // ends (to write the image header); that copy is its own.
            const long imageBytes = static_cast<long>(scan.output.size());
            const long heldKiB = std::string(page.source) == "ADF" ? imageBytes / 1024 : 0;
            bool whole = scan.status == 0 && imageBytes > 5100L * 3 * 6000;
            report(name, what + ": scanned, image bytes", whole ? std::to_string(imageBytes) : "no", "> 91800000",
                   whole);
            report(name, what + (heldKiB ? ": peak KiB less scanimage's own page copy" : ": peak KiB"),
                   std::to_string(scan.peakKiB - heldKiB), "<= " + std::to_string(allowanceKiB),
                   scan.peakKiB > 0 && scan.peakKiB - heldKiB <= allowanceKiB);
        }
    }
}

bool wanted(const char *group)
{
    return s_options.only.empty() || s_options.only == group;
}

int runScenarios()
{
    std::printf("scan-stress: daemon %s%s\n", s_options.daemon.c_str(), s_options.ci ? " (CI size)" : "");
    scan_test_support::makeDirectories(ruvo_paths::kProductRoot);
    {
        Daemon daemon(kDaemonPort);
        if (!daemon.ready()) {
            std::fprintf(stderr, "scan-stress: the daemon does not serve port %d\n", kDaemonPort);
            return 1;
        }
        if (wanted("daemon")) {
            malformedRequests();
            idleConnections();
            rapidStarts();
            concurrentClients();
            foreignAborts();
            foreignProcesses();
        }
        if (wanted("jpeg"))
            jpegPages();
    }
    if (!s_options.emulator.empty() && wanted("daemon"))
        repeatedSearches();
    if (!s_options.frontEnds.backendDir.empty() && wanted("fake"))
        FakeListenerScenarios(s_options.frontEnds);
    if (wanted("users"))
        RunMultiUserScenarios({s_options.daemon, s_options.emulator, s_options.ci, report});
    int exceeded = 0;
    for (const Row &row : s_rows)
        if (!row.ok)
            ++exceeded;
    std::printf("scan-stress: %zu measures, %d bound(s) exceeded\n", s_rows.size(), exceeded);
    return exceeded == 0 ? 0 : 1;
}

// ---- the pid namespace ----

// Becomes the first process of a new pid namespace with a /proc of its own,
// runs the scenarios in a child and reaps every process that ends there (the
// daemon detaches and is adopted here).
int inPidNamespace()
{
    // A child enters the namespace, so this process keeps creating its own
    // children where it is (the leak checker of a sanitized build starts one
    // at exit, which could not be born into a namespace that has ended).
    pid_t entering = fork();
    if (entering < 0)
        return 1;
    if (entering > 0) {
        int status = 0;
        waitpid(entering, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    // A mount namespace of its own too: the namespace's /proc must not cover
    // the /proc of processes outside it.
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
        std::perror("scan-stress: unshare(CLONE_NEWPID | CLONE_NEWNS)");
        _exit(1);
    }
    pid_t init = fork();
    if (init < 0)
        _exit(1);
    if (init > 0) {
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        std::perror("scan-stress: mount /proc");
        _exit(1);
    }
    pid_t runner = fork();
    if (runner == 0) {
        signal(SIGPIPE, SIG_IGN);
        _exit(runScenarios());
    }
    int result = 1;
    for (;;) {
        int status = 0;
        pid_t ended = waitpid(-1, &status, 0);
        if (ended < 0 && errno == EINTR)
            continue;
        if (ended < 0)
            break;
        if (ended == runner) {
            result = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
            break;
        }
    }
    // Whatever is left ends with the namespace's first process.
    kill(-1, SIGKILL);
    _exit(result);
}

int usage()
{
    std::fprintf(stderr, "usage: scan-stress --daemon PATH --sim PATH [--emulator PATH]\n"
                         "                   [--backend DIR --scan-client PATH [--preload LIB]] [--ci]\n"
                         "                   [--only daemon|jpeg|fake|users]\n"
                         "Run it through scripts/isolated-run (private /opt, /tmp and network; root).\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (option == "--daemon")
            s_options.daemon = value();
        else if (option == "--sim")
            s_options.sim = value();
        else if (option == "--emulator")
            s_options.emulator = value();
        else if (option == "--ci")
            s_options.ci = true;
        else if (option == "--backend")
            s_options.frontEnds.backendDir = value();
        else if (option == "--scan-client")
            s_options.frontEnds.scanClient = value();
        else if (option == "--only")
            s_options.only = value();
        else if (option == "--preload")
            s_options.frontEnds.preload = value();
        else
            return usage();
    }
    if (s_options.daemon.empty() || s_options.sim.empty())
        return usage();
    if (s_options.ci) {
        s_options.idle = 40;
        s_options.pageBytes = 200000;
        s_options.pidRounds = 3;
    }
    const std::vector<std::string> groups = {"", "daemon", "jpeg", "fake", "users"};
    if (std::find(groups.begin(), groups.end(), s_options.only) == groups.end())
        return usage();
    s_options.frontEnds.ci = s_options.ci;
    s_options.frontEnds.report = report;
    if (s_options.frontEnds.backendDir.empty() != s_options.frontEnds.scanClient.empty())
        return usage();
    const char *isolated = std::getenv("RUVO_ISOLATED");
    if (!isolated || std::string(isolated) != "1") {
        std::fprintf(stderr, "scan-stress: needs the private /opt, /tmp and network of scripts/isolated-run\n");
        return 77;
    }
    return inPidNamespace();
}
