#include "daemon_link.h"

#include "scan_types.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace ruvo_sane {

int DaemonPort()
{
    if (const char *text = std::getenv("RUVO_SCAN_DAEMON_PORT")) {
        int port = std::atoi(text);
        if (port > 0 && port < 65536)
            return port;
    }
    return kScanDaemonPort;
}

bool DaemonLink::connect(int port, std::string &error)
{
    close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    m_fd = fd;
    return true;
}

void DaemonLink::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool DaemonLink::closedByPeer() const
{
    if (m_fd < 0)
        return true;
    pollfd waiting{m_fd, POLLIN | POLLRDHUP, 0};
    int ready = poll(&waiting, 1, 0);
    if (ready <= 0)
        return false;
    return true; // hung up, failed, or bytes nobody waits for
}

bool DaemonLink::command(int32_t command, const void *body, size_t length)
{
    if (m_fd < 0)
        return false;
    std::vector<uint8_t> request(sizeof(command) + length);
    std::memcpy(request.data(), &command, sizeof(command));
    if (length > 0)
        std::memcpy(request.data() + sizeof(command), body, length);
    std::lock_guard<std::mutex> lock(m_sendMutex);
    size_t done = 0;
    while (done < request.size()) {
        ssize_t sent = send(m_fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool DaemonLink::receive(void *buffer, size_t length, int timeoutMs)
{
    auto *bytes = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < length) {
        if (m_fd < 0)
            return false;
        pollfd waiting{m_fd, POLLIN, 0};
        int ready = poll(&waiting, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t got = recv(m_fd, bytes + done, length - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

} // namespace ruvo_sane
