// RuvoScanShare: the scanners of the scan daemon as eSCL scanners on the
// network, for phones, other computers and driverless clients.
#include "CommandLine.h"
#include "backend_config.h"
#include "daemon_adapter.h"
#include "product_paths.h"
#include "mdns_announcer.h"
#include "share_rules.h"
#include "share_server.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>

namespace {

std::string readFile(const std::string &path, size_t limit)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

constexpr int kScannerPollSeconds = 5;
constexpr int kNetworkProbeSeconds = 60;

std::vector<std::string> slugsOf(const std::vector<ruvo_share::ScannerEntry> &scanners)
{
    std::vector<std::string> slugs;
    for (const auto &scanner : scanners)
        slugs.push_back(scanner.slug);
    return slugs;
}

std::vector<ruvo_share::ServiceRecord> recordsOf(const std::vector<ruvo_share::ScannerEntry> &scanners)
{
    std::vector<ruvo_share::ServiceRecord> records;
    for (const auto &scanner : scanners)
        records.push_back(ruvo_share::UscanRecord(scanner.slug, scanner.description, scanner.usb ? "" : scanner.address));
    return records;
}

void logChanges(const std::vector<ruvo_share::ScannerEntry> &before, const std::vector<ruvo_share::ScannerEntry> &after)
{
    auto has = [](const std::vector<ruvo_share::ScannerEntry> &list, const std::string &slug) {
        return std::any_of(list.begin(), list.end(), [&](const ruvo_share::ScannerEntry &entry) { return entry.slug == slug; });
    };
    for (const auto &scanner : before)
        if (!has(after, scanner.slug))
            std::fprintf(stderr, "RuvoScanShare: %s is gone; /%s/eSCL is no longer served\n",
                         scanner.description.makeAndModel.c_str(), scanner.slug.c_str());
    for (const auto &scanner : after)
        if (!has(before, scanner.slug))
            std::fprintf(stderr, "RuvoScanShare: sharing %s as /%s/eSCL\n", scanner.description.makeAndModel.c_str(),
                         scanner.slug.c_str());
    if (!after.empty() && (before.empty() || before.front().slug != after.front().slug))
        std::fprintf(stderr, "RuvoScanShare: /eSCL is %s\n", after.front().slug.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    const ruvo_command_line::stProgram program{
        "RuvoScanShare",
        "Shares the scanners of the scan daemon as eSCL scanners over HTTP. Settings: " +
            std::string(ruvo_paths::kScanShareConfig) + " (loopback only until share = lan).",
        {{"--foreground", "run in this terminal with the installed settings, as the service does"}}};
    ruvo_command_line::stParsed parsed;
    const int answered = ruvo_command_line::AnswerCommandLine(program, argc, argv, parsed);
    if (answered >= 0)
        return answered;

    std::string configPath = ruvo_paths::kScanShareConfig;
    if (const char *other = std::getenv(ruvo_paths::kScanShareConfigEnvironment))
        configPath = other;
    std::vector<std::string> problems;
    ruvo_share::ShareSettings settings =
        ruvo_share::ParseShareSettings(readFile(configPath, ruvo_share::kMaxSettingFileBytes + 1), problems);
    for (const std::string &problem : problems)
        std::fprintf(stderr, "RuvoScanShare: %s: %s\n", configPath.c_str(), problem.c_str());

    std::string listPath = std::string(ruvo_paths::kProductRoot) + ruvo_paths::kCfgSubDir + ruvo_paths::kPrinterListFileName;
    auto configured = ruvo_sane::MergeScanners(
        ruvo_sane::ParseBackendConfig(readFile(settings.scannerConfig, ruvo_sane::kMaxConfigBytes)),
        ruvo_sane::NetworkPrintersOfList(readFile(listPath, ruvo_sane::kMaxConfigBytes)));
    std::vector<ruvo_share::NetworkScanner> network;
    for (const auto &entry : configured)
        network.push_back({entry.address, entry.model});
    std::vector<ruvo_share::ScannerEntry> scanners = ruvo_share::ListScanners(network, settings.formats);
    logChanges({}, scanners);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr); // before any thread starts
    std::signal(SIGPIPE, SIG_IGN);

    ruvo_share::ShareServer server(settings, scanners);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "RuvoScanShare: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "RuvoScanShare: listening on %s port %d\n", settings.lan ? "every address" : "127.0.0.1",
                 settings.port);
    ruvo_share::MdnsAnnouncer announcer(settings.port, !settings.lan);
    if (!announcer.start(error))
        std::fprintf(stderr, "RuvoScanShare: %s; the scanners are not announced\n", error.c_str());
    announcer.announce(recordsOf(scanners));

    // Scanners come and go: the daemon's list is read again at every tick.
    auto lastNetworkProbe = std::chrono::steady_clock::now();
    while (true) {
        timespec tick{kScannerPollSeconds, 0};
        if (sigtimedwait(&signals, nullptr, &tick) >= 0)
            break;
        std::vector<ruvo_share::ScannerEntry> now;
        std::optional<std::vector<ruvo_share::ScannerEntry>> usb = ruvo_share::ListUsbScanners(scanners, settings.formats);
        if (usb) {
            now = *usb;
        } else {
            // The daemon does not answer (it may be restarting): the USB scanners stay as they were.
            for (const auto &scanner : scanners)
                if (scanner.usb)
                    now.push_back(scanner);
        }
        // A network scanner is probed again only while it is missing, and not often: probing one
        // that is off waits for the network.
        bool probe = std::chrono::steady_clock::now() - lastNetworkProbe >= std::chrono::seconds(kNetworkProbeSeconds);
        if (probe)
            lastNetworkProbe = std::chrono::steady_clock::now();
        for (const auto &wanted : network) {
            auto listed = std::find_if(scanners.begin(), scanners.end(),
                                       [&](const ruvo_share::ScannerEntry &entry) { return !entry.usb && entry.address == wanted.address; });
            if (listed != scanners.end())
                now.push_back(*listed);
            else if (probe)
                if (std::optional<ruvo_share::ScannerEntry> entry = ruvo_share::ProbeNetworkScanner(wanted, settings.formats))
                    now.push_back(*entry);
        }
        if (slugsOf(now) == slugsOf(scanners))
            continue;
        logChanges(scanners, now);
        scanners = now;
        server.setScanners(scanners);
        announcer.announce(recordsOf(scanners));
    }
    server.stop();
    return 0;
}
