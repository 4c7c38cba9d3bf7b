#pragma once
// Where the network scanners come from: the backend's configuration file
// ruvo.conf and the network printers of the suite's printer list. Both are
// text from outside the backend, read by pure functions that never trust it.

#include "dotted_ipv4.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ruvo_sane {

struct NetworkScannerEntry {
    std::string address; // dotted IPv4
    std::string model;   // model code from the model table, or empty when unknown
};

// At most this many scanners are taken from each source; at most this much
// text is read from a file.
inline constexpr size_t kMaxNetworkScanners = 64;
inline constexpr size_t kMaxConfigBytes = 1 << 20;

using ruvo_address::IsDottedIPv4;

// A line of ruvo.conf that names no address the scan daemon would take.
struct RefusedConfigLine {
    int number = 0;   // from 1
    std::string text; // without its comment, at most kMaxRefusedLineText bytes
};
inline constexpr size_t kMaxRefusedLineText = 80;

// ruvo.conf: one scanner a line, its IPv4 address, optionally followed by a
// model code ("127.0.0.2 K402ADN"). '#' starts a comment; blank lines and
// lines that are not an address are skipped (and, with `refused`, listed
// there, at most kMaxNetworkScanners of them). Repeated addresses count once.
std::vector<NetworkScannerEntry> ParseBackendConfig(std::string_view text,
                                                    std::vector<RefusedConfigLine> *refused = nullptr);

// The one line that sends the backend to the daemon over loopback TCP
// instead of its local socket: "daemon-tcp-port 7000". Nothing tells who
// listens on a TCP port, so only an administrator's explicit line chooses it.
// nullopt without such a line, or when its port is not 1..65535; the last
// such line counts.
inline constexpr char kDaemonTcpKeyword[] = "daemon-tcp-port";
std::optional<int> DaemonTcpPortOfConfig(std::string_view text);

// The printer list (INI: [Main] Count=N, [printer_i] with Name, Model,
// ConnectType, Port, URI): the printers with a connect type other than 1
// (USB) whose Port is an IPv4 address and whose model is in the model table.
std::vector<NetworkScannerEntry> NetworkPrintersOfList(std::string_view text);

// Both lists together, the configuration first, each address once.
std::vector<NetworkScannerEntry> MergeScanners(const std::vector<NetworkScannerEntry> &first,
                                               const std::vector<NetworkScannerEntry> &second);

} // namespace ruvo_sane
