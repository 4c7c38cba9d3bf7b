#pragma once
// One connection to the scan daemon, over its local socket (the listener
// checked to be the scan service) or, where ruvo.conf names it, loopback TCP:
// fixed-size requests out, fixed-size responses in, each answer within one
// deadline.

#include "client_io.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace ruvo_sane {

// How the daemon is reached: its local socket, or loopback TCP on `tcpPort`.
struct DaemonRoute {
    std::optional<int> tcpPort;
    // "the local socket /run/..." or "127.0.0.1:7000", for messages.
    std::string describe() const;
};

class DaemonLink {
public:
    DaemonLink() = default;
    ~DaemonLink() { close(); }
    DaemonLink(const DaemonLink &) = delete;
    DaemonLink &operator=(const DaemonLink &) = delete;

    // Connects along `route`; on failure `error` says why.
    bool connect(const DaemonRoute &route, std::string &error);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }
    // True when the daemon has closed its end (or sent bytes nobody asked for,
    // which leaves the stream unusable too).
    bool closedByPeer() const;

    // Sends the command value and its body as one piece. Safe beside a
    // receive running in another thread; sends from two threads are serialised.
    bool command(int32_t command, const void *body, size_t length);
    // Receives exactly `length` bytes within `timeoutMs` for all of them.
    bool receive(void *buffer, size_t length, int timeoutMs);
    // One request record and its fixed-size answer.
    template <typename Request, typename Answer>
    bool exchange(int32_t command, const Request &request, Answer &answer, int timeoutMs)
    {
        return this->command(command, &request, sizeof(request)) && receive(&answer, sizeof(answer), timeoutMs);
    }

private:
    int m_fd = -1;
    std::mutex m_sendMutex; // guards sending on m_fd
};

inline constexpr int kAnswerTimeoutMs = 60000;

} // namespace ruvo_sane
