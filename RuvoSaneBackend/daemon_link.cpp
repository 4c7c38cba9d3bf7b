#include "daemon_link.h"

#include "client_io.h"
#include "scan_types.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace ruvo_sane {

std::string DaemonRoute::describe() const
{
    if (tcpPort)
        return "127.0.0.1:" + std::to_string(*tcpPort);
    return "the local socket " + ruvo_wire::ScanSocketPath();
}

bool DaemonLink::connect(const DaemonRoute &route, std::string &error)
{
    close();
    int fd = -1;
    if (route.tcpPort) {
        fd = ruvo_wire::ConnectToDaemon(*route.tcpPort);
        if (fd < 0)
            error = std::strerror(errno);
    } else {
        fd = ruvo_wire::ConnectToLocalDaemon(error);
    }
    if (fd < 0)
        return false;
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
    std::lock_guard<std::mutex> lock(m_sendMutex);
    return ruvo_wire::SendRequest(m_fd, command, body, length);
}

bool DaemonLink::receive(void *buffer, size_t length, int timeoutMs)
{
    return m_fd >= 0 && ruvo_wire::ReceiveExact(m_fd, buffer, length, timeoutMs);
}

} // namespace ruvo_sane
