// Two ordinary users against the scan daemon run as its service: one scans, the
// other tries to read, stop, crowd out or delete what the first one made.
//
// The daemon runs inside the USB scanner emulator under its service account
// (the account's uid when the system has it, else a spare one), with no
// capability and no new privileges, on its own local socket and TCP port. The
// users are plain uids without accounts. RUVO_STRESS_SERVICE_CAPS=chown gives
// the daemon CAP_CHOWN, as the service unit did before, for measuring an older
// daemon; an older daemon without the local socket is reached over TCP.

#include "multi_user.h"

#include "product_paths.h"
#include "client_io.h"
#include "scan_client.h"
#include "scan_test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

using scan_test_support::asUser;
using scan_test_support::becomeUser;
using scan_test_support::waitFor;

namespace {

using Clock = std::chrono::steady_clock;

const int kPort = 7010;
const std::string kRoot = "/tmp/scan-stress-users";
const std::string kRunDir = kRoot + "/run";
const std::string kSocketPath = kRunDir + "/scan.sock";
const std::string kBedDir = kRoot + "/bed";
const std::string kScanDir = ruvo_paths::kScanDir;
const uid_t kScanningUser = kStressScanningUser;
const uid_t kOtherUser = kStressOtherUser;
const uint16_t kVendor = 0x1a2b;
const uint16_t kProduct = 0x0c01;

uid_t serviceUid()
{
    if (const passwd *account = getpwnam(ruvo_paths::kScanServiceAccount))
        return account->pw_uid;
    return 64990;
}

bool canRead(uid_t uid, const std::string &path)
{
    return asUser(uid, [&] {
               int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
               return fd >= 0 ? 0 : 1;
           }) == 0;
}

// Values the users' processes hand back to the scenario.
struct Shared {
    int values[64];
    char text[4][256];
};

Shared *sharedBlock()
{
    void *memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    std::memset(memory, 0, sizeof(Shared));
    return static_cast<Shared *>(memory);
}

// ---- a client connection of this file's own, over either socket ----

class Link {
public:
    Link() = default;
    ~Link() { close(); }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // The local socket when the daemon has one, else loopback TCP.
    bool open(bool tcp = false, int receiveBuffer = 0)
    {
        close();
        bool local = !tcp && access(kSocketPath.c_str(), F_OK) == 0;
        m_fd = socket(local ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        if (receiveBuffer > 0)
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        int connected;
        if (local) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", kSocketPath.c_str());
            connected = connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        } else {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(kPort);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connected = connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        }
        if (connected != 0)
            close();
        return m_fd >= 0;
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int fd() const { return m_fd; }

    bool send(const void *bytes, size_t length) { return ruvo_wire::SendAll(m_fd, bytes, length); }
    template <typename Body>
    bool command(int32_t value, const Body &body)
    {
        return send(&value, sizeof(value)) && send(&body, sizeof(body));
    }
    bool receive(void *buffer, size_t length, int timeoutMs = 20000)
    {
        return ruvo_wire::ReceiveExact(m_fd, buffer, length, timeoutMs);
    }
    // True when the daemon has closed this connection.
    bool closedByPeer(int waitMs)
    {
        pollfd waiting{m_fd, POLLIN, 0};
        if (poll(&waiting, 1, waitMs) <= 0)
            return false;
        char byte;
        return recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }

    int32_t result(int timeoutMs = 20000)
    {
        int32_t value = INT32_MIN;
        return receive(&value, sizeof(value), timeoutMs) ? value : INT32_MIN;
    }
    int32_t plain(int32_t command, int32_t devfd) { return this->command(command, USBCommonReq{devfd}) ? result() : INT32_MIN; }
    // The first scanner's handle, opened; -1 when there is none.
    int32_t openScanner()
    {
        USBFindDevReq find{kVendor, kProduct, 1, {0, 0, 0}};
        int32_t count = 0;
        if (!command(USB_FIND_DEV, find) || !receive(&count, sizeof(count)) || count < 1)
            return -1;
        std::vector<USBFindDevRes> devices(static_cast<size_t>(count));
        for (USBFindDevRes &device : devices)
            if (!receive(&device, sizeof(device)))
                return -1;
        return plain(USB_OPEN_DEV, devices[0].fd) == 0 ? devices[0].fd : -1;
    }
    int32_t lock(int32_t devfd)
    {
        USBScanLockReq request{};
        request.devfd = devfd;
        request.info = DefaultScanSettings();
        return command(USB_SCAN_LOCK, request) ? result() : INT32_MIN;
    }
    bool start(int32_t devfd, USBScanStartRes &response)
    {
        return command(USB_SCAN_START, USBCommonReq{devfd}) && receive(&response, sizeof(response));
    }
    // Records until the one that ends the scan; its result, and the pages begun.
    int32_t recordsToEnd(int &pages)
    {
        USBScanRecordRes record{};
        while (receive(&record, sizeof(record), 60000)) {
            if (record.st == SCAN_STATUS_BEGIN_OF_PAGE && record.result == 0)
                ++pages;
            if (record.result != 0)
                return record.result;
        }
        return INT32_MIN;
    }
    // Answered only after everything sent before it was handled.
    bool sync() { return plain(USB_CLOSE_DEV, 987654) == ruvo_wire::RESULT_INVALID; }

private:
    int m_fd = -1;
};

// A whole scan by the calling process's user: its base name, last result and pages.
struct Scan {
    std::string baseName;
    int32_t startResult = INT32_MIN;
    int32_t lastResult = INT32_MIN;
    int pages = 0;
};

Scan scanOnce(Link &link)
{
    Scan scan;
    int32_t devfd = link.openScanner();
    if (devfd < 0 || link.lock(devfd) != 0)
        return scan;
    USBScanStartRes start{};
    if (!link.start(devfd, start))
        return scan;
    scan.startResult = start.result;
    scan.baseName = FieldText(start.fileName, sizeof(start.fileName));
    if (start.result == 0)
        scan.lastResult = link.recordsToEnd(scan.pages);
    link.plain(USB_SCAN_UNLOCK, devfd);
    return scan;
}

void storeScan(Shared &shared, const Scan &scan)
{
    shared.values[0] = scan.startResult;
    shared.values[1] = scan.lastResult;
    shared.values[2] = scan.pages;
    std::snprintf(shared.text[0], sizeof(shared.text[0]), "%s", scan.baseName.c_str());
}

std::vector<std::string> pagesOf(const std::string &baseName)
{
    std::vector<std::string> pages;
    for (int page = 0; !baseName.empty(); ++page) {
        std::string path = baseName + "_" + std::to_string(page) + ".tmp";
        if (access(path.c_str(), F_OK) != 0)
            break;
        pages.push_back(path);
    }
    return pages;
}

// ---- the daemon, as the service runs it, inside the emulated scanner ----

uid_t s_nodeOwner = 0;

int grantEntry(const char *path, const struct stat *info, int type, FTW *)
{
    if (type == FTW_D)
        chmod(path, (info->st_mode & 07777) | 0055);
    else if (std::strstr(path, "/dev/bus/usb/") && type == FTW_F) {
        if (chown(path, s_nodeOwner, static_cast<gid_t>(-1)) == 0)
            chmod(path, 0660);
    }
    return 0;
}

class ServiceDaemon {
public:
    ServiceDaemon(const MultiUserRun &run, int pages, int pageBytes, int chunkBytes)
    {
        const uid_t service = serviceUid();
        s_nodeOwner = service;
        mkdir(kRoot.c_str(), 0755);
        mkdir(kBedDir.c_str(), 0755);
        mkdir(kRunDir.c_str(), 0755);
        unlink(kSocketPath.c_str());
        // What the package and the unit's RuntimeDirectory make for the service.
        if (chown(kRunDir.c_str(), service, service) != 0 || chown(kScanDir.c_str(), service, service) != 0)
            return;
        for (const char *log : {"ruvo_scan_info.log", "ruvo_scan_err.log", "ruvo_scan_info.log.1", "ruvo_scan_err.log.1"})
            unlink((kScanDir + "/" + log).c_str());
        const char *extra = std::getenv("RUVO_STRESS_SERVICE_CAPS");
        std::string caps = extra && *extra ? std::string("-all,+") + extra : "-all";
        std::vector<std::string> arguments = {run.emulator, "--pages", std::to_string(pages), "--page-bytes",
                                              std::to_string(pageBytes), "--chunk-bytes", std::to_string(chunkBytes),
                                              "--", "/usr/bin/setpriv", "--reuid=" + std::to_string(service),
                                              "--regid=" + std::to_string(service), "--clear-groups",
                                              "--inh-caps=" + caps, "--ambient-caps=" + caps, "--bounding-set=" + caps,
                                              "--no-new-privs", "--", run.daemon, "--foreground"};
        std::vector<std::string> environment;
        for (char **entry = environ; *entry; ++entry)
            if (std::strncmp(*entry, "TMPDIR=", 7) != 0 && std::strncmp(*entry, "RUVO_SCAN_", 10) != 0)
                environment.push_back(*entry);
        environment.push_back("TMPDIR=" + kBedDir);
        environment.push_back("RUVO_SCAN_DAEMON_PORT=" + std::to_string(kPort));
        environment.push_back(std::string(ruvo_paths::kScanSocketEnvironment) + "=" + kSocketPath);
        std::vector<char *> argv, envp;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        for (std::string &entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&m_emulator, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0)
            m_emulator = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (m_emulator <= 0)
            return;
        // The emulated node as the suite's udev rule leaves it: the service's.
        // The daemon opens it only when a client searches, after this.
        waitFor([] {
            bool found = false;
            if (DIR *bed = opendir(kBedDir.c_str())) {
                while (dirent *entry = readdir(bed))
                    if (entry->d_name[0] != '.' &&
                        access((kBedDir + "/" + entry->d_name + "/dev/bus/usb").c_str(), F_OK) == 0)
                        found = true;
                closedir(bed);
            }
            return found;
        }, 20);
        nftw(kBedDir.c_str(), grantEntry, 16, FTW_PHYS);
        m_ready = waitFor([] {
            Link probe;
            return probe.open(true);
        }, 20);
    }
    ~ServiceDaemon()
    {
        if (m_emulator > 0) {
            kill(-m_emulator, SIGTERM);
            if (!waitFor([&] { return waitpid(m_emulator, nullptr, WNOHANG) == m_emulator; }, 10)) {
                kill(-m_emulator, SIGKILL);
                waitpid(m_emulator, nullptr, 0);
            }
            kill(-m_emulator, SIGKILL);
        }
        if (chown(kScanDir.c_str(), 0, 0) != 0) {
            // The scenarios after these run as root anyway.
        }
    }
    bool ready() const { return m_ready; }

private:
    pid_t m_emulator = -1;
    bool m_ready = false;
};

// ---- the scenarios ----

// Another user holds more listening sockets than the kernel's whole TCP table
// could once be read through; then a user scans over TCP.
void floodThenScan(const MultiUserRun &run)
{
    const std::string name = "socket flood, then a scan";
    const int holders = 8;
    const int perHolder = run.ci ? 2000 : 15000;
    Shared *shared = sharedBlock();
    int release[2];
    if (!shared || pipe(release) != 0)
        return;
    std::vector<pid_t> holding;
    for (int holder = 0; holder < holders; ++holder) {
        pid_t child = fork();
        if (child == 0) {
            close(release[1]);
            rlimit limit{static_cast<rlim_t>(perHolder + 64), static_cast<rlim_t>(perHolder + 64)};
            setrlimit(RLIMIT_NOFILE, &limit);
            if (!becomeUser(kOtherUser))
                _exit(1);
            int held = 0;
            for (int i = 0; i < perHolder; ++i) {
                int fd = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                // Loopback addresses enough that ports never run out.
                uint32_t host = (127u << 24) | (2u << 16) | (static_cast<uint32_t>(holder) << 8) |
                                static_cast<uint32_t>(1 + i / 20000);
                address.sin_addr.s_addr = htonl(host);
                if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
                    listen(fd, 1) == 0)
                    ++held;
            }
            __atomic_add_fetch(&shared->values[10], held, __ATOMIC_SEQ_CST);
            __atomic_add_fetch(&shared->values[11], 1, __ATOMIC_SEQ_CST);
            char ignored;
            (void)!read(release[0], &ignored, 1);
            _exit(0);
        }
        holding.push_back(child);
    }
    close(release[0]);
    waitFor([&] { return __atomic_load_n(&shared->values[11], __ATOMIC_SEQ_CST) == holders; }, 120);
    asUser(kScanningUser, [&] {
        Link link;
        if (!link.open(true))
            return 1;
        storeScan(*shared, scanOnce(link));
        return 0;
    });
    close(release[1]);
    for (pid_t child : holding)
        waitpid(child, nullptr, 0);
    std::vector<std::string> pages = pagesOf(shared->text[0]);
    int readableByOwner = 0, readableByOther = 0;
    for (const std::string &page : pages) {
        readableByOwner += canRead(kScanningUser, page) ? 1 : 0;
        readableByOther += canRead(kOtherUser, page) ? 1 : 0;
    }
    std::printf("%s: the other user holds %d listening sockets, the scanning user scans over TCP\n", name.c_str(),
                shared->values[10]);
    run.report(name, "listening sockets of the other user", std::to_string(shared->values[10]),
               ">= " + std::to_string(holders * perHolder * 9 / 10), shared->values[10] >= holders * perHolder * 9 / 10);
    run.report(name, "scan start result, last record", std::to_string(shared->values[0]) + ", " +
               std::to_string(shared->values[1]), "0, 5", shared->values[0] == 0 && shared->values[1] == 5);
    run.report(name, "pages readable by the scanning user", std::to_string(readableByOwner) + " of " +
               std::to_string(pages.size()), "all", !pages.empty() && readableByOwner == static_cast<int>(pages.size()));
    run.report(name, "pages readable by the other user", std::to_string(readableByOther), "0",
               !pages.empty() && readableByOther == 0);
    for (const std::string &page : pages)
        unlink(page.c_str());
    munmap(shared, sizeof(Shared));
}

// The other user searches the scanner that the first user locked and scans
// from, and sends abort, unlock, clear, reset and start on it.
void foreignStop(const MultiUserRun &run)
{
    const std::string name = "foreign stop of a USB scan";
    Shared *shared = sharedBlock();
    int ready[2], go[2];
    if (!shared || pipe(ready) != 0 || pipe(go) != 0)
        return;
    pid_t victim = fork();
    if (victim == 0) {
        close(ready[0]);
        close(go[1]);
        if (!becomeUser(kScanningUser))
            _exit(1);
        // A reader that does not keep up: the scan stays running meanwhile.
        Link link;
        int32_t devfd = link.open(false, 4096) ? link.openScanner() : -1;
        USBScanStartRes start{};
        if (devfd >= 0 && link.lock(devfd) == 0 && link.start(devfd, start)) {
            shared->values[0] = start.result;
            std::snprintf(shared->text[0], sizeof(shared->text[0]), "%s", start.fileName);
            USBScanRecordRes record{};
            link.receive(&record, sizeof(record));
        }
        (void)!write(ready[1], "r", 1);
        char ignored;
        (void)!read(go[0], &ignored, 1);
        int pages = 0;
        shared->values[1] = link.recordsToEnd(pages);
        shared->values[2] = pages;
        link.plain(USB_SCAN_UNLOCK, devfd);
        _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    char ignored;
    (void)!read(ready[0], &ignored, 1);
    std::string baseName = shared->text[0];
    int refused = asUser(kOtherUser, [&] {
        Link link;
        int32_t devfd = link.open() ? link.openScanner() : -1;
        if (devfd < 0)
            return 0;
        int busy = 0;
        USBScanAbortReq abort{};
        abort.devfd = devfd;
        std::snprintf(abort.fileName, sizeof(abort.fileName), "%s", baseName.c_str());
        busy += link.command(USB_SCAN_ABORT, abort) && link.result() == ruvo_wire::RESULT_BUSY;
        busy += link.plain(USB_SCAN_UNLOCK, devfd) == ruvo_wire::RESULT_BUSY;
        for (int32_t command : {USB_CLEAR_DEV, USB_RESET_DEVEP}) {
            USBClearDevEpReq endpoint{devfd, 0x81};
            busy += link.command(command, endpoint) && link.result() == ruvo_wire::RESULT_BUSY;
        }
        USBScanStartRes start{};
        busy += link.start(devfd, start) && start.result == ruvo_wire::RESULT_BUSY;
        return busy;
    });
    (void)!write(go[1], "g", 1);
    waitpid(victim, nullptr, 0);
    std::vector<std::string> pages = pagesOf(baseName);
    std::printf("%s: the scanning user's scan runs while the other user sends abort, unlock, clear, reset, start\n",
                name.c_str());
    run.report(name, "foreign commands refused with 3", std::to_string(refused) + " of 5", "5 of 5", refused == 5);
    run.report(name, "victim's scan start, last record", std::to_string(shared->values[0]) + ", " +
               std::to_string(shared->values[1]), "0, 5", shared->values[0] == 0 && shared->values[1] == 5);
    run.report(name, "victim's pages kept", std::to_string(pages.size()), "2", pages.size() == 2);
    for (const std::string &page : pages)
        unlink(page.c_str());
    munmap(shared, sizeof(Shared));
}

// The other user opens the old connection cap's worth of connections and keeps
// them busy; the scanning user still gets an answer.
void connectionCap(const MultiUserRun &run)
{
    const std::string name = "a user at the connection cap";
    Shared *shared = sharedBlock();
    int ready[2], done[2];
    if (!shared || pipe(ready) != 0 || pipe(done) != 0)
        return;
    pid_t crowd = fork();
    if (crowd == 0) {
        close(ready[0]);
        close(done[1]);
        if (!becomeUser(kOtherUser))
            _exit(1);
        std::vector<std::unique_ptr<Link>> links;
        for (int i = 0; i < 32; ++i) {
            links.push_back(std::make_unique<Link>());
            links.back()->open();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        int open = 0;
        for (auto &link : links)
            if (link->fd() >= 0 && !link->closedByPeer(10))
                ++open;
        shared->values[0] = open;
        (void)!write(ready[1], "r", 1);
        // Keepalives, a well-formed question and a 4-byte undefined command,
        // until the scanning user has had its answer.
        for (;;) {
            pollfd waiting{done[0], POLLIN, 0};
            if (poll(&waiting, 1, 200) != 0)
                break;
            for (auto &link : links) {
                USBFindDevReq none{0x7e57, 1, 1, {0, 0, 0}};
                int32_t undefined = 99;
                if (link->fd() >= 0 && link->command(USB_FIND_DEV, none))
                    link->send(&undefined, sizeof(undefined));
            }
        }
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char ignored;
    (void)!read(ready[0], &ignored, 1);
    asUser(kScanningUser, [&] {
        auto begun = Clock::now();
        Link link;
        int32_t devfd = link.open() ? link.openScanner() : -1;
        shared->values[1] = devfd >= 0 ? 1 : 0;
        shared->values[2] = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begun).count());
        return 0;
    });
    close(done[1]);
    waitpid(crowd, nullptr, 0);
    std::printf("%s: the other user opens 32 connections with keepalives; the scanning user searches\n",
                name.c_str());
    run.report(name, "the other user's connections served", std::to_string(shared->values[0]) + " of 32", "<= 8",
               shared->values[0] <= 8);
    run.report(name, "scanning user's search answered", shared->values[1] ? "yes, " + std::to_string(shared->values[2]) +
               " ms" : "no", "yes, < 2000 ms", shared->values[1] == 1 && shared->values[2] < 2000);
    munmap(shared, sizeof(Shared));
}

// The scanning user's connection has ended; the other user asks the daemon to
// delete its pages by name, then the scanning user does from a new connection.
void foreignDeletion(const MultiUserRun &run)
{
    const std::string name = "foreign deletion of pages";
    Shared *shared = sharedBlock();
    if (!shared)
        return;
    asUser(kScanningUser, [&] {
        Link link;
        if (!link.open())
            return 1;
        storeScan(*shared, scanOnce(link));
        return 0;
    });
    std::vector<std::string> pages = pagesOf(shared->text[0]);
    // The connection process is gone once a new connection's answer shows the
    // daemon served the close (the unlock before it was answered).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto deleteAll = [&] {
        Link link;
        if (!link.open())
            return 1;
        for (const std::string &page : pages) {
            CmdDeleteFileReq request{};
            std::snprintf(request.fileName, sizeof(request.fileName), "%s", page.c_str());
            link.command(CMD_DELETE_FILE, request);
        }
        return link.sync() ? 0 : 1;
    };
    asUser(kOtherUser, deleteAll);
    size_t deletedByOther = 0;
    for (const std::string &page : pages)
        deletedByOther += access(page.c_str(), F_OK) != 0 ? 1 : 0;
    asUser(kScanningUser, deleteAll);
    size_t deletedByOwner = 0;
    for (const std::string &page : pages)
        deletedByOwner += access(page.c_str(), F_OK) != 0 ? 1 : 0;
    std::printf("%s: %zu finished pages of an ended connection\n", name.c_str(), pages.size());
    run.report(name, "pages deleted by the other user", std::to_string(deletedByOther) + " of " +
               std::to_string(pages.size()), "0", !pages.empty() && deletedByOther == 0);
    run.report(name, "pages deleted by their user, new connection", std::to_string(deletedByOwner) + " of " +
               std::to_string(pages.size()), "all", !pages.empty() && deletedByOwner == pages.size());
    for (const std::string &page : pages)
        unlink(page.c_str());
    munmap(shared, sizeof(Shared));
}

} // namespace

void RunMultiUserScenarios(const MultiUserRun &run)
{
    const std::string name = "multi-user daemon";
    if (run.emulator.empty()) {
        run.report(name, "USB emulator given", "no", "yes", false);
        return;
    }
    ServiceDaemon daemon(run, 2, run.ci ? 400000 : 2000000, 1024);
    if (!daemon.ready()) {
        run.report(name, "daemon as the service, inside the USB emulator", "not started", "started", false);
        return;
    }
    std::printf("%s: as uid %u, users %u and %u, local socket %s\n", name.c_str(), static_cast<unsigned>(serviceUid()),
                static_cast<unsigned>(kScanningUser), static_cast<unsigned>(kOtherUser),
                access(kSocketPath.c_str(), F_OK) == 0 ? "yes" : "no (TCP only)");
    floodThenScan(run);
    foreignStop(run);
    connectionCap(run);
    foreignDeletion(run);
}
