#pragma once
// The eSCL service over HTTP (libmicrohttpd): the scanners' capabilities and
// status, their scan jobs and pages. Bounded everywhere: connections in all
// and per address, idle time, header and body sizes, one job per scanner,
// abandoned jobs expire.

#include "daemon_adapter.h"
#include "share_rules.h"

#include <memory>
#include <string>
#include <vector>

namespace ruvo_share {

inline constexpr unsigned kMaxConnections = 64;
inline constexpr unsigned kMaxConnectionsPerAddress = 8;
inline constexpr unsigned kIdleTimeoutSeconds = 20;
inline constexpr size_t kConnectionMemory = 32 * 1024; // request line and headers

class ShareServer {
public:
    ShareServer(ShareSettings settings, std::vector<ScannerEntry> scanners);
    ~ShareServer();
    ShareServer(const ShareServer &) = delete;
    ShareServer &operator=(const ShareServer &) = delete;

    bool start(std::string &error);
    void stop();
    // The scanners served from now on; the first is also at /eSCL.
    void setScanners(std::vector<ScannerEntry> scanners);

    struct State;

private:
    std::unique_ptr<State> m_state;
};

} // namespace ruvo_share
