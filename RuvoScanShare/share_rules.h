#pragma once
// The share's rules over text and numbers: its setting file, which client
// addresses it serves, which eSCL path names what, and which HTTP status a
// scan's outcome is answered with. Pure.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ruvo_share {

struct Network {
    uint32_t address = 0; // host order
    uint32_t mask = 0;
};

struct ShareSettings {
    int port = 8090;
    bool lan = false; // false: loopback only
    std::vector<Network> allowed; // empty with lan: every address
    std::vector<std::string> formats = {"image/jpeg", "application/pdf", "image/png"};
    int jobTimeoutSeconds = 120; // a job nobody asks about for this long is aborted
    std::string scannerConfig = "/etc/sane.d/ruvo.conf";
};

inline constexpr size_t kMaxSettingFileBytes = 64 * 1024;

// "key = value" lines, '#' comments: port, share (local | lan), allow (a
// list of a.b.c.d/n networks), formats, job-timeout, scanners-config.
// Unknown keys and bad values are reported in `problems` and leave the default.
ShareSettings ParseShareSettings(std::string_view text, std::vector<std::string> &problems);

std::optional<Network> ParseNetwork(std::string_view text);

// Loopback always; other addresses only with lan, and then only from the
// allowed networks when there are any.
bool ClientAllowed(const ShareSettings &settings, uint32_t address);

enum class Endpoint { None, Capabilities, Status, ScanJobs, Job, NextDocument, ScanImageInfo };

struct Route {
    std::string scanner; // empty: the first scanner (/eSCL)
    Endpoint endpoint = Endpoint::None;
    std::string job;
};

// "/eSCL/ScannerCapabilities", "/<scanner>/eSCL/ScanJobs/<job>/NextDocument"...
// Anything else is Endpoint::None.
Route ParseRoute(std::string_view path);

// A job id: 32 hexadecimal digits.
bool IsJobId(std::string_view text);

// The HTTP status for a scan start or next page that did not give a page.
// Busy: 503 (clients retry); jammed: 409; feeder empty or the job's pages
// all sent: 404; other failures: 500.
int HttpStatusFor(int saneStatus);

} // namespace ruvo_share
