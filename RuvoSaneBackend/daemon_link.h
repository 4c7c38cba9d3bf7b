#pragma once
// One connection to the scan daemon on the loopback address: fixed-size
// requests out, fixed-size responses in, every wait bounded.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace ruvo_sane {

// The daemon's port: 7000, or RUVO_SCAN_DAEMON_PORT (tests beside another daemon).
int DaemonPort();

class DaemonLink {
public:
    DaemonLink() = default;
    ~DaemonLink() { close(); }
    DaemonLink(const DaemonLink &) = delete;
    DaemonLink &operator=(const DaemonLink &) = delete;

    // Connects to 127.0.0.1:`port`; on failure `error` says why.
    bool connect(int port, std::string &error);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }
    // True when the daemon has closed its end (or sent bytes nobody asked for,
    // which leaves the stream unusable too).
    bool closedByPeer() const;

    // Sends the command value and its body as one piece. Safe beside a
    // receive running in another thread; sends from two threads are serialised.
    bool command(int32_t command, const void *body, size_t length);
    // Receives exactly `length` bytes, waiting at most `timeoutMs` for each part.
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
