// The service loop over a socket pair (no daemon, no device), the device search
// over plain files, and the file deletion rules.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "client_io.h"
#include "ruvo_usb.h"
#include "scan_connection.h"
#include "scan_listener.h"
#include "scan_peer.h"
#include "scan_record_loop.h"
#include "scan_log.h"
#include "scan_rules.h"
#include "scan_test_support.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <optional>
#include <grp.h>
#include <sys/socket.h>
#include <sys/xattr.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kRoot = "/tmp/scan-service";
const std::string kLogs = kRoot + "/logs";
const std::string kScanDir = kRoot + "/scan";

using scan_test_support::exists;
using scan_test_support::makeDirectories;
using scan_test_support::writeFile;
using scan_test_support::readFile;

void prepare()
{
    scan_test_support::prepareOnce(kLogs, kScanDir, RuvoInitDbg);
}

// A connection process serving one end of a socket pair.
class LoopUnderTest {
public:
    explicit LoopUnderTest(const std::string &scanDir = kScanDir, std::optional<PageOwner> owner = std::nullopt)
    {
        prepare();
        int pair[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        m_serving = pair[1];
        m_child = fork();
        if (m_child == 0) {
            close(pair[0]);
            RuvoReopenDbg();
            if (owner)
                ServeConnection(pair[1], scanDir, ConnectionLimits{}, *owner);
            else
                ServeConnection(pair[1], scanDir);
            _exit(0);
        }
        close(pair[1]);
        m_fd = pair[0];
    }
    ~LoopUnderTest() { finish(); }

    // Closes our end and waits for the loop to end; returns its exit status.
    int finish()
    {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
        int status = -1;
        if (m_child > 0) {
            waitpid(m_child, &status, 0);
            m_child = -1;
        }
        return status;
    }

    void send(const void *bytes, size_t length) { CHECK_EQ(::send(m_fd, bytes, length, MSG_NOSIGNAL), ssize_t(length)); }

    template <typename Body>
    void command(int32_t value, const Body &body)
    {
        std::vector<uint8_t> request(sizeof(value) + sizeof(body));
        std::memcpy(request.data(), &value, sizeof(value));
        std::memcpy(request.data() + sizeof(value), &body, sizeof(body));
        send(request.data(), request.size());
    }

    bool receive(void *buffer, size_t length)
    {
        auto *bytes = static_cast<uint8_t *>(buffer);
        size_t done = 0;
        while (done < length) {
            pollfd waiting{m_fd, POLLIN, 0};
            if (poll(&waiting, 1, 20000) <= 0)
                return false;
            ssize_t got = recv(m_fd, bytes + done, length - done, 0);
            if (got <= 0)
                return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }

    int32_t result()
    {
        int32_t value = INT_MIN;
        CHECK(receive(&value, sizeof(value)));
        return value;
    }

    int fd() const { return m_fd; }
    int servingFd() const { return m_serving; }
    pid_t pid() const { return m_child; }

private:
    int m_fd = -1;
    int m_serving = -1;
    pid_t m_child = -1;
};

std::vector<uint8_t> descriptor(uint16_t vendor, uint16_t product)
{
    return {18, 1, 0, 2, 0, 0, 0, 64, static_cast<uint8_t>(vendor & 0xFF), static_cast<uint8_t>(vendor >> 8),
            static_cast<uint8_t>(product & 0xFF), static_cast<uint8_t>(product >> 8), 0, 1, 1, 2, 3, 1};
}

void writeDevice(const std::string &path, const std::vector<uint8_t> &bytes)
{
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

} // namespace

SCAN_TEST(hostileDeviceHandlesAreRefused)
{
    LoopUnderTest loop;
    // The loop's own socket, the standard descriptors, likely log descriptors
    // and values no process has.
    const int32_t hostile[] = {loop.servingFd(), 0, 1, 2, 3, 4, 5, 6, 7, -1, 4096, INT_MIN, INT_MAX};
    for (int32_t devfd : hostile) {
        USBCommonReq common{devfd};
        loop.command(USB_CLOSE_DEV, common);
        CHECK_EQ(loop.result(), 4);
        loop.command(USB_SCAN_UNLOCK, common);
        CHECK_EQ(loop.result(), 4);
        USBScanLockReq lock{};
        lock.devfd = devfd;
        loop.command(USB_SCAN_LOCK, lock);
        CHECK_EQ(loop.result(), 4);
        USBClearDevEpReq endpoint{devfd, 0x82};
        loop.command(USB_CLEAR_DEV, endpoint);
        CHECK_EQ(loop.result(), 4);
        loop.command(USB_RESET_DEVEP, endpoint);
        CHECK_EQ(loop.result(), 4);
        USBScanAbortReq abort{};
        abort.devfd = devfd;
        loop.command(USB_SCAN_ABORT, abort);
        CHECK_EQ(loop.result(), 4);
        loop.command(USB_SCAN_START, common);
        USBScanStartRes start{};
        CHECK(loop.receive(&start, sizeof(start)));
        CHECK_EQ(start.result, 4);
        loop.command(USB_SCAN_ADFSTATUS, common);
        USBScanAdfStatusRes feeder{};
        CHECK(loop.receive(&feeder, sizeof(feeder)));
        CHECK_EQ(feeder.result, 4);
        USBReopenDevReq reopen{};
        reopen.devfd = devfd;
        loop.command(USB_REOPEN_DEV, reopen);
        USBReopenDevRes reopened{};
        CHECK(loop.receive(&reopened, sizeof(reopened)));
        CHECK_EQ(reopened.ret, 4);
    }
    // Socket and logs survived: the loop still answers and still logs (after
    // so many refused requests, no longer each of them, but its end).
    loop.command(USB_OPEN_DEV, USBCommonReq{3});
    CHECK_EQ(loop.result(), 4);
    int32_t unknown = 77;
    loop.send(&unknown, sizeof(unknown));
    loop.command(USB_CLOSE_DEV, USBCommonReq{4});
    CHECK_EQ(loop.result(), 4);
    pid_t served = loop.pid();
    CHECK_EQ(loop.finish(), 0);
    CHECK(readFile(kLogs + "/ruvo_scan_info.log")
              .find("[RuvoScanSDK] pid:" + std::to_string(served) + " DISCONNECT FROM SERVER\n") != std::string::npos);
}

SCAN_TEST(unknownCommandsKeepTheConnectionUsable)
{
    LoopUnderTest loop;
    for (int32_t value : {20, -1, -5, 1000}) {
        loop.send(&value, sizeof(value));
        loop.command(USB_OPEN_DEV, USBCommonReq{9});
        CHECK_EQ(loop.result(), 4);
    }
    CHECK_EQ(loop.finish(), 0);
    std::string errors = readFile(kLogs + "/ruvo_scan_err.log");
    CHECK(errors.find("undefined scanCommandType -5\n") != std::string::npos);
    CHECK(errors.find("undefined scanCommandType 20\n") != std::string::npos);
}

SCAN_TEST(bodySplitAcrossSegmentsIsReceivedWhole)
{
    LoopUnderTest loop;
    int32_t command = USB_OPEN_DEV;
    int32_t devfd = 0x7FFF0001;
    uint8_t request[8];
    std::memcpy(request, &command, 4);
    std::memcpy(request + 4, &devfd, 4);
    loop.send(request, 6);
    // A pause so the two parts travel as separate segments.
    usleep(150 * 1000);
    loop.send(request + 6, 2);
    // Answered (4: not a handle of this connection) rather than dropped as short.
    CHECK_EQ(loop.result(), 4);
    // The next command is read from the right place.
    loop.command(USB_CLOSE_DEV, USBCommonReq{5});
    CHECK_EQ(loop.result(), 4);
}

SCAN_TEST(bodyThatStaysShortIsDroppedAndLogged)
{
    LoopUnderTest loop;
    int32_t command = USB_SCAN_LOCK;
    loop.send(&command, 4);
    uint8_t part[10] = {};
    loop.send(part, sizeof(part));
    shutdown(loop.fd(), SHUT_WR);
    int32_t nothing = 0;
    // No response for a short body; the loop ends when the peer is gone.
    CHECK(!loop.receive(&nothing, sizeof(nothing)));
    CHECK_EQ(loop.finish(), 0);
    CHECK(readFile(kLogs + "/ruvo_scan_err.log").find("[RuvoScanSDK] recv ScanLockReq err\n") != std::string::npos);
}

SCAN_TEST(shortReopenBodyStillAnswersNine)
{
    LoopUnderTest loop;
    int32_t command = USB_REOPEN_DEV;
    loop.send(&command, 4);
    uint8_t part[100] = {};
    loop.send(part, sizeof(part));
    shutdown(loop.fd(), SHUT_WR);
    USBReopenDevRes response{};
    CHECK(loop.receive(&response, sizeof(response)));
    CHECK_EQ(response.ret, 9);
}

SCAN_TEST(deleteCommandStaysInsideTheScanDirectory)
{
    prepare();
    // A page of a connection process that has ended, given to this client's user.
    const uid_t user = 4711;
    pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    waitpid(ended, nullptr, 0);
    const std::string outside = kRoot + "/outside.tmp";
    const std::string victim = kRoot + "/victim.tmp";
    const std::string page = kScanDir + "/ruvoscandata_" + std::to_string(ended) + "_0_0.tmp";
    const std::string link = kScanDir + "/ruvoscandata_link.tmp";
    const std::string nested = kScanDir + "/sub/inner.tmp";
    const std::string logName = kScanDir + "/ruvo_scan_err.log";
    makeDirectories(kScanDir + "/sub");
    writeFile(outside, "outside");
    writeFile(victim, "victim");
    writeFile(page, "page");
    CHECK_EQ(chown(page.c_str(), user, static_cast<gid_t>(-1)), 0);
    writeFile(nested, "nested");
    writeFile(logName, "log");
    unlink(link.c_str());
    CHECK_EQ(symlink(victim.c_str(), link.c_str()), 0);

    LoopUnderTest loop(kScanDir, PageOwner{true, user});
    const std::string refused[] = {kScanDir + "/../outside.tmp", outside, nested, link, logName,
                                   kScanDir + "/sub", kScanDir + "/.", kScanDir + "/", "outside.tmp"};
    for (const std::string &name : refused) {
        CmdDeleteFileReq request{};
        std::strncpy(request.fileName, name.c_str(), sizeof(request.fileName) - 1);
        loop.command(CMD_DELETE_FILE, request);
    }
    // A name filling all 256 bytes without a terminator.
    CmdDeleteFileReq unterminated;
    std::memset(unterminated.fileName, 'a', sizeof(unterminated.fileName));
    loop.command(CMD_DELETE_FILE, unterminated);
    CmdDeleteFileReq allowed{};
    std::strncpy(allowed.fileName, page.c_str(), sizeof(allowed.fileName) - 1);
    loop.command(CMD_DELETE_FILE, allowed);
    // Delete answers nothing; a later answer shows every delete was handled.
    loop.command(USB_CLOSE_DEV, USBCommonReq{5});
    CHECK_EQ(loop.result(), 4);

    CHECK(!exists(page));
    CHECK(exists(outside));
    CHECK(exists(victim));
    CHECK(exists(link));
    CHECK(exists(nested));
    CHECK(exists(logName));
    CHECK(exists(kScanDir + "/sub"));
}

SCAN_TEST(deleteFileListRemovesOnlyRegularFilesOfTheScan)
{
    prepare();
    const std::string directory = kRoot + "/pages";
    makeDirectories(directory + "/ruvoscandata_9_0_dir");
    const std::string target = kRoot + "/ruvoscandata_9_0_target.tmp";
    writeFile(target, "keep");
    for (const char *name : {"ruvoscandata_9_0_0.tmp", "ruvoscandata_9_0_1.tmp", "ruvoscandata_9_1_0.tmp",
                             "ruvo_scan_info.log"})
        writeFile(directory + "/" + name, "x");
    const std::string link = directory + "/ruvoscandata_9_0_link.tmp";
    unlink(link.c_str());
    CHECK_EQ(symlink(target.c_str(), link.c_str()), 0);

    CHECK_EQ(deleteFileList(directory.c_str(), ""), 0);
    CHECK(exists(directory + "/ruvoscandata_9_0_0.tmp"));
    CHECK(readFile(kLogs + "/ruvo_scan_info.log").find("[RuvoScanSDK] subStr isEmpty\n") != std::string::npos);

    CHECK_EQ(deleteFileList(directory.c_str(), (directory + "/ruvoscandata_9_0").c_str()), 0);
    CHECK(!exists(directory + "/ruvoscandata_9_0_0.tmp"));
    CHECK(!exists(directory + "/ruvoscandata_9_0_1.tmp"));
    CHECK(exists(directory + "/ruvoscandata_9_1_0.tmp"));
    CHECK(exists(link));
    CHECK(exists(target));
    CHECK(exists(directory + "/ruvoscandata_9_0_dir"));

    // A text that every path contains names no scan: nothing goes.
    CHECK_EQ(deleteFileList(directory.c_str(), "/"), 0);
    CHECK(exists(directory + "/ruvo_scan_info.log"));
    CHECK(exists(directory + "/ruvoscandata_9_1_0.tmp"));

    CHECK_EQ(deleteFileList((kRoot + "/missing").c_str(), "x"), -1);
}

SCAN_TEST(findDeviceOverDeviceFiles)
{
    prepare();
    const std::string devRoot = kRoot + "/dev-missing/bus/usb";
    const std::string procRoot = kRoot + "/proc/bus/usb";
    makeDirectories(procRoot + "/001");
    makeDirectories(procRoot + "/002");
    writeDevice(procRoot + "/001/002", descriptor(0x1a2b, 0x0c01));
    writeDevice(procRoot + "/001/003", descriptor(0x1a2b, 0x0c02));
    writeDevice(procRoot + "/001/004", descriptor(0x9999, 0x0c01));
    writeDevice(procRoot + "/002/002", descriptor(0x8001, 0x9000)); // ids above 0x7fff
    writeFile(procRoot + "/001/005", "");                           // descriptor cannot be read
    writeDevice(procRoot + "/001/devices", descriptor(0x1a2b, 0x0c01)); // not a device file name
    writeDevice(procRoot + "/devices", descriptor(0x1a2b, 0x0c01));

    const char *roots[] = {devRoot.c_str(), procRoot.c_str()};
    struct Row {
        const char *name;
        uint16_t vendor, product;
        bool compare;
        int expected;
    };
    const Row rows[] = {
        {"vendor and product", 0x1a2b, 0x0c01, true, 1},
        {"every product of the vendor", 0x1a2b, 0x0c01, false, 2},
        {"no such product", 0x1a2b, 0x0c09, true, 0},
        {"high ids", 0x8001, 0x9000, true, 1},
        {"no such vendor", 0x4242, 0, false, 0},
    };
    for (const Row &row : rows) {
        RUVO_USB_DEV table[kMaxUsbDevices] = {};
        int count = ruvo_find_device_in(roots, 2, row.vendor, row.product, table, row.compare);
        if (count != row.expected)
            std::fprintf(stderr, "  row %s\n", row.name);
        CHECK_EQ(count, row.expected);
        for (int i = 0; i < count && i < kMaxUsbDevices; ++i) {
            CHECK_EQ(table[i].dev_des.idVendor, row.vendor);
            if (row.compare)
                CHECK_EQ(table[i].dev_des.idProduct, row.product);
            CHECK(fcntl(table[i].fd, F_GETFD) >= 0);
            ruvo_close_device(table[i].fd);
        }
    }
    std::string errors = readFile(kLogs + "/ruvo_scan_err.log");
    CHECK(errors.find("[RuvoScanSDK] open dir err:" + devRoot + "\n") != std::string::npos);

    const std::string missing = kRoot + "/nowhere";
    const char *noRoots[] = {devRoot.c_str(), missing.c_str()};
    RUVO_USB_DEV table[kMaxUsbDevices] = {};
    CHECK_EQ(ruvo_find_device_in(noRoots, 2, 0x1a2b, 0, table, false), -1);
    CHECK(readFile(kLogs + "/ruvo_scan_err.log").find("[RuvoScanSDK] find busdir err:" + missing + "\n") !=
          std::string::npos);
    CHECK_EQ(ruvo_find_device_in(roots, 2, 0x1a2b, 0, nullptr, false), -1);
}

SCAN_TEST(receiveWholeWaitsForTheRestOrTheClose)
{
    prepare();
    int pair[2];
    REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    pid_t writer = fork();
    if (writer == 0) {
        const char first[] = "abc";
        const char second[] = "defgh";
        ::send(pair[1], first, 3, 0);
        usleep(100 * 1000);
        ::send(pair[1], second, 5, 0);
        usleep(100 * 1000);
        ::send(pair[1], "ij", 2, 0);
        _exit(0);
    }
    close(pair[1]);
    char buffer[16] = {};
    CHECK_EQ(ruvo_wire::ReceiveUpTo(pair[0], buffer, 8, ruvo_wire::DeadlineIn(10000)), size_t(8));
    CHECK_EQ(std::string(buffer, 8), std::string("abcdefgh"));
    // Only two bytes come before the peer closes.
    CHECK_EQ(ruvo_wire::ReceiveUpTo(pair[0], buffer, 8, ruvo_wire::DeadlineIn(10000)), size_t(2));
    waitpid(writer, nullptr, 0);
    close(pair[0]);
}

SCAN_TEST(sendToAClosedPeerFailsWithoutSignal)
{
    prepare();
    int pair[2];
    REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    signal(SIGPIPE, SIG_DFL);
    close(pair[1]);
    char bytes[16] = {};
    CHECK(!SendToClient(pair[0], bytes, sizeof(bytes), ConnectionLimits{}.sendStallMs));
    signal(SIGPIPE, SIG_IGN);
    close(pair[0]);
}

// ---- what a hostile or careless client must not be able to do ----

namespace {

// The id of a process that has ended and been reaped.
pid_t endedProcess()
{
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

std::string pageOf(pid_t connection, int index, int page, const std::string &scanDir = kScanDir)
{
    return scanDir + "/ruvoscandata_" + std::to_string(connection) + "_" + std::to_string(index) + "_" +
           std::to_string(page) + ".tmp";
}

RuvoSocket socketFor(const char *address, size_t length)
{
    RuvoSocket socket{};
    socket.tcpFromScanner = -1;
    std::memcpy(socket.szScannerIP, address, length);
    return socket;
}

long fileSize(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

} // namespace

SCAN_TEST(everyStartGetsItsNameAndNumber)
{
    LoopUnderTest loop;
    std::string base = kScanDir + "/ruvoscandata_" + std::to_string(loop.pid()) + "_";
    // A devfd this connection never opened: refused, but named and counted.
    loop.command(USB_SCAN_START, USBCommonReq{12345});
    USBScanStartRes usb{};
    REQUIRE(loop.receive(&usb, sizeof(usb)));
    CHECK_EQ(usb.result, 4);
    CHECK_EQ(std::string(usb.fileName), base + "0");
    // Nothing listens on this address: the scanner cannot be reached.
    TCPScanStartReq network{};
    network.socket = socketFor("127.0.0.99", 11);
    loop.command(TCP_SCAN_START, network);
    TCPScanStartRes refused{};
    REQUIRE(loop.receive(&refused, sizeof(refused)));
    CHECK_EQ(refused.result, 9);
    CHECK_EQ(std::string(refused.fileName), base + "1");
    loop.command(USB_SCAN_START, USBCommonReq{-1});
    REQUIRE(loop.receive(&usb, sizeof(usb)));
    CHECK_EQ(std::string(usb.fileName), base + "2");
}

SCAN_TEST(anotherConnectionsAbortDeletesNothing)
{
    LoopUnderTest owner;
    const std::string kept[] = {pageOf(owner.pid(), 0, 0), pageOf(owner.pid(), 0, 1), pageOf(owner.pid(), 1, 0)};
    for (const std::string &page : kept)
        writeFile(page, "page");
    LoopUnderTest other;
    const std::string base = kScanDir + "/ruvoscandata_" + std::to_string(owner.pid()) + "_0";
    const std::string names[] = {base, base.substr(0, base.size() - 2), kScanDir + "/ruvoscandata", "ruvoscandata",
                                 "/", kScanDir, kScanDir + "/", pageOf(owner.pid(), 0, 0)};
    for (const std::string &name : names) {
        TCPScanAbortReq abort{};
        abort.socket = socketFor("127.0.0.99", 11);
        std::snprintf(abort.fileName, sizeof(abort.fileName), "%s", name.c_str());
        other.command(TCP_SCAN_ABORT, abort);
        CHECK_EQ(other.result(), 9);
    }
    for (const std::string &page : kept)
        CHECK(exists(page));

    // The owner's own abort of a scan it never started deletes nothing either.
    TCPScanAbortReq own{};
    own.socket = socketFor("127.0.0.99", 11);
    std::snprintf(own.fileName, sizeof(own.fileName), "%s", base.c_str());
    owner.command(TCP_SCAN_ABORT, own);
    CHECK_EQ(owner.result(), 9);
    CHECK(exists(kept[0]));
    // Scans 0 and 1 have leftovers of an earlier process with the same id: the
    // start takes number 2, and the leftovers are neither reused nor removed.
    owner.command(USB_SCAN_START, USBCommonReq{12345});
    USBScanStartRes start{};
    REQUIRE(owner.receive(&start, sizeof(start)));
    const std::string third = kScanDir + "/ruvoscandata_" + std::to_string(owner.pid()) + "_2";
    CHECK_EQ(std::string(start.fileName), third);
    owner.command(TCP_SCAN_ABORT, own);
    CHECK_EQ(owner.result(), 9);
    for (const std::string &page : kept)
        CHECK(exists(page));
    // Its abort of the scan it was handed removes exactly that scan's pages.
    writeFile(pageOf(owner.pid(), 2, 0), "page");
    std::snprintf(own.fileName, sizeof(own.fileName), "%s", third.c_str());
    owner.command(TCP_SCAN_ABORT, own);
    CHECK_EQ(owner.result(), 9);
    CHECK(!exists(pageOf(owner.pid(), 2, 0)));
    for (const std::string &page : kept) {
        CHECK(exists(page));
        unlink(page.c_str());
    }
}

SCAN_TEST(deletePagesOnlyOfThisConnectionOrThisUser)
{
    const uid_t user = 4712, stranger = 4713;
    LoopUnderTest owner;
    LoopUnderTest other(kScanDir, PageOwner{true, user});
    pid_t ended = endedProcess();
    const std::string ownersPage = pageOf(owner.pid(), 0, 0);
    const std::string othersPage = pageOf(other.pid(), 3, 1);
    const std::string leftOver = pageOf(ended, 2, 0);
    const std::string usersPage = pageOf(ended, 2, 1);
    const std::string usersListedPage = pageOf(ended, 2, 2);
    const std::string strangersPage = pageOf(ended, 2, 3);
    const std::string rotatedLog = kScanDir + "/ruvo_scan_err.log.1";
    for (const std::string &path : {ownersPage, othersPage, leftOver, usersPage, usersListedPage, strangersPage,
                                    rotatedLog})
        writeFile(path, "x");
    CHECK_EQ(chown(usersPage.c_str(), user, static_cast<gid_t>(-1)), 0);
    CHECK_EQ(chown(strangersPage.c_str(), stranger, static_cast<gid_t>(-1)), 0);
    std::vector<uint8_t> acl = OwnerAndReaderAcl(user);
    CHECK_EQ(setxattr(usersListedPage.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
    for (const std::string &name :
         {ownersPage, leftOver, rotatedLog, othersPage, usersPage, usersListedPage, strangersPage}) {
        CmdDeleteFileReq request{};
        std::snprintf(request.fileName, sizeof(request.fileName), "%s", name.c_str());
        other.command(CMD_DELETE_FILE, request);
    }
    other.command(USB_CLOSE_DEV, USBCommonReq{5}); // answered only after the deletes
    CHECK_EQ(other.result(), 4);
    // Its own page, and pages given to its user (as owner or through the list).
    CHECK(!exists(othersPage));
    CHECK(!exists(usersPage));
    CHECK(!exists(usersListedPage));
    // Another live connection's page, an ended one's that nobody was given or
    // that is another user's, and the logs stay.
    CHECK(exists(ownersPage));
    CHECK(exists(leftOver));
    CHECK(exists(strangersPage));
    CHECK(exists(rotatedLog));
    for (const std::string &path : {ownersPage, leftOver, strangersPage, rotatedLog})
        unlink(path.c_str());
}

SCAN_TEST(logsAreBoundedPerConnectionAndNotForEveryone)
{
    prepare();
    const std::string info = kLogs + "/ruvo_scan_info.log";
    struct stat mode;
    REQUIRE(stat(info.c_str(), &mode) == 0);
    CHECK_EQ(mode.st_mode & 07777, mode_t(0640));
    if (const group *adm = getgrnam("adm"))
        CHECK_EQ(mode.st_gid, adm->gr_gid);
    pid_t child = fork();
    if (child == 0) {
        RuvoReopenDbg();
        RuvoLimitLogBytes(4000);
        for (int i = 0; i < 1000; ++i)
            RuvoInfoLog("well-formed request %d", i);
        _exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    std::string text = readFile(info);
    size_t lines = 0;
    for (size_t at = text.find("well-formed request "); at != std::string::npos;
         at = text.find("well-formed request ", at + 1))
        ++lines;
    CHECK(lines > 50);
    CHECK(lines < 4000 / 30);
    std::string notice = "pid:" + std::to_string(child) + " log limit reached: further lines are not logged\n";
    CHECK(text.find(notice) != std::string::npos);
    CHECK_EQ(text.find(notice), text.rfind(notice));
}

SCAN_TEST(textFieldsWithoutTerminatorAreRefusedNotCut)
{
    // A scan directory long enough that a page's full name fills 255 bytes: a
    // 256-byte field without terminator, cut to its first 255 bytes, would
    // name that page exactly.
    pid_t ended = endedProcess();
    std::string entry = "ruvoscandata_" + std::to_string(ended) + "_0_0.tmp";
    std::string longDir = kRoot + "/";
    longDir += std::string(255 - 1 - entry.size() - longDir.size(), 'd');
    makeDirectories(longDir);
    const std::string page = longDir + "/" + entry;
    REQUIRE(page.size() == 255u);
    writeFile(page, "page");
    LoopUnderTest loop(longDir);
    CmdDeleteFileReq request;
    std::memcpy(request.fileName, page.data(), page.size());
    request.fileName[255] = 'X';
    loop.command(CMD_DELETE_FILE, request);

    // "127.100.100.1001" cut to 15 bytes would be the loopback address
    // 127.100.100.100.
    const char unterminated[] = "127.100.100.1001";
    TCPScanStartReq start{};
    start.socket = socketFor(unterminated, 16);
    loop.command(TCP_SCAN_START, start);
    TCPScanStartRes started{};
    REQUIRE(loop.receive(&started, sizeof(started)));
    CHECK_EQ(started.result, 4);
    TCPCommonReq common{socketFor(unterminated, 16)};
    loop.command(TCP_SCAN_ADFST, common);
    TCPADFStatusRes feeder{};
    REQUIRE(loop.receive(&feeder, sizeof(feeder)));
    CHECK_EQ(feeder.result, 4);
    TCPOSLReq osl{socketFor(unterminated, 16), OSL_CMD_SUMMARY};
    loop.command(TCP_SEND_OSL, osl);
    TCPOSLRes reply{};
    REQUIRE(loop.receive(&reply, sizeof(reply)));
    CHECK_EQ(reply.result, 4);
    CHECK_EQ(reply.bufferLen, 0);
    CHECK(exists(page));
}

SCAN_TEST(clientTextCannotForgeLogLines)
{
    LoopUnderTest loop;
    CmdDeleteFileReq request{};
    std::snprintf(request.fileName, sizeof(request.fileName), "%s", "x\n[RuvoScanSDK] parent pro exit\r");
    loop.command(CMD_DELETE_FILE, request);
    loop.command(USB_CLOSE_DEV, USBCommonReq{5});
    CHECK_EQ(loop.result(), 4);
    CHECK_EQ(loop.finish(), 0);
    std::string errors = readFile(kLogs + "/ruvo_scan_err.log");
    CHECK(errors.find("\n[RuvoScanSDK] parent pro exit") == std::string::npos);
    CHECK(errors.find("x\\x0A[RuvoScanSDK] parent pro exit\\x0D") != std::string::npos);
}

SCAN_TEST(malformedFloodWritesLittleLog)
{
    LoopUnderTest loop;
    long before = fileSize(kLogs + "/ruvo_scan_info.log") + fileSize(kLogs + "/ruvo_scan_err.log");
    std::vector<int32_t> flood;
    for (int i = 0; i < 1000; ++i)
        flood.push_back(1000 + i);
    loop.send(flood.data(), flood.size() * sizeof(int32_t));
    loop.command(USB_CLOSE_DEV, USBCommonReq{5});
    CHECK_EQ(loop.result(), 4);
    long after = fileSize(kLogs + "/ruvo_scan_info.log") + fileSize(kLogs + "/ruvo_scan_err.log");
    std::fprintf(stderr, "  1000 undefined commands: %ld log bytes\n", after - before);
    CHECK(after - before < 4096);
}

SCAN_TEST(deleteFileListTakesOnlyTheNamedScan)
{
    prepare();
    const std::string directory = kRoot + "/exact";
    makeDirectories(directory);
    for (const char *name : {"ruvoscandata_9_1_0.tmp", "ruvoscandata_9_1_1.tmp", "ruvoscandata_9_10_0.tmp",
                             "ruvoscandata_9_11_0.tmp", "ruvoscandata_91_1_0.tmp"})
        writeFile(directory + "/" + name, "x");
    CHECK_EQ(deleteFileList(directory.c_str(), (directory + "/ruvoscandata_9_1").c_str()), 0);
    CHECK(!exists(directory + "/ruvoscandata_9_1_0.tmp"));
    CHECK(!exists(directory + "/ruvoscandata_9_1_1.tmp"));
    CHECK(exists(directory + "/ruvoscandata_9_10_0.tmp"));
    CHECK(exists(directory + "/ruvoscandata_9_11_0.tmp"));
    CHECK(exists(directory + "/ruvoscandata_91_1_0.tmp"));
    CHECK_EQ(deleteFileList(directory.c_str(), (directory + "/ruvoscandata").c_str()), 0);
    CHECK(exists(directory + "/ruvoscandata_9_10_0.tmp"));
}

SCAN_TEST(logOpenNeverFollowsALink)
{
    prepare();
    const std::string directory = kRoot + "/linked-logs";
    makeDirectories(directory);
    const std::string target = kRoot + "/precious.txt";
    writeFile(target, "precious");
    unlink((directory + "/ruvo_scan_info.log").c_str());
    REQUIRE(symlink(target.c_str(), (directory + "/ruvo_scan_info.log").c_str()) == 0);
    CHECK(!RuvoInitDbg(directory.c_str()));
    RuvoInfoLog("into the link?");
    CHECK_EQ(readFile(target), std::string("precious"));
    RuvoInitDbg(kLogs.c_str());
}

SCAN_TEST(logsRotateAtTheirCapWithManyWriters)
{
    prepare();
    const std::string directory = kRoot + "/rotating-logs";
    makeDirectories(directory);
    REQUIRE(RuvoInitDbg(directory.c_str()));
    // Four processes append 1.2 MiB each at once, as connection and data
    // processes do.
    const std::string filler(180, 'x');
    std::vector<pid_t> writers;
    for (int writer = 0; writer < 4; ++writer) {
        pid_t child = fork();
        if (child == 0) {
            RuvoReopenDbg();
            for (int line = 0; line < 6500; ++line)
                RuvoInfoLog("writer %d line %05d %s", writer, line, filler.c_str());
            _exit(0);
        }
        writers.push_back(child);
    }
    for (pid_t child : writers)
        waitpid(child, nullptr, 0);
    RuvoInfoLog("last line");
    const std::string current = directory + "/ruvo_scan_info.log";
    const std::string rotated = current + ".1";
    const long slack = 5 * 4096; // a line per writer may land after the cap
    CHECK(fileSize(current) > 0);
    CHECK(fileSize(current) <= static_cast<long>(kRuvoLogCap) + slack);
    CHECK(fileSize(rotated) >= static_cast<long>(kRuvoLogCap));
    CHECK(fileSize(rotated) <= static_cast<long>(kRuvoLogCap) + slack);
    CHECK(!exists(current + ".2"));
    // Whole lines only, in both files.
    for (const std::string &path : {current, rotated}) {
        std::string text = readFile(path);
        REQUIRE(!text.empty() && text.back() == '\n');
        size_t start = 0, bad = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            bool whole = line == "[RuvoScanSDK] last line" || line.size() == 14 + 20 + 180;
            if (line.rfind("[RuvoScanSDK] ", 0) != 0 || !whole)
                ++bad;
            start = end + 1;
        }
        CHECK_EQ(bad, size_t(0));
    }
    CHECK(readFile(current).find("[RuvoScanSDK] last line\n") != std::string::npos);
    RuvoInitDbg(kLogs.c_str());
}

SCAN_TEST(connectionOwnerIsTheClientsUserOnBothSockets)
{
    prepare();
    const uid_t client = 4321;
    UniqueFd tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    REQUIRE(bind(tcp.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
    REQUIRE(getsockname(tcp.get(), reinterpret_cast<sockaddr *>(&address), &length) == 0);
    REQUIRE(listen(tcp.get(), 4) == 0);
    const std::string path = kRoot + "/owner/scan.sock";
    UniqueFd local = ListenLocal(path);
    REQUIRE(local.valid());
    // Listeners of another user on every side of the client's port: the
    // lookup is by the connection itself, whatever else the tables hold.
    std::vector<UniqueFd> crowd;
    for (int i = 0; i < 200; ++i) {
        UniqueFd extra(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(extra.get(), reinterpret_cast<sockaddr *>(&any), sizeof(any)) == 0 && listen(extra.get(), 1) == 0)
            crowd.push_back(std::move(extra));
    }
    int ready[2];
    REQUIRE(pipe(ready) == 0);
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(client, client, client) != 0 || setresuid(client, client, client) != 0)
            _exit(2);
        int one = socket(AF_INET, SOCK_STREAM, 0);
        int two = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un named{};
        named.sun_family = AF_UNIX;
        std::snprintf(named.sun_path, sizeof(named.sun_path), "%s", path.c_str());
        if (connect(one, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
            connect(two, reinterpret_cast<sockaddr *>(&named), sizeof(named)) != 0)
            _exit(3);
        char wait;
        close(ready[1]);
        (void)!read(ready[0], &wait, 1);
        _exit(0);
    }
    close(ready[0]);
    UniqueFd overTcp(accept4(tcp.get(), nullptr, nullptr, SOCK_CLOEXEC));
    // The daemon's listener does not block.
    pollfd waiting{local.get(), POLLIN, 0};
    CHECK_EQ(poll(&waiting, 1, 20000), 1);
    UniqueFd overLocal(accept4(local.get(), nullptr, nullptr, SOCK_CLOEXEC));
    PageOwner tcpOwner = ConnectionOwner(overTcp.get());
    PageOwner localOwner = ConnectionOwner(overLocal.get());
    close(ready[1]);
    int status = -1;
    waitpid(child, &status, 0);
    CHECK_EQ(status, 0);
    CHECK(tcpOwner.known);
    CHECK_EQ(tcpOwner.uid, client);
    CHECK(localOwner.known);
    CHECK_EQ(localOwner.uid, client);
}

SCAN_TEST(localSocketReplacesOnlyADeadOne)
{
    prepare();
    const std::string folder = kRoot + "/local";
    const std::string path = folder + "/scan.sock";
    UniqueFd first = ListenLocal(path);
    REQUIRE(first.valid());
    struct stat info;
    REQUIRE(stat(path.c_str(), &info) == 0);
    CHECK_EQ(info.st_mode & 07777, 0666u);
    REQUIRE(stat(folder.c_str(), &info) == 0);
    CHECK_EQ(info.st_mode & 07777, 0755u);
    // A daemon still serves it: a second one leaves it alone.
    CHECK(!ListenLocal(path).valid());
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un named{};
    named.sun_family = AF_UNIX;
    std::snprintf(named.sun_path, sizeof(named.sun_path), "%s", path.c_str());
    CHECK_EQ(connect(probe.get(), reinterpret_cast<sockaddr *>(&named), sizeof(named)), 0);
    // The daemon is gone and its socket stayed: replaced.
    first.reset();
    UniqueFd second = ListenLocal(path);
    CHECK(second.valid());
    second.reset();
    // Something other than a socket in its place is never removed.
    unlink(path.c_str());
    writeFile(path, "keep");
    CHECK(!ListenLocal(path).valid());
    CHECK_EQ(readFile(path), std::string("keep"));
    unlink(path.c_str());
}

SCAN_TEST(scanStartOfAnUnknownUserIsRefused)
{
    LoopUnderTest loop(kScanDir, PageOwner{});
    std::string base = kScanDir + "/ruvoscandata_" + std::to_string(loop.pid()) + "_";
    TCPScanStartReq network{};
    network.socket = socketFor("127.0.0.99", 11);
    loop.command(TCP_SCAN_START, network);
    TCPScanStartRes refused{};
    REQUIRE(loop.receive(&refused, sizeof(refused)));
    CHECK_EQ(refused.result, 11);
    CHECK_EQ(std::string(refused.fileName), base + "0");
    loop.finish();
    CHECK(readFile(kLogs + "/ruvo_scan_err.log").find("scan start refused: the user of this connection is unknown") !=
          std::string::npos);
}
