// RuvoScanShare: the scanners of the scan daemon as eSCL scanners on the
// network, for phones, other computers and driverless clients.
#include "CommandLine.h"
#include "backend_config.h"
#include "daemon_adapter.h"
#include "product_paths.h"
#include "share_rules.h"
#include "share_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
    for (const auto &scanner : scanners)
        std::fprintf(stderr, "RuvoScanShare: sharing %s as /%s/eSCL\n", scanner.description.makeAndModel.c_str(),
                     scanner.slug.c_str());
    if (!scanners.empty())
        std::fprintf(stderr, "RuvoScanShare: /eSCL is %s\n", scanners.front().slug.c_str());

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
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}
