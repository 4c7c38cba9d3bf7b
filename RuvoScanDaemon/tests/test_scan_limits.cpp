// What bounds a connection and its scans: time limits on a quiet client, the
// send time-out of a data process, the one record loop with its page files
// (ownership, byte cap, free-space floor), the sweep of old pages, and the
// data process handle that never signals a process it has reaped.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "net_sim_harness.h"
#include "scan_connection.h"
#include "scan_data_process.h"
#include "scan_record_loop.h"
#include "scan_log.h"
#include "scan_pages.h"
#include "scan_test_support.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using net_test::Simulator;
using net_test::waitFor;
using scan_test_support::exists;
using scan_test_support::makeDirectories;
using scan_test_support::readFile;
using scan_test_support::writeFile;

namespace {

const std::string kRoot = "/tmp/scan-limits";
const std::string kLogs = kRoot + "/logs";
const std::string kScanDir = kRoot + "/scan";

void prepare()
{
    scan_test_support::prepareOnce(kLogs, kScanDir, RuvoInitDbg);
}

bool infoLogged(const std::string &text)
{
    return readFile(kLogs + "/ruvo_scan_info.log").find("[RuvoScanSDK] " + text + "\n") != std::string::npos;
}

bool errorLogged(const std::string &text)
{
    return readFile(kLogs + "/ruvo_scan_err.log").find("[RuvoScanSDK] " + text + "\n") != std::string::npos;
}

bool alive(pid_t pid)
{
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

// A connection process with the given limits, serving one end of a socket pair.
class Connection {
public:
    explicit Connection(const ConnectionLimits &limits, int sendBuffer = 0)
    {
        prepare();
        int pair[2];
        REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
        if (sendBuffer > 0)
            setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
        m_pid = fork();
        if (m_pid == 0) {
            close(pair[0]);
            RuvoReopenDbg();
            ServeConnection(pair[1], kScanDir, limits);
            _exit(0);
        }
        close(pair[1]);
        m_fd = pair[0];
    }
    ~Connection()
    {
        close(m_fd);
        if (m_pid > 0 && !waitFor([&] { return !alive(m_pid); }, 10)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }
    int fd() const { return m_fd; }
    bool ended() { return !alive(m_pid); }

    template <typename Body>
    void command(int32_t value, const Body &body)
    {
        std::vector<uint8_t> request(sizeof(value) + sizeof(body));
        std::memcpy(request.data(), &value, sizeof(value));
        std::memcpy(request.data() + sizeof(value), &body, sizeof(body));
        REQUIRE(::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()));
    }
    template <typename Record>
    bool receive(Record &record, int timeoutMs = 20000)
    {
        auto *bytes = reinterpret_cast<uint8_t *>(&record);
        size_t done = 0;
        while (done < sizeof(record)) {
            pollfd waiting{m_fd, POLLIN, 0};
            if (poll(&waiting, 1, timeoutMs) <= 0)
                return false;
            ssize_t got = recv(m_fd, bytes + done, sizeof(record) - done, 0);
            if (got <= 0)
                return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
};

TCPScanStartReq networkStart(const char *address)
{
    TCPScanStartReq request{};
    request.socket.tcpFromScanner = -1;
    std::snprintf(request.socket.szScannerIP, sizeof(request.socket.szScannerIP), "%s", address);
    request.info.bitDepth = 8;
    request.info.xResolution = 300;
    request.info.yResolution = 300;
    return request;
}

// A scanner for the record loop: the given reads, then end of data.
class ScriptedSource : public ScanRecordSource {
public:
    void add(int32_t status, size_t length, int result = ruvo_wire::RESULT_GOOD, bool fresh = true)
    {
        m_reads.push_back({result, status, fresh, length});
    }
    // After the script: data records of `length` bytes for ever.
    void endlessData(size_t length) { m_endless = length; }
    ScanRecordRead next() override
    {
        ScanRecordRead read;
        if (m_reads.empty()) {
            if (m_endless == 0) {
                read.result = ruvo_wire::RESULT_END_OF_SCAN;
                read.status = SCAN_STATUS_END_OF_DATA;
                return read;
            }
            m_bytes.assign(m_endless, 0x5A);
            read.data = m_bytes.data();
            read.length = m_endless;
            return read;
        }
        Step step = m_reads.front();
        m_reads.pop_front();
        m_bytes.assign(step.length, static_cast<uint8_t>(0x30 + m_reads.size() % 10));
        read.result = step.result;
        read.status = step.status;
        read.fresh = step.fresh;
        read.data = m_bytes.data();
        read.length = step.length;
        return read;
    }

private:
    struct Step {
        int result;
        int32_t status;
        bool fresh;
        size_t length;
    };
    std::deque<Step> m_reads;
    std::vector<uint8_t> m_bytes;
    size_t m_endless = 0;
};

// Runs the loop with the client end of a socket pair collecting every record.
struct LoopRun {
    ScanLoopOutcome outcome;
    std::vector<USBScanRecordRes> records;
    int announcedBeforeRecord = -1;
};

LoopRun runLoop(ScriptedSource &source, PageFiles &pages)
{
    prepare();
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    // Records are read after the loop: room for all of them.
    int room = 4 * 1024 * 1024;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    LoopRun run;
    size_t sentBefore = 0;
    auto countSent = [&] {
        int queued = 0;
        ioctl(pair[1], FIONREAD, &queued);
        sentBefore = static_cast<size_t>(queued) / sizeof(USBScanRecordRes);
        run.announcedBeforeRecord = static_cast<int>(sentBefore);
    };
    run.outcome = RunScanRecordLoop(source, pages, RecordLayout::Usb, pair[0], 2000, countSent);
    close(pair[0]);
    USBScanRecordRes record{};
    while (recv(pair[1], &record, sizeof(record), MSG_WAITALL) == ssize_t(sizeof(record)))
        run.records.push_back(record);
    close(pair[1]);
    return run;
}

std::string baseIn(const std::string &directory, int index)
{
    return ruvo_wire::ScanBaseName(directory, 424242, index);
}

} // namespace

SCAN_TEST(aClientThatSendsNothingIsClosed)
{
    ConnectionLimits limits;
    limits.firstCommandMs = 300;
    Connection connection(limits);
    CHECK(waitFor([&] { return connection.ended(); }, 5));
    CHECK(infoLogged("pid:" + std::to_string(connection.pid()) + " no command within the time limit"));
    char byte;
    CHECK_EQ(recv(connection.fd(), &byte, 1, 0), ssize_t(0));
}

SCAN_TEST(idleTimeRunsOnlyWhileNoScanRuns)
{
    Simulator sim("127.0.0.61", {"--pages", "2", "--page-size", "20000", "--block-sizes", "1000", "--fault", "stall"});
    ConnectionLimits limits;
    limits.idleMs = 600;
    Connection connection(limits);
    // A question, then quiet: the idle time runs out.
    {
        Connection quiet(limits);
        quiet.command(USB_FIND_DEV, USBFindDevReq{0x7e57, 0x0001, 1, {0, 0, 0}});
        int32_t count = 1;
        CHECK(quiet.receive(count));
        CHECK(waitFor([&] { return quiet.ended(); }, 5));
    }
    TCPScanStartReq start = networkStart("127.0.0.61");
    connection.command(TCP_SCAN_START, start);
    TCPScanStartRes started{};
    REQUIRE(connection.receive(started));
    REQUIRE(started.result == 0);
    REQUIRE(sim.sawEvent("record-stalled"));
    // Quiet far longer than the idle time while the scan runs: still served.
    usleep(2000 * 1000);
    CHECK(!connection.ended());
    std::vector<pid_t> scans = scan_test_support::liveChildren(connection.pid());
    CHECK_EQ(scans.size(), size_t(1));
    // The abort ends the scan; from then on the idle time runs again.
    TCPScanAbortReq abort{};
    abort.socket = start.socket;
    std::snprintf(abort.fileName, sizeof(abort.fileName), "%s", started.fileName);
    connection.command(TCP_SCAN_ABORT, abort);
    CHECK(waitFor([&] { return connection.ended(); }, 10));
}

SCAN_TEST(aDataProcessWhoseClientStopsReadingEnds)
{
    Simulator sim("127.0.0.62", {"--pages", "50", "--page-size", "100000", "--block-sizes", "100"});
    ConnectionLimits limits;
    limits.sendStallMs = 500;
    Connection connection(limits, 4096);
    TCPScanStartReq start = networkStart("127.0.0.62");
    connection.command(TCP_SCAN_START, start);
    TCPScanStartRes started{};
    REQUIRE(connection.receive(started));
    REQUIRE(started.result == 0);
    // The client reads nothing more: the data process gives up its record
    // after the stall time and ends; the connection stays.
    std::vector<pid_t> scans;
    REQUIRE(waitFor([&] { return !(scans = scan_test_support::liveChildren(connection.pid())).empty(); }, 5));
    CHECK(waitFor([&] { return scan_test_support::liveChildren(connection.pid()).empty(); }, 20));
    CHECK(errorLogged("send scan data len err"));
    CHECK(!connection.ended());
    CHECK(sim.sawEvent("record-closed-by-host"));
}

SCAN_TEST(recordLoopWritesPagesAndAnnouncesTheLastRecord)
{
    prepare();
    ScriptedSource source;
    source.add(SCAN_STATUS_BEGIN_OF_SCAN, 0);
    source.add(SCAN_STATUS_BEGIN_OF_PAGE, 0);
    source.add(SCAN_STATUS_OPERATION_CONTINUOUS, 700);
    source.add(SCAN_STATUS_OPERATION_CONTINUOUS, 300);
    source.add(SCAN_STATUS_BEGIN_OF_PAGE, 0, ruvo_wire::RESULT_GOOD, false); // no record read: no new page
    source.add(SCAN_STATUS_END_OF_PAGE, 0);
    source.add(SCAN_STATUS_BEGIN_OF_PAGE, 0);
    source.add(SCAN_STATUS_OPERATION_CONTINUOUS, 50);
    PageOwner owner{true, geteuid()};
    PageFiles pages(baseIn(kScanDir, 1), owner, 1 << 20);
    LoopRun run = runLoop(source, pages);
    CHECK_EQ(run.outcome.result, ruvo_wire::RESULT_END_OF_SCAN);
    CHECK(run.outcome.scannerEnded);
    REQUIRE(run.records.size() == 9u);
    const int32_t expectedIndex[] = {0, 0, 1, 1, 1, 1, 1, 2, 2};
    for (size_t i = 0; i < run.records.size(); ++i)
        CHECK_EQ(run.records[i].fileIndex, expectedIndex[i]);
    CHECK_EQ(run.records.back().result, ruvo_wire::RESULT_END_OF_SCAN);
    // Announced with every record but the last already sent.
    CHECK_EQ(run.announcedBeforeRecord, 8);
    CHECK_EQ(readFile(ruvo_wire::PageFileName(baseIn(kScanDir, 1), 0)).size(), size_t(1000));
    CHECK_EQ(readFile(ruvo_wire::PageFileName(baseIn(kScanDir, 1), 1)).size(), size_t(50));
    CHECK(!exists(ruvo_wire::PageFileName(baseIn(kScanDir, 1), 2)));
}

SCAN_TEST(pageFileThatCannotBeCreatedGivesElevenOnEveryPath)
{
    prepare();
    struct Row {
        const char *name;
        int32_t firstStatus;
    };
    // Data before any begin-of-page record, and a begin-of-page record.
    const Row rows[] = {{"data first", SCAN_STATUS_OPERATION_CONTINUOUS}, {"page first", SCAN_STATUS_BEGIN_OF_PAGE}};
    for (const Row &row : rows) {
        ScriptedSource source;
        source.add(row.firstStatus, row.firstStatus == SCAN_STATUS_BEGIN_OF_PAGE ? 0 : 500);
        PageFiles pages(baseIn(kRoot + "/no-such-directory", 0), PageOwner{}, 1 << 20);
        LoopRun run = runLoop(source, pages);
        if (run.records.size() != 1)
            std::fprintf(stderr, "  row %s\n", row.name);
        REQUIRE(run.records.size() == 1u);
        CHECK_EQ(run.records[0].result, ruvo_wire::RESULT_ACCESS_DENIED);
        CHECK_EQ(run.records[0].dataSize, 0);
        CHECK_EQ(run.records[0].fileIndex, 0);
        CHECK_EQ(run.outcome.result, ruvo_wire::RESULT_ACCESS_DENIED);
        CHECK(!run.outcome.scannerEnded);
    }
}

SCAN_TEST(scanBytesStopAtTheirCap)
{
    ScriptedSource source;
    source.add(SCAN_STATUS_BEGIN_OF_PAGE, 0);
    source.endlessData(4096);
    PageFiles pages(baseIn(kScanDir, 2), PageOwner{true, geteuid()}, 10 * 4096);
    LoopRun run = runLoop(source, pages);
    CHECK_EQ(run.outcome.result, ruvo_wire::RESULT_NO_MEMORY);
    CHECK(!run.outcome.scannerEnded);
    REQUIRE(run.records.size() == 12u);
    CHECK_EQ(run.records.back().result, ruvo_wire::RESULT_NO_MEMORY);
    CHECK_EQ(run.records.back().dataSize, 0);
    CHECK_EQ(readFile(ruvo_wire::PageFileName(baseIn(kScanDir, 2), 0)).size(), size_t(10 * 4096));
}

SCAN_TEST(pagesStopAboveTheFreeSpaceFloor)
{
    prepare();
    const std::string small = kRoot + "/small-fs";
    makeDirectories(small);
    REQUIRE(mount("none", small.c_str(), "tmpfs", 0, "size=2m") == 0);
    ScriptedSource source;
    source.add(SCAN_STATUS_BEGIN_OF_PAGE, 0);
    source.endlessData(65536);
    PageFiles pages(baseIn(small, 0), PageOwner{true, geteuid()}, 1ull << 40);
    LoopRun run = runLoop(source, pages);
    CHECK_EQ(run.outcome.result, ruvo_wire::RESULT_NO_MEMORY);
    struct statvfs space;
    REQUIRE(statvfs(small.c_str(), &space) == 0);
    uint64_t total = static_cast<uint64_t>(space.f_blocks) * space.f_frsize;
    uint64_t available = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    CHECK(available >= total / 20);
    CHECK(readFile(ruvo_wire::PageFileName(baseIn(small, 0), 0)).size() > total / 2);
    umount(small.c_str());
}

SCAN_TEST(pageFilesBelongToTheClientsUser)
{
    prepare();
    const uid_t client = 4242;
    {
        PageFiles pages(baseIn(kScanDir, 3), PageOwner{true, client}, 1 << 20);
        REQUIRE(pages.begin());
        struct stat info;
        REQUIRE(stat(ruvo_wire::PageFileName(baseIn(kScanDir, 3), 0).c_str(), &info) == 0);
        CHECK_EQ(info.st_uid, client);
        CHECK_EQ(info.st_mode & 07777, mode_t(0600));
    }
    {
        // The client's user unknown: no page for anyone, none readable by all.
        PageFiles pages(baseIn(kScanDir, 4), PageOwner{}, 1 << 20);
        CHECK(!pages.begin());
        struct stat info;
        REQUIRE(stat(ruvo_wire::PageFileName(baseIn(kScanDir, 4), 0).c_str(), &info) == 0);
        CHECK_EQ(info.st_mode & 07777, mode_t(0600));
        CHECK_EQ(info.st_uid, geteuid());
    }
    {
        // A leftover of the same name is never removed nor written.
        const std::string leftover = ruvo_wire::PageFileName(baseIn(kScanDir, 5), 0);
        writeFile(leftover, "earlier");
        PageFiles pages(baseIn(kScanDir, 5), PageOwner{true, client}, 1 << 20);
        CHECK(!pages.begin());
        CHECK_EQ(readFile(leftover), std::string("earlier"));
    }
}

SCAN_TEST(withoutChownPagesStillReachOnlyTheClientsUser)
{
    prepare();
    const uid_t daemonUser = 4000, client = 4343, stranger = 4444;
    const std::string directory = kRoot + "/service-account";
    makeDirectories(directory);
    REQUIRE(chown(directory.c_str(), daemonUser, daemonUser) == 0);
    chmod(directory.c_str(), 0755);
    const std::string page = ruvo_wire::PageFileName(baseIn(directory, 0), 0);
    // A daemon running as its own account without CAP_CHOWN.
    pid_t daemon = fork();
    if (daemon == 0) {
        if (setgid(daemonUser) != 0 || setuid(daemonUser) != 0)
            _exit(3);
        PageFiles pages(baseIn(directory, 0), PageOwner{true, client}, 1 << 20);
        _exit(pages.begin() && pages.append(reinterpret_cast<const uint8_t *>("scan"), 4) == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(daemon, &status, 0);
    REQUIRE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto canRead = [&](uid_t user) {
        pid_t reader = fork();
        if (reader == 0) {
            if (setgid(user) != 0 || setuid(user) != 0)
                _exit(3);
            int fd = open(page.c_str(), O_RDONLY);
            _exit(fd >= 0 ? 0 : 1);
        }
        int readerStatus = -1;
        waitpid(reader, &readerStatus, 0);
        return WIFEXITED(readerStatus) && WEXITSTATUS(readerStatus) == 0;
    };
    struct stat info;
    REQUIRE(stat(page.c_str(), &info) == 0);
    CHECK_EQ(info.st_uid, daemonUser);
    CHECK(getxattr(page.c_str(), "system.posix_acl_access", nullptr, 0) > 0);
    CHECK(canRead(client));
    CHECK(!canRead(stranger));
}

SCAN_TEST(withoutAccessListsAPageStaysTheServicesAndTheScanEnds)
{
    prepare();
    const uid_t daemonUser = 4001, client = 4344;
    const std::string directory = kRoot + "/no-access-lists";
    makeDirectories(directory);
    // ramfs keeps no extended attributes, so no access list either.
    REQUIRE(mount("ramfs", directory.c_str(), "ramfs", 0, "mode=0755") == 0);
    REQUIRE(chown(directory.c_str(), daemonUser, daemonUser) == 0);
    const std::string page = ruvo_wire::PageFileName(baseIn(directory, 0), 0);
    pid_t daemon = fork();
    if (daemon == 0) {
        RuvoReopenDbg(); // the logs are not the service account's in this test
        if (setgid(daemonUser) != 0 || setuid(daemonUser) != 0)
            _exit(3);
        PageFiles pages(baseIn(directory, 0), PageOwner{true, client}, 1 << 20);
        _exit(pages.begin() ? 0 : 1);
    }
    int status = -1;
    waitpid(daemon, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    struct stat info;
    CHECK(stat(page.c_str(), &info) == 0 && info.st_uid == daemonUser && (info.st_mode & 07777) == 0600);
    CHECK(readFile(kLogs + "/ruvo_scan_err.log").find("scan refused: page files of " + baseIn(directory, 0)) !=
          std::string::npos);
    umount(directory.c_str());
}

SCAN_TEST(onlyWellFormedCommandsKeepAConnection)
{
    ConnectionLimits limits;
    limits.firstCommandMs = 600;
    limits.idleMs = 600;
    // Undefined commands, short bodies and foreign handles every 150 ms: the
    // idle time runs out all the same.
    Connection junk(limits);
    // A search for a vendor that has no device is a well-formed question.
    Connection kept(limits);
    USBFindDevReq nothing{0x7e57, 0x0001, 1, {0, 0, 0}};
    for (int round = 0; round < 12; ++round) {
        if (!junk.ended()) {
            int32_t values[] = {99, -5};
            ::send(junk.fd(), &values[round % 2], sizeof(int32_t), MSG_NOSIGNAL);
            if (round % 3 == 2)
                junk.command(USB_CLOSE_DEV, USBCommonReq{77});
        }
        kept.command(USB_FIND_DEV, nothing);
        int32_t count = 1;
        CHECK(kept.receive(count));
        CHECK(count <= 0); // none, or no device folder at all
        usleep(150 * 1000);
    }
    CHECK(junk.ended());
    CHECK(!kept.ended());
}

SCAN_TEST(pagesOlderThanADayAreSwept)
{
    prepare();
    const std::string directory = kRoot + "/sweep";
    makeDirectories(directory);
    const std::string old = directory + "/ruvoscandata_5_0_0.tmp";
    const std::string recent = directory + "/ruvoscandata_5_1_0.tmp";
    const std::string notAPage = directory + "/notes.tmp";
    for (const std::string &path : {old, recent, notAPage}) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        close(fd);
    }
    time_t now = time(nullptr);
    timespec twoDaysAgo[2] = {{now - 2 * 86400, 0}, {now - 2 * 86400, 0}};
    utimensat(AT_FDCWD, old.c_str(), twoDaysAgo, 0);
    utimensat(AT_FDCWD, notAPage.c_str(), twoDaysAgo, 0);
    CHECK_EQ(SweepOldPages(directory, now - 86400), 1);
    CHECK(!exists(old));
    CHECK(exists(recent));
    CHECK(exists(notAPage));
}

SCAN_TEST(aReapedDataProcessIsNeverSignalled)
{
    // In a pid namespace of its own, the next process id can be chosen: a
    // process is made to take the id the ended data process had.
    pid_t outer = fork();
    if (outer == 0) {
        if (unshare(CLONE_NEWPID) != 0)
            _exit(2);
        pid_t init = fork();
        if (init == 0) {
            // The namespace's first process only waits; the test runs in its child.
            pid_t worker = fork();
            if (worker == 0) {
                signal(SIGCHLD, SIG_DFL);
                DataProcess data;
                if (!data.start([] { return 0; }))
                    _exit(3);
                pid_t former = data.id();
                data.release();
                while (data.running())
                    usleep(1000);
                if (data.id() != 0)
                    _exit(4);
                int nsLastPid = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
                std::string previous = std::to_string(former - 1);
                if (nsLastPid < 0 || write(nsLastPid, previous.data(), previous.size()) < 0)
                    _exit(5);
                close(nsLastPid);
                pid_t bystander = fork();
                if (bystander == 0) {
                    pause();
                    _exit(0);
                }
                if (bystander != former)
                    _exit(6);
                data.stop();
                usleep(100 * 1000);
                int status = 0;
                bool untouched = waitpid(bystander, &status, WNOHANG) == 0;
                kill(bystander, SIGKILL);
                waitpid(bystander, nullptr, 0);
                _exit(untouched ? 0 : 7);
            }
            int status = -1;
            waitpid(worker, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 9);
        }
        int status = -1;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 9);
    }
    int status = -1;
    waitpid(outer, &status, 0);
    REQUIRE(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 0);
}

namespace {

// A scanner read that takes a while and marks its start and end on `marks`,
// so the test sees whether a data process was stopped inside one.
class MarkedTransfers : public ScanRecordSource {
public:
    MarkedTransfers(int marks, useconds_t transferUs, bool endless) : m_marks(marks), m_us(transferUs), m_endless(endless) {}
    ScanRecordRead next() override
    {
        char begin = 'B';
        char end = 'E';
        (void)!write(m_marks, &begin, 1);
        // A transfer a stop request does not cut short (as in the kernel).
        do {
            usleep(m_us);
        } while (m_endless);
        (void)!write(m_marks, &end, 1);
        ScanRecordRead read;
        read.data = m_bytes;
        read.length = sizeof(m_bytes);
        return read;
    }

private:
    int m_marks;
    useconds_t m_us;
    bool m_endless;
    uint8_t m_bytes[64] = {};
};

struct InterruptRun {
    std::optional<int> exitStatus; // nullopt: it had to be killed
    std::string marks;
    bool stillRunning = true;
};

// True once `process` has waited in sendto for a while.
bool waitingInSend(pid_t process)
{
    std::string path = "/proc/" + std::to_string(process) + "/syscall";
    for (int tries = 0; tries < 600; ++tries) {
        std::string first = readFile(path);
        if (first.rfind("44 ", 0) == 0) {
            usleep(100 * 1000);
            if (readFile(path) == first)
                return true;
        }
        usleep(50 * 1000);
    }
    return false;
}

// Starts a data process reading MarkedTransfers into a page of `index`,
// waits for its `beginsBeforeStop`-th transfer (0: until it waits to send a
// record its client does not read), then interrupts it.
InterruptRun interruptDataProcess(int index, useconds_t transferUs, bool endless, int clientBuffer,
                                  int beginsBeforeStop, int graceMs)
{
    prepare();
    int marks[2];
    REQUIRE(pipe2(marks, O_CLOEXEC) == 0);
    int pair[2];
    REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    if (clientBuffer > 0) {
        setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &clientBuffer, sizeof(clientBuffer));
        setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &clientBuffer, sizeof(clientBuffer));
    }
    std::string base = baseIn(kScanDir, index);
    int connection = pair[0];
    int markWrite = marks[1];
    DataProcess data;
    REQUIRE(data.start([=] {
        MarkedTransfers source(markWrite, transferUs, endless);
        PageFiles pages(base, PageOwner{true, geteuid()}, 1ull << 30);
        return RunScanRecordLoop(source, pages, RecordLayout::Usb, connection, 60 * 1000).scannerEnded ? 0 : 1;
    }));
    pid_t child = data.id();
    data.release();
    close(marks[1]);
    InterruptRun run;
    char mark;
    int begins = 0;
    if (beginsBeforeStop == 0)
        REQUIRE(waitingInSend(child));
    while (begins < beginsBeforeStop && read(marks[0], &mark, 1) == 1) {
        run.marks += mark;
        begins += mark == 'B';
    }
    data.interrupt(graceMs);
    run.stillRunning = data.running();
    run.exitStatus = data.lastExitStatus();
    // The writing end closed with the child: everything it marked is here.
    while (read(marks[0], &mark, 1) == 1)
        run.marks += mark;
    close(marks[0]);
    close(pair[0]);
    close(pair[1]);
    return run;
}

size_t countOf(const std::string &text, char wanted)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), wanted));
}

} // namespace

