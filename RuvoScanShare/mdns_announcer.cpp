#include "mdns_announcer.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <net/if.h>

#include <cstdio>
#include <map>

namespace ruvo_share {

namespace {

// One announced service: its entry group, and the name it has now (another
// host's service of the same name makes us take an alternative one).
constexpr unsigned kReconnectMilliseconds = 10000;

struct Announcement {
    ServiceRecord record;
    std::string name;
    AvahiEntryGroup *group = nullptr;
};

} // namespace

// Everything below runs in Avahi's event thread, or under its lock.
struct MdnsAnnouncer::State {
    int port = 0;
    bool loopbackOnly = false;
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiTimeout *retry = nullptr; // the next attempt to reach the bus
    bool waitingForBus = false;
    std::vector<ServiceRecord> wanted;
    std::map<std::string, Announcement> announced; // by record key

    static void clientChanged(AvahiClient *client, AvahiClientState state, void *context);
    static void groupChanged(AvahiEntryGroup *group, AvahiEntryGroupState state, void *context);
    static void retryNow(AvahiTimeout *timeout, void *context);

    void connect(); // a new client; it waits for the daemon when there is none
    void dropGroups()
    {
        for (auto &[key, announcement] : announced)
            if (announcement.group)
                avahi_entry_group_free(announcement.group);
        announced.clear();
    }
    void withdraw(const std::string &key)
    {
        auto found = announced.find(key);
        if (found == announced.end())
            return;
        if (found->second.group)
            avahi_entry_group_free(found->second.group);
        std::fprintf(stderr, "RuvoScanShare: withdrew \"%s\" from mDNS\n", found->second.name.c_str());
        announced.erase(found);
    }
    void publish(Announcement &announcement);
    void takeAlternativeName(Announcement &announcement)
    {
        char *other = avahi_alternative_service_name(announcement.name.c_str());
        std::fprintf(stderr, "RuvoScanShare: the name \"%s\" is taken on the network; announcing \"%s\"\n",
                     announcement.name.c_str(), other ? other : "");
        if (other)
            announcement.name = other;
        avahi_free(other);
    }
    // Brings the announcements to `wanted` while the client runs.
    void update()
    {
        if (!client || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING)
            return;
        std::vector<ServiceRecord> current;
        for (auto &[key, announcement] : announced)
            current.push_back(announcement.record);
        AnnouncementChanges changes = ChangesBetween(current, wanted);
        for (const std::string &key : changes.withdraw)
            withdraw(key);
        for (const ServiceRecord &record : changes.announce) {
            Announcement &announcement = announced[record.key];
            announcement.record = record;
            announcement.name = record.name;
            publish(announcement);
        }
    }
};

void MdnsAnnouncer::State::publish(Announcement &announcement)
{
    if (!announcement.group)
        announcement.group = avahi_entry_group_new(client, groupChanged, this);
    if (!announcement.group) {
        std::fprintf(stderr, "RuvoScanShare: mDNS: %s\n", avahi_strerror(avahi_client_errno(client)));
        return;
    }
    AvahiStringList *txt = nullptr;
    for (const std::string &entry : announcement.record.txt)
        txt = avahi_string_list_add(txt, entry.c_str());
    txt = avahi_string_list_reverse(txt); // each addition went in front
    AvahiIfIndex interface = AVAHI_IF_UNSPEC;
    if (loopbackOnly) {
        unsigned loopback = if_nametoindex("lo");
        interface = loopback ? static_cast<AvahiIfIndex>(loopback) : AVAHI_IF_UNSPEC;
    }
    // A name taken by another service is tried again under the next alternative.
    int result = AVAHI_ERR_COLLISION;
    for (int attempt = 0; attempt < 10 && result == AVAHI_ERR_COLLISION; ++attempt) {
        avahi_entry_group_reset(announcement.group);
        result = avahi_entry_group_add_service_strlst(announcement.group, interface, AVAHI_PROTO_INET,
                                                      static_cast<AvahiPublishFlags>(0), announcement.name.c_str(),
                                                      kUscanServiceType, nullptr, nullptr,
                                                      static_cast<uint16_t>(port), txt);
        if (result == AVAHI_ERR_COLLISION)
            takeAlternativeName(announcement);
    }
    if (result >= 0)
        result = avahi_entry_group_commit(announcement.group);
    avahi_string_list_free(txt);
    if (result < 0)
        std::fprintf(stderr, "RuvoScanShare: cannot announce \"%s\": %s\n", announcement.name.c_str(),
                     avahi_strerror(result));
    else
        std::fprintf(stderr, "RuvoScanShare: announcing \"%s\" as %s on port %d\n", announcement.name.c_str(),
                     kUscanServiceType, port);
}

void MdnsAnnouncer::State::groupChanged(AvahiEntryGroup *group, AvahiEntryGroupState state, void *context)
{
    auto &self = *static_cast<State *>(context);
    if (state != AVAHI_ENTRY_GROUP_COLLISION && state != AVAHI_ENTRY_GROUP_FAILURE)
        return;
    for (auto &[key, announcement] : self.announced) {
        if (announcement.group != group)
            continue;
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            self.takeAlternativeName(announcement);
            self.publish(announcement);
        } else {
            std::fprintf(stderr, "RuvoScanShare: mDNS announcement of \"%s\" failed: %s\n", announcement.name.c_str(),
                         avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        }
        return;
    }
}

void MdnsAnnouncer::State::clientChanged(AvahiClient *client, AvahiClientState state, void *context)
{
    auto &self = *static_cast<State *>(context);
    self.client = client; // the first call comes before avahi_client_new returns
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        self.update();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name changes: the services are announced again once it runs.
        self.dropGroups();
        break;
    case AVAHI_CLIENT_CONNECTING:
        // The daemon is gone and the client waits for it: what it announced went with it.
        self.dropGroups();
        break;
    case AVAHI_CLIENT_FAILURE:
        self.dropGroups();
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
            // The bus itself went away: a new client waits for it to come back.
            avahi_client_free(client);
            self.client = nullptr;
            self.connect();
        } else {
            std::fprintf(stderr, "RuvoScanShare: mDNS: %s\n", avahi_strerror(avahi_client_errno(client)));
        }
        break;
    }
}

