// The clients' side of the daemon's socket: who may hold the local socket,
// and one deadline for a whole answer however its bytes arrive.

#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "client_io.h"
#include "product_paths.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uid_t kService = 990;

SCAN_TEST(trustedListenerIsTheServiceAccountOrRootWithoutOne)
{
    struct Row {
        uid_t peer;
        bool accountExists;
        bool trusted;
    };
    const Row rows[] = {
        {0, false, true},          // the daemon run by hand or in a test, no service account
        {1000, false, false},      // a user listening in the daemon's place
        {kService, true, true},    // the service as its unit runs it
        {0, true, false},          // root, where the service has its own account
        {1000, true, false},       // a user, service account present
        {kService, false, false},  // a uid that happens to be free of the account
    };
    for (const Row &row : rows)
        CHECK_EQ(ruvo_wire::TrustedDaemonUid(row.peer, row.accountExists, row.accountExists ? kService : 0),
                 row.trusted);
}

// A socket pair whose far end sends `answer` one byte every `gapMs`.
struct DrippingPeer {
    int ends[2] = {-1, -1};
    std::atomic<bool> stop{false};
    std::thread writer;
    DrippingPeer(std::vector<uint8_t> answer, int gapMs)
    {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
        writer = std::thread([this, answer, gapMs] {
            for (uint8_t byte : answer) {
                if (stop)
                    return;
                if (send(ends[1], &byte, 1, MSG_NOSIGNAL) != 1)
                    return;
                usleep(static_cast<useconds_t>(gapMs) * 1000);
            }
        });
    }
    ~DrippingPeer()
    {
        stop = true;
        writer.join();
        close(ends[0]);
        close(ends[1]);
    }
};

SCAN_TEST(oneDeadlineForTheWholeAnswer)
{
    std::vector<uint8_t> answer(64);
    for (size_t i = 0; i < answer.size(); ++i)
        answer[i] = static_cast<uint8_t>(i * 7 + 1);
    {
        // Each byte comes well within the limit, the whole answer long after
        // it: a wait per part would take all 64 bytes.
        DrippingPeer peer(answer, 40);
        std::vector<uint8_t> got(answer.size());
        CHECK(!ruvo_wire::ReceiveExact(peer.ends[0], got.data(), got.size(), 400));
    }
    {
        // The same bytes in pieces, all there before the deadline.
        DrippingPeer peer(answer, 1);
        std::vector<uint8_t> got(answer.size());
        CHECK(ruvo_wire::ReceiveExact(peer.ends[0], got.data(), got.size(), 20000));
        CHECK(got == answer);
    }
    {
        // A peer that closes early.
        int ends[2];
        REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
        CHECK(send(ends[1], "abc", 3, 0) == 3);
        close(ends[1]);
        char got[8];
        CHECK(!ruvo_wire::ReceiveExact(ends[0], got, sizeof(got), 5000));
        close(ends[0]);
    }
}

// A listener on `path` in a child running as `uid`; it reports through
// `report` how many bytes its first client sent before closing.
pid_t listenAs(uid_t uid, const std::string &path, int report)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        unlink(path.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0)
            _exit(2);
        chmod(path.c_str(), 0666);
        // The kernel records the listener's user when it starts listening.
        if ((uid != 0 && setresuid(uid, uid, uid) != 0) || listen(fd, 4) != 0)
            _exit(3);
        char one = 1;
        if (write(ready[1], &one, 1) != 1)
            _exit(4);
        int client = accept(fd, nullptr, nullptr);
        long total = 0;
        char buffer[256];
        ssize_t got;
        while (client >= 0 && (got = recv(client, buffer, sizeof(buffer), 0)) > 0)
            total += got;
        if (write(report, &total, sizeof(total)) != sizeof(total))
            _exit(5);
        _exit(0);
    }
    close(ready[1]);
    char one = 0;
    bool started = read(ready[0], &one, 1) == 1;
    close(ready[0]);
    return started ? pid : -1;
}