SCAN_TEST(anInterruptedDataProcessEndsBetweenTwoTransfers)
{
    // Told to stop in the middle of a transfer, it finishes that one and
    // starts no other, and ends by itself long before the grace runs out.
    InterruptRun run = interruptDataProcess(40, 50 * 1000, false, 0, 4, 20 * 1000);
    CHECK(!run.stillRunning);
    CHECK(run.exitStatus.has_value());
    CHECK_EQ(run.exitStatus.value_or(-1), 1);
    CHECK(run.marks.size() >= 8);
    CHECK_EQ(countOf(run.marks, 'B'), countOf(run.marks, 'E'));
    CHECK(run.marks.size() <= 12);
    CHECK_EQ(run.marks.back(), 'E');
}

SCAN_TEST(anInterruptedDataProcessGivesUpARecordItsClientDoesNotTake)
{
    // The client reads nothing: the process waits in send() (60 s allowed)
    // when it is told to stop, and must end then rather than be killed.
    InterruptRun run = interruptDataProcess(41, 100, false, 65536, 0, 20 * 1000);
    CHECK(!run.stillRunning);
    CHECK(run.exitStatus.has_value());
    CHECK(!run.marks.empty());
    CHECK_EQ(countOf(run.marks, 'B'), countOf(run.marks, 'E'));
}

SCAN_TEST(aDataProcessStuckInATransferIsKilledAfterTheGrace)
{
    InterruptRun run = interruptDataProcess(42, 20 * 1000, true, 0, 1, 300);
    CHECK(!run.stillRunning);
    CHECK(!run.exitStatus.has_value());
    CHECK_EQ(run.marks, std::string("B"));
}
