#include "backend_config.h"

#include "model_rows.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace ruvo_sane {

namespace {

std::string_view trim(std::string_view text)
{
    const char *blanks = " \t\r\n\f\v";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// Calls `each` for every line of `text`, without its line end.
template <typename Each>
void forEachLine(std::string_view text, Each each)
{
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        each(text.substr(position, end - position));
        position = end + 1;
    }
}

// The model code of a display name ("Ruvo K402ADN") or of a bare code, as the
// model table spells it; empty when the table does not know it.
std::string knownModelCode(std::string_view name)
{
    if (const ruvo_models::ModelRow *row = ruvo_models::FindByDisplayName(name))
        return row->code;
    std::string displayName = std::string(ruvo_models::kBrand) + " " + std::string(name);
    if (const ruvo_models::ModelRow *row = ruvo_models::FindByDisplayName(displayName))
        return row->code;
    return {};
}

bool haveAddress(const std::vector<NetworkScannerEntry> &list, const std::string &address)
{
    return std::any_of(list.begin(), list.end(),
                       [&](const NetworkScannerEntry &entry) { return entry.address == address; });
}

// A value as QSettings writes it: surrounding quotes removed.
std::string iniValue(std::string_view value)
{
    value = trim(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

} // namespace

std::optional<int> DaemonTcpPortOfConfig(std::string_view text)
{
    std::optional<int> port;
    forEachLine(text, [&](std::string_view line) {
        line = trim(line.substr(0, line.find('#')));
        std::string_view keyword(kDaemonTcpKeyword);
        if (line.compare(0, keyword.size(), keyword) != 0 || line.size() == keyword.size() ||
            (line[keyword.size()] != ' ' && line[keyword.size()] != '\t'))
            return;
        std::string_view value = trim(line.substr(keyword.size()));
        if (value.empty() || value.size() > 5 ||
            !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            port.reset();
            return;
        }
        int number = std::atoi(std::string(value).c_str());
        if (number >= 1 && number <= 65535)
            port = number;
        else
            port.reset();
    });
    return port;
}

std::vector<NetworkScannerEntry> ParseBackendConfig(std::string_view text, std::vector<RefusedConfigLine> *refused)
{
    std::vector<NetworkScannerEntry> scanners;
    int number = 0;
    forEachLine(text.substr(0, kMaxConfigBytes), [&](std::string_view line) {
        ++number;
        size_t comment = line.find('#');
        if (comment != std::string_view::npos)
            line = line.substr(0, comment);
        line = trim(line);
        size_t blank = line.find_first_of(" \t");
        std::string_view address = line.substr(0, blank);
        std::string_view model = blank == std::string_view::npos ? std::string_view() : trim(line.substr(blank));
        if (!IsDottedIPv4(address)) {
            // The daemon's TCP port line is the one other line ruvo.conf holds.
            const bool daemonLine = address == std::string_view(kDaemonTcpKeyword) && !model.empty();
            if (refused && !line.empty() && !daemonLine && refused->size() < kMaxNetworkScanners)
                refused->push_back({number, std::string(line.substr(0, kMaxRefusedLineText))});
            return;
        }
        if (scanners.size() >= kMaxNetworkScanners)
            return;
        std::string addressText(address);
        if (haveAddress(scanners, addressText))
            return;
        scanners.push_back({addressText, knownModelCode(model)});
    });
    return scanners;
}

std::vector<NetworkScannerEntry> NetworkPrintersOfList(std::string_view text)
{
    // section name -> key -> value; only the keys this reader needs are kept.
    std::map<std::string, std::map<std::string, std::string>> sections;
    std::string section;
    forEachLine(text.substr(0, kMaxConfigBytes), [&](std::string_view line) {
        line = trim(line);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            return;
        if (line.front() == '[') {
            size_t close = line.find(']');
            section = close == std::string_view::npos ? std::string() : std::string(line.substr(1, close - 1));
            return;
        }
        size_t equals = line.find('=');
        if (equals == std::string_view::npos || section.empty())
            return;
        std::string key(trim(line.substr(0, equals)));
        if (key != "Count" && key != "Model" && key != "ConnectType" && key != "Port")
            return;
        if (sections.size() > 4 * kMaxNetworkScanners + 1 && !sections.count(section))
            return; // a file with thousands of sections: the rest is not read
        sections[section][key] = iniValue(line.substr(equals + 1));
    });

    std::vector<NetworkScannerEntry> scanners;
    long count = std::strtol(sections["Main"]["Count"].c_str(), nullptr, 10);
    count = std::clamp<long>(count, 0, 4 * static_cast<long>(kMaxNetworkScanners));
    for (long index = 0; index < count && scanners.size() < kMaxNetworkScanners; ++index) {
        auto found = sections.find("printer_" + std::to_string(index));
        if (found == sections.end())
            continue;
        std::map<std::string, std::string> &printer = found->second;
        bool usb = std::strtol(printer["ConnectType"].c_str(), nullptr, 10) == 1;
        std::string model = knownModelCode(printer["Model"]);
        const std::string &address = printer["Port"];
        if (usb || model.empty() || !IsDottedIPv4(address) || haveAddress(scanners, address))
            continue;
        scanners.push_back({address, model});
    }
    return scanners;
}

std::vector<NetworkScannerEntry> MergeScanners(const std::vector<NetworkScannerEntry> &first,
                                               const std::vector<NetworkScannerEntry> &second)
{
    std::vector<NetworkScannerEntry> all = first;
    for (const NetworkScannerEntry &entry : second) {
        if (all.size() >= 2 * kMaxNetworkScanners)
            break;
        auto same = std::find_if(all.begin(), all.end(),
                                 [&](const NetworkScannerEntry &known) { return known.address == entry.address; });
        if (same == all.end())
            all.push_back(entry);
        else if (same->model.empty())
            same->model = entry.model;
    }
    return all;
}

} // namespace ruvo_sane
