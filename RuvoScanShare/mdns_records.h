#pragma once
// What the share announces over mDNS for each scanner: the service's name and
// the TXT record eSCL clients read before they ever ask for capabilities, and
// which announcements change when the list of scanners does. Pure.

#include "escl.h"

#include <string>
#include <vector>

namespace ruvo_share {

// One announced scanner: `key` is its path name ("usb-<serial>"), which
// stays the same while the scanner stays.
struct ServiceRecord {
    std::string key;
    std::string name; // at most 63 bytes, cut on a character boundary
    std::vector<std::string> txt; // "key=value", each at most 255 bytes
    bool operator==(const ServiceRecord &other) const
    {
        return key == other.key && name == other.name && txt == other.txt;
    }
};

inline constexpr const char *kUscanServiceType = "_uscan._tcp";
inline constexpr size_t kMaxServiceNameBytes = 63;
inline constexpr size_t kMaxTxtEntryBytes = 255;

// The record of the scanner at "/<slug>/eSCL". `adminAddress` is a network
// scanner's own address (its web page becomes adminurl); empty for USB.
ServiceRecord UscanRecord(const std::string &slug, const ScannerDescription &scanner,
                          const std::string &adminAddress);

// The records to withdraw (by key) and to announce, going from `announced`
// to `wanted`. A record whose name or TXT changed is withdrawn and announced
// again; one left as it was is not touched, so clients do not see it flicker.
struct AnnouncementChanges {
    std::vector<std::string> withdraw;
    std::vector<ServiceRecord> announce;
};
AnnouncementChanges ChangesBetween(const std::vector<ServiceRecord> &announced,
                                   const std::vector<ServiceRecord> &wanted);

} // namespace ruvo_share
