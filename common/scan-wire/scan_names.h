#pragma once
// The names the daemon and its clients agree on: a scan's base name, its page
// files, and where the daemon listens. The daemon makes these names, its
// clients read and hand them back, and a name of any other shape is refused on
// either side, so the shape is decided here only.

#include <optional>
#include <string>
#include <string_view>

namespace ruvo_wire {

// The base name a scan start hands out: "<scanDir>/ruvoscandata_<pid>_<index>".
struct ScanBase {
    int processId;
    int index;
};
std::string ScanBaseName(const std::string &scanDir, int processId, int index);
// Exactly that shape, numbers written as the daemon writes them (decimal, no
// sign, no leading zero); anything else, a trailing "/" or "_0" included, is not.
std::optional<ScanBase> ParseScanBaseName(std::string_view scanDir, std::string_view name);
// A base name in the installed scan directory, short enough that its page file
// names fit a request's file-name field: the only names a client follows.
bool IsDaemonScanBaseName(std::string_view name);

// A page file "<base>_<page>.tmp", and its entry in the scan directory:
// "ruvoscandata_<pid>_<index>_<page>.tmp".
struct PageEntry {
    int processId;
    int index;
    int page;
};
std::string PageFileName(const std::string &baseName, int page);
std::optional<PageEntry> ParsePageFileEntry(std::string_view entry);

// The daemon's TCP port from the text of RUVO_SCAN_DAEMON_PORT (tests beside
// another daemon): a decimal 1–65535, else the product's port.
int DaemonPortFromText(const char *text);
// The same from the environment.
int DaemonPortOfEnvironment();

// The daemon's local socket: RUVO_SCAN_SOCKET when set, else the installed path.
std::string ScanSocketPath();

} // namespace ruvo_wire
