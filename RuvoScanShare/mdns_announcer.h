#pragma once
// The share's scanners on the network's mDNS, through the Avahi daemon. The
// announcer keeps what it is asked to announce and announces it whenever
// Avahi is there: an Avahi daemon that is missing at the start, stops or
// restarts never stops the share; its services come back with the daemon.

#include "mdns_records.h"

#include <memory>
#include <string>
#include <vector>

namespace ruvo_share {

class MdnsAnnouncer {
public:
    // `loopbackOnly`: the share answers on 127.0.0.1 only, so its services
    // are announced on the loopback interface alone.
    MdnsAnnouncer(int port, bool loopbackOnly);
    ~MdnsAnnouncer();
    MdnsAnnouncer(const MdnsAnnouncer &) = delete;
    MdnsAnnouncer &operator=(const MdnsAnnouncer &) = delete;

    // Starts Avahi's event thread; false (with `error`) only when that
    // cannot be done at all. A missing Avahi daemon is no error.
    bool start(std::string &error);
    // The records to announce from now on: those gone are withdrawn, new
    // and changed ones announced.
    void announce(const std::vector<ServiceRecord> &records);

    struct State;

private:
    std::unique_ptr<State> m_state;
};

} // namespace ruvo_share
