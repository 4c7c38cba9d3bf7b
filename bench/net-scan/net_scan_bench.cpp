// net-scan-bench: how close a network scan through the scan daemon comes to a
// plain copy of the same bytes.
//
// The simulated scanner sends three pages (64 MiB each by default) in 64 KiB
// blocks. Baseline: read its record channel straight into one file. Measured:
// the daemon's network scan (client request, record channel, page files, one
// record per block to the client). Both read the same stream from the same
// simulator in the same run, alternating; each round gives the ratio of the
// daemon to the plain copy of that round, and the median and spread of those
// ratios are the result (the best rounds are shown too).
// The daemon's resident memory is sampled while it scans.
//
//   net-scan-bench [--page-mib N] [--block-kib N] [--rounds N]
//
// Needs root: it re-runs itself in a private mount namespace (fresh /opt and
// /tmp) so the daemon's fixed scan directory is never the real one.

#include "product_paths.h"
#include "scan_test_support.h"
#include "scan_types.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
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
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

const char kScannerAddress[] = "127.0.0.60";
const int kDaemonPort = 7060;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

pid_t spawn(const std::vector<std::string> &args, char **environment)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), environment) != 0)
        return -1;
    return pid;
}

int connectTo(const char *address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &target.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&target), sizeof(target)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool receiveAll(int fd, void *buffer, size_t length)
{
    auto *bytes = static_cast<char *>(buffer);
    while (length > 0) {
        ssize_t got = recv(fd, bytes, length, 0);
        if (got <= 0)
            return false;
        bytes += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

bool sendAll(int fd, const void *buffer, size_t length)
{
    return send(fd, buffer, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

template <typename Ready>
bool waitFor(Ready ready, double seconds)
{
    Clock::time_point start = Clock::now();
    while (secondsSince(start) < seconds) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

using scan_test_support::readFile;

std::vector<pid_t> daemonProcesses()
{
    return scan_test_support::daemonProcesses(SCAN_DAEMON, kDaemonPort);
}

long residentKiB(pid_t pid)
{
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

struct Round {
    double seconds = 0;
    uint64_t bytes = 0;
    bool ok = false;
};

// Two baselines: a copy loop reading the block size as it comes, and one that
// reads 1 MiB pieces, waiting for each to fill, so it pays fewer calls per byte
// than the daemon can: a bound the daemon can approach.
Round plainCopy(const std::string &target, size_t pieceBytes, int flags)
{
    Round round;
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Clock::time_point start = Clock::now();
    int channel = connectTo(kScannerAddress, 2080);
    if (channel < 0 || out < 0)
        return round;
    std::vector<char> buffer(pieceBytes);
    round.ok = true;
    while (true) {
        ssize_t got = recv(channel, buffer.data(), buffer.size(), flags);
        if (got <= 0)
            break;
        if (write(out, buffer.data(), static_cast<size_t>(got)) != got) {
            round.ok = false;
            break;
        }
        round.bytes += static_cast<uint64_t>(got);
    }
    close(out);
    round.seconds = secondsSince(start);
    close(channel);
    unlink(target.c_str());
    return round;
}

// With `peakKiB`, samples the daemon's resident memory while it scans (walking
// /proc costs time, so those rounds are not timed against the baseline).
Round daemonScan(uint64_t expectedBytes, int pages, std::atomic<long> *peakKiB)
{
    Round round;
    int client = connectTo("127.0.0.1", kDaemonPort);
    if (client < 0)
        return round;
    int32_t command = TCP_SCAN_START;
    TCPScanStartReq request{};
    request.socket.tcpFromScanner = -1;
    std::snprintf(request.socket.szScannerIP, sizeof(request.socket.szScannerIP), "%s", kScannerAddress);
    request.info.bitDepth = 24;
    request.info.compType = COMPRESSION_NONE;
    request.info.width = 2550;
    request.info.height = 3508;
    request.info.xResolution = 300;
    request.info.yResolution = 300;
    request.info.feederEnabled = true;
    request.info.isClient = 1;

    std::atomic<bool> scanning{true};
    std::thread sampler([&] {
        while (peakKiB && scanning) {
            for (pid_t pid : daemonProcesses())
                *peakKiB = std::max(peakKiB->load(), residentKiB(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    Clock::time_point start = Clock::now();
    TCPScanStartRes response{};
    TCPRecordRes record{};
    bool sent = sendAll(client, &command, sizeof(command)) && sendAll(client, &request, sizeof(request));
    if (sent && receiveAll(client, &response, sizeof(response)) && response.result == 0) {
        while (receiveAll(client, &record, sizeof(record))) {
            round.bytes += static_cast<uint64_t>(std::max(record.bufferLen, 0));
            if (record.result != 0)
                break;
        }
    }
    round.seconds = secondsSince(start);
    scanning = false;
    sampler.join();
    close(client);

    std::string baseName(response.fileName, strnlen(response.fileName, sizeof(response.fileName)));
    uint64_t onDisk = 0;
    for (int page = 0; page < pages; ++page) {
        std::string name = baseName + "_" + std::to_string(page) + ".tmp";
        struct stat info;
        if (stat(name.c_str(), &info) == 0)
            onDisk += static_cast<uint64_t>(info.st_size);
        unlink(name.c_str());
    }
    round.ok = record.result == ruvo_wire::RESULT_END_OF_SCAN && round.bytes == expectedBytes && onDisk == expectedBytes;
    if (!round.ok)
        std::fprintf(stderr, "daemon scan: start %d, last result %d, %llu bytes reported, %llu on disk\n",
                     response.result, record.result, static_cast<unsigned long long>(round.bytes),
                     static_cast<unsigned long long>(onDisk));
    return round;
}

double mibPerSecond(const Round &round)
{
    return round.seconds > 0 ? static_cast<double>(round.bytes) / (1024.0 * 1024.0) / round.seconds : 0;
}

} // namespace

int main(int argc, char **argv)
{
    const char *isolated = std::getenv("RUVO_ISOLATED");
    if (!isolated || std::strcmp(isolated, "1") != 0) {
        std::vector<char *> args = {const_cast<char *>(ISOLATED_RUN)};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(ISOLATED_RUN, args.data());
        std::perror("net-scan-bench: cannot run isolated");
        return 1;
    }

    uint64_t pageMiB = 64;
    uint64_t blockKiB = 64;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--page-mib"))
            pageMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--block-kib"))
            blockKiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[i + 1]);
    }
    const int pages = 3;
    const uint64_t pageBytes = pageMiB * 1024 * 1024;
    const size_t blockBytes = static_cast<size_t>(blockKiB * 1024);
    if (blockBytes == 0 || blockBytes > 999999 || pageBytes == 0 || rounds < 1) {
        std::fprintf(stderr, "net-scan-bench: blocks are 1 to 976 KiB, pages and rounds at least 1\n");
        return 2;
    }
    scan_test_support::makeDirectories(ruvo_paths::kScanDir);
    signal(SIGPIPE, SIG_IGN);

    pid_t simulator = spawn({NET_SCANNER_SIM, "--address", kScannerAddress, "--pages", std::to_string(pages),
                             "--page-size", std::to_string(pageBytes), "--block-sizes", std::to_string(blockBytes),
                             "--ready-file", "/tmp/net-scan-bench-sim.ready"},
                            environ);
    std::vector<std::string> daemonEnvironment;
    for (char **entry = environ; *entry; ++entry)
        daemonEnvironment.push_back(*entry);
    daemonEnvironment.push_back("RUVO_SCAN_DAEMON_PORT=" + std::to_string(kDaemonPort));
    std::vector<char *> daemonEnv;
    for (std::string &entry : daemonEnvironment)
        daemonEnv.push_back(entry.data());
    daemonEnv.push_back(nullptr);
    pid_t daemonStarter = spawn({SCAN_DAEMON}, daemonEnv.data());

    int status = 1;
    struct stat info;
    bool simReady = waitFor([&] { return stat("/tmp/net-scan-bench-sim.ready", &info) == 0; }, 10);
    bool daemonReady = waitFor([&] {
        int fd = connectTo("127.0.0.1", kDaemonPort);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    }, 10);
    if (daemonStarter > 0)
        waitpid(daemonStarter, nullptr, 0); // the starter exits once the daemon has detached
    if (!simReady || !daemonReady) {
        std::fprintf(stderr, "net-scan-bench: the %s did not start\n", simReady ? "daemon" : "simulated scanner");
    } else {
        long idleKiB = 0;
        for (pid_t pid : daemonProcesses())
            idleKiB = std::max(idleKiB, residentKiB(pid));
        const uint64_t expected = pageBytes * pages;
        Round bestPlain, bestBulk, bestDaemon;
        std::atomic<long> peakKiB{0};
        bool allOk = true;
        std::vector<double> ratios;
        std::vector<double> bulkRatios;
        for (int round = 0; round < rounds; ++round) {
            Round plain = plainCopy("/tmp/net-scan-bench-plain.bin", blockBytes, 0);
            Round bulk = plainCopy("/tmp/net-scan-bench-plain.bin", 1024 * 1024, MSG_WAITALL);
            Round daemon = daemonScan(expected, pages, nullptr);
            allOk = allOk && plain.ok && bulk.ok && daemon.ok;
            std::printf("round %d: plain copy %.1f MiB/s, 1 MiB-piece copy %.1f MiB/s, daemon scan %.1f MiB/s\n",
                        round + 1, mibPerSecond(plain), mibPerSecond(bulk), mibPerSecond(daemon));
            if (mibPerSecond(plain) > 0)
                ratios.push_back(mibPerSecond(daemon) / mibPerSecond(plain));
            if (mibPerSecond(bulk) > 0)
                bulkRatios.push_back(mibPerSecond(daemon) / mibPerSecond(bulk));
            if (mibPerSecond(plain) > mibPerSecond(bestPlain))
                bestPlain = plain;
            if (mibPerSecond(bulk) > mibPerSecond(bestBulk))
                bestBulk = bulk;
            if (mibPerSecond(daemon) > mibPerSecond(bestDaemon))
                bestDaemon = daemon;
        }
        allOk = daemonScan(expected, pages, &peakKiB).ok && allOk;
        std::printf("stream: %d pages of %llu MiB in %zu KiB blocks\n", pages,
                    static_cast<unsigned long long>(pageMiB), blockBytes / 1024);
        std::printf("best plain copy (%zu KiB reads):   %.1f MiB/s\n", blockBytes / 1024, mibPerSecond(bestPlain));
        std::printf("best 1 MiB-piece copy:          %.1f MiB/s\n", mibPerSecond(bestBulk));
        std::printf("best daemon scan:               %.1f MiB/s\n", mibPerSecond(bestDaemon));
        auto ratio = [&](const Round &base) {
            return mibPerSecond(base) > 0 ? mibPerSecond(bestDaemon) / mibPerSecond(base) : 0.0;
        };
        auto summary = [](std::vector<double> values, const char *what) {
            if (values.empty())
                return;
            std::sort(values.begin(), values.end());
            double median = values.size() % 2 ? values[values.size() / 2]
                                              : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
            std::printf("ratio daemon/%s per round: median %.3f, spread %.3f-%.3f over %zu rounds\n", what, median,
                        values.front(), values.back(), values.size());
        };
        summary(ratios, "plain copy");
        summary(bulkRatios, "1 MiB-piece copy");
        std::printf("ratio of the best rounds, daemon/plain copy: %.3f (aim: at least 0.9)\n", ratio(bestPlain));
        std::printf("ratio of the best rounds, daemon/1 MiB-piece copy: %.3f\n", ratio(bestBulk));
        std::printf("daemon resident memory: %ld KiB idle, %ld KiB peak while scanning (largest block %zu KiB)\n",
                    idleKiB, peakKiB.load(), blockBytes / 1024);
        if (!allOk)
            std::printf("some round did not deliver every byte: see the messages above\n");
        status = allOk ? 0 : 1;
    }

    for (pid_t pid : daemonProcesses())
        kill(pid, SIGKILL);
    if (simulator > 0) {
        kill(simulator, SIGTERM);
        waitpid(simulator, nullptr, 0);
    }
    return status;
}