SCAN_TEST(localSocketOfAnotherUserIsRefusedBeforeAnythingIsSent)
{
    REQUIRE(geteuid() == 0);
    std::string folder = "/tmp/client-io-test";
    mkdir(folder.c_str(), 0755);
    std::string path = folder + "/scan.sock";
    setenv(ruvo_paths::kScanSocketEnvironment, path.c_str(), 1);
    CHECK_EQ(ruvo_wire::ScanSocketPath(), path);
    bool accountExists = getpwnam(ruvo_paths::kScanServiceAccount) != nullptr;

    struct Row {
        const char *what;
        uid_t listener;
        bool accepted;
    };
    const Row rows[] = {{"another user", 65534, false}, {"root", 0, !accountExists}};
    for (const Row &row : rows) {
        int report[2];
        REQUIRE(pipe(report) == 0);
        pid_t listener = listenAs(row.listener, path, report[1]);
        close(report[1]);
        REQUIRE(listener > 0);
        std::string error;
        int fd = ruvo_wire::ConnectToLocalDaemon(error);
        bool accepted = fd >= 0;
        CHECK_EQ(accepted, row.accepted);
        if (fd >= 0) {
            CHECK(ruvo_wire::SendRequest(fd, 0, "abcdefghijkl", 12));
            close(fd);
        } else {
            CHECK(!error.empty());
            if (row.listener != 0)
                CHECK(error.find(std::to_string(row.listener)) != std::string::npos);
        }
        long received = -1;
        CHECK(read(report[0], &received, sizeof(received)) == sizeof(received));
        close(report[0]);
        // A refused listener never sees a byte of a request.
        CHECK_EQ(received, accepted ? 16L : 0L);
        int status = 0;
        waitpid(listener, &status, 0);
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    // No listener at all: refused at once with the path in the message.
    unlink(path.c_str());
    std::string error;
    CHECK(ruvo_wire::ConnectToLocalDaemon(error) < 0);
    CHECK(error.find(path) != std::string::npos);
}

SCAN_TEST(receiveUpToCountsWhatCameBeforeThePeerClosed)
{
    int ends[2];
    REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    REQUIRE(send(ends[1], "xyz", 3, MSG_NOSIGNAL) == 3);
    close(ends[1]);
    char buffer[8] = {};
    CHECK_EQ(ruvo_wire::ReceiveUpTo(ends[0], buffer, sizeof(buffer), ruvo_wire::DeadlineIn(10000)), size_t(3));
    CHECK_EQ(std::string(buffer, 3), std::string("xyz"));
    close(ends[0]);
}

volatile sig_atomic_t s_interruptions = 0;
void countInterruption(int)
{
    s_interruptions = s_interruptions + 1;
}
bool alwaysGiveUp()
{
    return true;
}

// A signal (no restart) interrupts the wait; the bytes come 300 ms after it.
size_t receiveAcrossASignal(ruvo_wire::GiveUp giveUp)
{
    struct sigaction action {};
    action.sa_handler = countInterruption;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, nullptr);
    int ends[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
    const pid_t receiver = getpid();
    pid_t sender = fork();
    if (sender == 0) {
        usleep(100 * 1000);
        kill(receiver, SIGUSR2);
        usleep(300 * 1000);
        ssize_t sent = send(ends[1], "abcd", 4, MSG_NOSIGNAL);
        _exit(sent == 4 ? 0 : 1);
    }
    close(ends[1]);
    s_interruptions = 0;
    char buffer[4] = {};
    size_t got = ruvo_wire::ReceiveUpTo(ends[0], buffer, sizeof(buffer), ruvo_wire::DeadlineIn(20000), giveUp);
    waitpid(sender, nullptr, 0);
    close(ends[0]);
    signal(SIGUSR2, SIG_DFL);
    CHECK_EQ(static_cast<int>(s_interruptions), 1);
    return got;
}

SCAN_TEST(anInterruptedReceiveEndsOnlyWhenAskedTo)
{
    CHECK_EQ(receiveAcrossASignal(nullptr), size_t(4));
    CHECK_EQ(receiveAcrossASignal(alwaysGiveUp), size_t(0));
}

// The peer reads a stream of fixed-size pieces: a piece whose first bytes
// went out is finished even when a signal asks the sender to give up, or every
// piece after it would be read out of step.
SCAN_TEST(aSendGivesUpOnlyBeforeItsFirstByte)
{
    struct sigaction action {};
    action.sa_handler = countInterruption;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, nullptr);
    std::vector<uint8_t> piece(1024 * 1024);
    for (size_t i = 0; i < piece.size(); ++i)
        piece[i] = static_cast<uint8_t>(i * 13 + 5);
    int ends[2];
    REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    const pid_t sender = getpid();
    pid_t peer = fork();
    if (peer == 0) {
        // Two signals while the piece is only part sent: the first ends the
        // send that moved bytes, the second interrupts one that moved none.
        close(ends[0]);
        for (int signal = 0; signal < 2; ++signal) {
            usleep(150 * 1000);
            kill(sender, SIGUSR2);
        }
        usleep(150 * 1000);
        std::vector<uint8_t> received;
        uint8_t part[65536];
        ssize_t got;
        while ((got = recv(ends[1], part, sizeof(part), 0)) > 0)
            received.insert(received.end(), part, part + got);
        _exit(received == piece ? 0 : 1);
    }
    close(ends[1]);
    s_interruptions = 0;
    CHECK(ruvo_wire::SendAll(ends[0], piece.data(), piece.size(), 5000, alwaysGiveUp));
    close(ends[0]);
    int status = -1;
    waitpid(peer, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK_EQ(static_cast<int>(s_interruptions), 2);

    // Nothing of the next piece has gone out yet: the sender may give it up.
    REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    std::vector<uint8_t> filler(4096, 0);
    while (send(ends[0], filler.data(), filler.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
    peer = fork();
    if (peer == 0) {
        usleep(150 * 1000);
        kill(sender, SIGUSR2);
        _exit(0);
    }
    CHECK(!ruvo_wire::SendAll(ends[0], piece.data(), 16, 5000, alwaysGiveUp));
    waitpid(peer, nullptr, 0);
    close(ends[0]);
    close(ends[1]);
    signal(SIGUSR2, SIG_DFL);
}

// What a search answer of `count` and `records` device records finds.
bool findIn(int32_t count, int records, std::vector<USBFindDevRes> &found)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    std::vector<uint8_t> answer(sizeof(count));
    std::memcpy(answer.data(), &count, sizeof(count));
    for (int i = 0; i < records; ++i) {
        USBFindDevRes record{};
        record.fd = 8 + i;
        std::snprintf(record.SerialNumber, sizeof(record.SerialNumber), "RV%d", i);
        const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
        answer.insert(answer.end(), bytes, bytes + sizeof(record));
    }
    std::thread peer([&] {
        ruvo_wire::SendAll(ends[1], answer.data(), answer.size());
        shutdown(ends[1], SHUT_WR);
    });
    bool whole = ruvo_wire::ReceiveFoundDevices(ends[0], ruvo_wire::DeadlineIn(5000), found);
    peer.join();
    close(ends[0]);
    close(ends[1]);
    return whole;
}

SCAN_TEST(aSearchAnswerIsItsCountOfDeviceRecords)
{
    std::vector<USBFindDevRes> found;
    CHECK(findIn(2, 2, found));
    REQUIRE(found.size() == 2);
    CHECK_EQ(found[1].fd, 9);
    CHECK_EQ(std::string(found[1].SerialNumber), std::string("RV1"));
    found.clear();
    CHECK(findIn(-1, 0, found)); // the daemon's search failed: nothing found
    CHECK(found.empty());
    CHECK(!findIn(2, 1, found)); // cut short
    found.clear();
    CHECK(!findIn(kMaxUsbDevices + 1, kMaxUsbDevices + 1, found)); // more than the daemon's table holds
    CHECK(found.empty());
}

SCAN_TEST(aStalledSendFailsAfterItsLimitAndAReadPeerGetsEveryByte)
{
    std::vector<uint8_t> block(4 * 1024 * 1024);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 31 + 7);
    {
        // Nobody reads: the send stops once nothing has gone out for 200 ms.
        int ends[2];
        REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
        CHECK(!ruvo_wire::SendAll(ends[0], block.data(), block.size(), 200, nullptr));
        close(ends[0]);
        close(ends[1]);
    }
    {
        // A slow reader keeps the send going under the same limit.
        int ends[2];
        REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
        std::vector<uint8_t> received;
        std::thread reader([&] {
            uint8_t part[65536];
            ssize_t got;
            while ((got = recv(ends[1], part, sizeof(part), 0)) > 0) {
                received.insert(received.end(), part, part + got);
                usleep(1000);
            }
        });
        CHECK(ruvo_wire::SendAll(ends[0], block.data(), block.size(), 200, nullptr));
        shutdown(ends[0], SHUT_WR);
        reader.join();
        CHECK(received == block);
        close(ends[0]);
        close(ends[1]);
    }
}

} // namespace
