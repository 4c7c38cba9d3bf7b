#include "front_ends.h"
#include "multi_user.h"

#include "product_paths.h"
#include "scan_names.h"
#include "scan_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

extern char **environ;

using scan_test_support::becomeUser;
using scan_test_support::readFile;
using scan_test_support::waitFor;

namespace {

using Clock = std::chrono::steady_clock;

const uid_t kOtherUser = kStressOtherUser;
const int kFakePort = 7000;
const std::string kWork = "/tmp/scan-stress-front-ends";
// A folder of the other user's own, where it can listen on a local socket.
const std::string kFakeDir = kWork + "/fake";
// The search the command-line client makes: the emulated scanners' vendor.
const char kVendor[] = "1a2b";
// A fake daemon sends one byte of a plausible answer this often.
const int kDripMs = 3000;

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

std::string keyOf(const std::string &entry)
{
    return entry.substr(0, entry.find('='));
}

// What the other user's fake daemon saw, in memory its processes share.
struct FakeCounters {
    int listening;   // 1 once it listens, -errno when it could not
    int connections;
    long bytes;      // bytes the clients sent it
};

enum class Behaviour { Drip, Garbage };

// The other user's fake daemon on a local socket path or on loopback TCP:
// it takes every connection and, per connection, either drips a plausible
// answer (a device count of 1, then the device record) one byte every few
// seconds or answers at once with garbage. Everything it started ends with
// this object.
class FakeDaemon {
public:
    FakeDaemon(const std::string &localPath, Behaviour behaviour)
    {
        void *memory = mmap(nullptr, sizeof(FakeCounters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            return;
        m_counters = static_cast<FakeCounters *>(memory);
        std::memset(m_counters, 0, sizeof(*m_counters));
        m_pid = fork();
        if (m_pid == 0) {
            setpgid(0, 0);
            _exit(serve(localPath, behaviour));
        }
        setpgid(m_pid, m_pid);
        waitFor([&] { return __atomic_load_n(&m_counters->listening, __ATOMIC_SEQ_CST) != 0; }, 10);
    }
    ~FakeDaemon()
    {
        if (m_pid > 0) {
            kill(-m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_counters)
            munmap(m_counters, sizeof(*m_counters));
    }
    FakeDaemon(const FakeDaemon &) = delete;
    FakeDaemon &operator=(const FakeDaemon &) = delete;

    // 1 while it listens; -errno of the bind or listen that failed.
    int listening() const { return m_counters ? __atomic_load_n(&m_counters->listening, __ATOMIC_SEQ_CST) : -EIO; }
    int connections() const { return m_counters ? __atomic_load_n(&m_counters->connections, __ATOMIC_SEQ_CST) : 0; }
    long bytes() const { return m_counters ? __atomic_load_n(&m_counters->bytes, __ATOMIC_SEQ_CST) : 0; }

private:
    int serve(const std::string &localPath, Behaviour behaviour)
    {
        if (!becomeUser(kOtherUser))
            return fail(EPERM);
        int listener = socket(localPath.empty() ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int bound = -1;
        if (localPath.empty()) {
            int reuse = 1;
            setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(kFakePort);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bound = bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        } else {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", localPath.c_str());
            bound = bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        }
        if (listener < 0 || bound != 0 || listen(listener, 16) != 0)
            return fail(errno);
        __atomic_store_n(&m_counters->listening, 1, __ATOMIC_SEQ_CST);
        signal(SIGCHLD, SIG_IGN); // the connection processes need no reaping
        for (;;) {
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            __atomic_add_fetch(&m_counters->connections, 1, __ATOMIC_SEQ_CST);
            if (fork() == 0) {
                close(listener);
                answer(connection, behaviour);
                _exit(0);
            }
            close(connection);
        }
    }
    int fail(int error)
    {
        __atomic_store_n(&m_counters->listening, -(error ? error : EIO), __ATOMIC_SEQ_CST);
        return 1;
    }
    void answer(int connection, Behaviour behaviour)
    {
        std::string reply;
        if (behaviour == Behaviour::Garbage) {
            reply.assign(4096, 'A');
            send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        } else {
            reply = std::string("\x01\0\0\0", 4) + std::string(4096, 'R');
        }
        size_t dripped = 0;
        auto nextDrip = Clock::now() + std::chrono::milliseconds(kDripMs);
        for (;;) {
            int waitMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(nextDrip - Clock::now()).count());
            pollfd waiting{connection, POLLIN, 0};
            int ready = poll(&waiting, 1, std::max(waitMs, 0));
            if (ready > 0) {
                char bytes[4096];
                ssize_t got = recv(connection, bytes, sizeof(bytes), 0);
                if (got <= 0)
                    return;
                __atomic_add_fetch(&m_counters->bytes, static_cast<long>(got), __ATOMIC_SEQ_CST);
            } else if (behaviour == Behaviour::Drip && dripped < reply.size()) {
                if (send(connection, reply.data() + dripped, 1, MSG_NOSIGNAL) != 1)
                    return;
                ++dripped;
                nextDrip = Clock::now() + std::chrono::milliseconds(kDripMs);
            } else {
                nextDrip = Clock::now() + std::chrono::milliseconds(kDripMs);
            }
        }
    }

    FakeCounters *m_counters = nullptr;
    pid_t m_pid = -1;
};

// scanimage -L's lines for USB scanners (device `ruvo:usb:...').
int usbScannersListed(const std::string &output)
{
    int count = 0;
    for (size_t at = output.find("`ruvo:usb:"); at != std::string::npos; at = output.find("`ruvo:usb:", at + 1))
        ++count;
    return count;
}

} // namespace

Measured RunMeasured(const std::vector<std::string> &arguments, const std::vector<std::string> &extra,
                     double limitSeconds)
{
    // Two runs may go at once (from two threads): each gets its own files.
    static std::atomic<int> runs{0};
    scan_test_support::makeDirectories(kWork);
    const std::string outPath = kWork + "/out-" + std::to_string(++runs);
    const std::string errPath = outPath + ".err";
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) {
        bool replaced = false;
        for (const std::string &added : extra)
            replaced = replaced || keyOf(added) == keyOf(*entry);
        if (!replaced)
            environment.push_back(*entry);
    }
    environment.insert(environment.end(), extra.begin(), extra.end());
    std::vector<std::string> argumentCopy = arguments;
    std::vector<char *> argv, envp;
    for (std::string &argument : argumentCopy)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    Measured measured;
    auto started = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (child < 0)
        return measured;
    int status = 0;
    rusage usage{};
    bool stopped = false;
    for (;;) {
        pid_t ended = wait4(child, &status, WNOHANG, &usage);
        if (ended == child)
            break;
        if (ended < 0 && errno != EINTR)
            return measured;
        if (!stopped && std::chrono::duration<double>(Clock::now() - started).count() > limitSeconds) {
            kill(child, SIGKILL);
            stopped = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    measured.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    measured.status = !stopped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    measured.peakKiB = usage.ru_maxrss;
    measured.output = readFile(outPath);
    measured.errors = readFile(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return measured;
}

std::vector<std::string> SaneEnvironment(const FrontEnds &frontEnds, const std::string &configDir,
                                         const std::string &ruvoConf)
{
    scan_test_support::makeDirectories(configDir);
    scan_test_support::writeFile(configDir + "/dll.conf", "ruvo\n");
    scan_test_support::writeFile(configDir + "/ruvo.conf", ruvoConf);
    std::vector<std::string> environment = {"SANE_CONFIG_DIR=" + configDir, "LD_LIBRARY_PATH=" + frontEnds.backendDir};
    if (!frontEnds.preload.empty()) {
        const char *options = std::getenv("ASAN_OPTIONS");
        environment.push_back("LD_PRELOAD=" + frontEnds.preload);
        // scanimage and the system's SANE library are not ours to keep leak-free;
        // a small quarantine keeps freed pages from counting as the backend's.
        environment.push_back(std::string("ASAN_OPTIONS=") + (options ? options : "") +
                              ":detect_leaks=0:quarantine_size_mb=4");
    }
    return environment;
}

void FakeListenerScenarios(const FrontEnds &frontEnds)
{
    const std::string name = "fake daemon while it is down";
    const std::string socketPath = ruvo_wire::ScanSocketPath();
    const std::string socketDir = socketPath.substr(0, socketPath.rfind('/'));
    // The folder as the service leaves it when it stops: the service's own.
    mkdir(socketDir.c_str(), 0755);
    scan_test_support::makeDirectories(kFakeDir);
    if (chown(kWork.c_str(), 0, 0) != 0 || chown(kFakeDir.c_str(), kOtherUser, kOtherUser) != 0) {
        frontEnds.report(name, "folders prepared", "no", "yes", false);
        return;
    }
    const std::string scanimage = "/usr/bin/scanimage";
    const std::vector<std::string> plain = SaneEnvironment(frontEnds, kWork + "/conf", "");
    const std::vector<std::string> tcp = SaneEnvironment(frontEnds, kWork + "/conf-tcp", "daemon-tcp-port 7000\n");
    auto with = [](std::vector<std::string> environment, const std::string &entry) {
        environment.push_back(entry);
        return environment;
    };
    const std::string fakePath = kFakeDir + "/scan.sock";
    const std::string atFake = std::string(ruvo_paths::kScanSocketEnvironment) + "=" + fakePath;

    // 1. The socket's own path, left free as a daemon that stopped cleanly
    // leaves it: the other user cannot take it.
    unlink(socketPath.c_str());
    {
        FakeDaemon fake(socketPath, Behaviour::Drip);
        int listening = fake.listening();
        frontEnds.report(name, "other user takes the socket's path", listening == 1 ? "yes" : std::strerror(-listening),
                         "no", listening != 1);
    }
    // 2. A socket of the other user's own that a client is pointed at.
    {
        FakeDaemon fake(fakePath, Behaviour::Drip);
        Measured listing = RunMeasured({scanimage, "-L"}, with(plain, atFake), 120);
        Measured client = RunMeasured({frontEnds.scanClient, "list", kVendor}, {atFake}, 120);
        frontEnds.report(name, "local fake: listens", fake.listening() == 1 ? "yes" : "no", "yes", fake.listening() == 1);
        frontEnds.report(name, "local fake: scanimage -L seconds, USB listed",
                         number(listing.seconds) + ", " + std::to_string(usbScannersListed(listing.output)), "< 5, 0",
                         listing.status >= 0 && listing.seconds < 5 && usbScannersListed(listing.output) == 0);
        frontEnds.report(name, "local fake: scan-client list seconds, status",
                         number(client.seconds) + ", " + std::to_string(client.status), "< 5, not 0",
                         client.status > 0 && client.seconds < 5);
        frontEnds.report(name, "local fake: bytes the clients sent it", std::to_string(fake.bytes()), "0",
                         fake.listening() == 1 && fake.bytes() == 0);
    }
    // 3. Loopback TCP on the daemon's port, dripping: untouched unless the
    // configuration names TCP, and then given up at the answer's deadline.
    {
        FakeDaemon fake("", Behaviour::Drip);
        frontEnds.report(name, "TCP fake on 127.0.0.1:7000 listens", fake.listening() == 1 ? "yes" : "no", "yes",
                         fake.listening() == 1);
        Measured listing = RunMeasured({scanimage, "-L"}, plain, 120);
        Measured client = RunMeasured({frontEnds.scanClient, "list", kVendor}, {}, 120);
        frontEnds.report(name, "TCP fake, no TCP line: connections to it", std::to_string(fake.connections()), "0",
                         fake.connections() == 0 && listing.status >= 0 && client.status > 0);
        Measured configured, portGiven;
        std::thread second([&] { portGiven = RunMeasured({frontEnds.scanClient, "--port", "7000", "list", kVendor}, {}, 150); });
        configured = RunMeasured({scanimage, "-L"}, tcp, 150);
        second.join();
        std::printf("%s: a fake on 127.0.0.1:7000 drips one byte every %d s; it saw %d connections, %ld bytes\n",
                    name.c_str(), kDripMs / 1000, fake.connections(), fake.bytes());
        frontEnds.report(name, "TCP line, dripping fake: scanimage -L seconds",
                         number(configured.seconds) + (configured.status < 0 ? " (stopped)" : ""), "<= 65 (one 60 s answer)",
                         configured.status >= 0 && configured.seconds <= 65 &&
                             usbScannersListed(configured.output) == 0);
        frontEnds.report(name, "--port 7000, dripping fake: scan-client list seconds",
                         number(portGiven.seconds) + (portGiven.status < 0 ? " (stopped)" : ""), "<= 35 (one 30 s answer)",
                         portGiven.status > 0 && portGiven.seconds <= 35);
    }
    {
        FakeDaemon fake("", Behaviour::Garbage);
        Measured listing = RunMeasured({scanimage, "-L"}, tcp, 120);
        Measured client = RunMeasured({frontEnds.scanClient, "--port", "7000", "list", kVendor}, {}, 120);
        frontEnds.report(name, "TCP line, garbage answer: scanimage -L seconds, USB listed",
                         number(listing.seconds) + ", " + std::to_string(usbScannersListed(listing.output)), "< 5, 0",
                         fake.connections() >= 1 && listing.status >= 0 && listing.seconds < 5 &&
                             usbScannersListed(listing.output) == 0);
        frontEnds.report(name, "--port 7000, garbage answer: scan-client list seconds, status",
                         number(client.seconds) + ", " + std::to_string(client.status), "< 5, not 0",
                         client.status > 0 && client.seconds < 5);
    }
}