void MdnsAnnouncer::State::connect()
{
    int error = 0;
    AvahiClient *made = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, clientChanged, this, &error);
    client = made;
    if (made) {
        waitingForBus = false;
        return;
    }
    // Without a system bus the client cannot even wait for Avahi: try again later.
    if (!waitingForBus)
        std::fprintf(stderr, "RuvoScanShare: mDNS waits for the system bus: %s\n", avahi_strerror(error));
    waitingForBus = true;
    const AvahiPoll *api = avahi_threaded_poll_get(poll);
    timeval when{};
    avahi_elapse_time(&when, kReconnectMilliseconds, 0);
    if (retry)
        api->timeout_update(retry, &when);
    else
        retry = api->timeout_new(api, &when, retryNow, this);
}

void MdnsAnnouncer::State::retryNow(AvahiTimeout *, void *context)
{
    auto &self = *static_cast<State *>(context);
    if (!self.client)
        self.connect();
}

MdnsAnnouncer::MdnsAnnouncer(int port, bool loopbackOnly) : m_state(new State)
{
    m_state->port = port;
    m_state->loopbackOnly = loopbackOnly;
}

MdnsAnnouncer::~MdnsAnnouncer()
{
    if (!m_state->poll)
        return;
    avahi_threaded_poll_stop(m_state->poll);
    m_state->dropGroups();
    if (m_state->retry)
        avahi_threaded_poll_get(m_state->poll)->timeout_free(m_state->retry);
    if (m_state->client)
        avahi_client_free(m_state->client);
    avahi_threaded_poll_free(m_state->poll);
}

bool MdnsAnnouncer::start(std::string &error)
{
    m_state->poll = avahi_threaded_poll_new();
    if (!m_state->poll) {
        error = "cannot start the mDNS event loop";
        return false;
    }
    // The client is made before the thread runs, so nothing else touches it yet.
    m_state->connect();
    if (avahi_threaded_poll_start(m_state->poll) < 0) {
        error = "cannot start the mDNS event thread";
        return false;
    }
    return true;
}

void MdnsAnnouncer::announce(const std::vector<ServiceRecord> &records)
{
    if (!m_state->poll)
        return;
    avahi_threaded_poll_lock(m_state->poll);
    m_state->wanted = records;
    m_state->update();
    avahi_threaded_poll_unlock(m_state->poll);
}

} // namespace ruvo_share
