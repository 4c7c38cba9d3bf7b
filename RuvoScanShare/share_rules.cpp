#include "share_rules.h"

#include "scan_types.h"

#include <algorithm>

namespace ruvo_share {

namespace {

std::string_view trim(std::string_view text)
{
    const char *blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::optional<int> number(std::string_view text, int low, int high)
{
    if (text.empty() || text.size() > 6 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

std::vector<std::string_view> words(std::string_view text)
{
    std::vector<std::string_view> out;
    size_t position = 0;
    while (position < text.size()) {
        size_t start = text.find_first_not_of(" \t,", position);
        if (start == std::string_view::npos)
            break;
        size_t end = text.find_first_of(" \t,", start);
        if (end == std::string_view::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        position = end;
    }
    return out;
}

} // namespace

std::optional<Network> ParseNetwork(std::string_view text)
{
    size_t slash = text.find('/');
    std::string_view address = text.substr(0, slash);
    int bits = 32;
    if (slash != std::string_view::npos) {
        std::optional<int> prefix = number(text.substr(slash + 1), 0, 32);
        if (!prefix)
            return std::nullopt;
        bits = *prefix;
    }
    uint32_t value = 0;
    int parts = 0;
    size_t position = 0;
    while (parts < 4) {
        size_t dot = address.find('.', position);
        std::string_view part = address.substr(position, dot == std::string_view::npos ? std::string_view::npos : dot - position);
        std::optional<int> octet = number(part, 0, 255);
        if (!octet || part.size() > 3)
            return std::nullopt;
        value = value << 8 | static_cast<uint32_t>(*octet);
        ++parts;
        if (dot == std::string_view::npos)
            break;
        position = dot + 1;
    }
    if (parts != 4 || address.find('.', position) != std::string_view::npos)
        return std::nullopt;
    Network network;
    network.mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    network.address = value & network.mask;
    return network;
}

ShareSettings ParseShareSettings(std::string_view text, std::vector<std::string> &problems)
{
    ShareSettings settings;
    if (text.size() > kMaxSettingFileBytes) {
        problems.push_back("the setting file is too large; defaults are used");
        return settings;
    }
    size_t position = 0;
    int lineNumber = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(position, end - position);
        position = end + 1;
        ++lineNumber;
        line = trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        size_t equals = line.find('=');
        std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (equals == std::string_view::npos) {
            problems.push_back(where + "no '='");
            continue;
        }
        std::string_view key = trim(line.substr(0, equals));
        std::string_view value = trim(line.substr(equals + 1));
        if (key == "port") {
            if (auto port = number(value, 1, 65535))
                settings.port = *port;
            else
                problems.push_back(where + "port is not a number 1..65535");
        } else if (key == "share") {
            if (value == "lan" || value == "local")
                settings.lan = value == "lan";
            else
                problems.push_back(where + "share is local or lan");
        } else if (key == "allow") {
            std::vector<Network> allowed;
            bool good = true;
            for (std::string_view word : words(value)) {
                std::optional<Network> network = ParseNetwork(word);
                good = good && network && allowed.size() < 64;
                if (network)
                    allowed.push_back(*network);
            }
            if (good)
                settings.allowed = allowed;
            else
                problems.push_back(where + "allow is a list of at most 64 networks a.b.c.d/n");
        } else if (key == "formats") {
            std::vector<std::string> formats;
            bool good = true;
            for (std::string_view word : words(value)) {
                good = good && (word == "image/jpeg" || word == "image/png" || word == "application/pdf");
                formats.emplace_back(word);
            }
            if (good && !formats.empty())
                settings.formats = formats;
            else
                problems.push_back(where + "formats are image/jpeg, image/png and application/pdf");
        } else if (key == "job-timeout") {
            if (auto seconds = number(value, 10, 3600))
                settings.jobTimeoutSeconds = *seconds;
            else
                problems.push_back(where + "job-timeout is 10..3600 seconds");
        } else if (key == "scanners-config") {
            if (!value.empty() && value.front() == '/' && value.size() < 1024)
                settings.scannerConfig = std::string(value);
            else
                problems.push_back(where + "scanners-config is an absolute path");
        } else {
            problems.push_back(where + "unknown key " + std::string(key.substr(0, 64)));
        }
    }
    return settings;
}

bool ClientAllowed(const ShareSettings &settings, uint32_t address)
{
    if ((address >> 24) == 127)
        return true;
    if (!settings.lan)
        return false;
    if (settings.allowed.empty())
        return true;
    return std::any_of(settings.allowed.begin(), settings.allowed.end(),
                       [&](const Network &network) { return (address & network.mask) == network.address; });
}

bool IsJobId(std::string_view text)
{
    return text.size() == 32 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

Route ParseRoute(std::string_view path)
{
    Route route;
    if (path.size() > 256 || path.empty() || path.front() != '/')
        return route;
    std::vector<std::string_view> parts;
    size_t position = 1;
    while (position <= path.size()) {
        size_t slash = path.find('/', position);
        if (slash == std::string_view::npos)
            slash = path.size();
        parts.push_back(path.substr(position, slash - position));
        position = slash + 1;
    }
    if (!parts.empty() && parts.back().empty())
        parts.pop_back(); // a trailing slash
    size_t first = 0;
    if (parts.size() >= 2 && parts[0] != "eSCL" && parts[1] == "eSCL") {
        std::string_view scanner = parts[0];
        bool plain = !scanner.empty() && scanner.size() <= 80 && scanner.front() != '.' &&
                     std::all_of(scanner.begin(), scanner.end(), [](char c) {
                         return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                                c == '_' || c == '.';
                     });
        if (!plain)
            return route;
        route.scanner = std::string(scanner);
        first = 1;
    }
    if (parts.size() < first + 2 || parts[first] != "eSCL")
        return Route{};
    std::vector<std::string_view> rest(parts.begin() + static_cast<std::ptrdiff_t>(first) + 1, parts.end());
    if (rest.size() == 1 && rest[0] == "ScannerCapabilities")
        route.endpoint = Endpoint::Capabilities;
    else if (rest.size() == 1 && rest[0] == "ScannerStatus")
        route.endpoint = Endpoint::Status;
    else if (rest.size() == 1 && rest[0] == "ScanJobs")
        route.endpoint = Endpoint::ScanJobs;
    else if (rest.size() >= 2 && rest.size() <= 3 && rest[0] == "ScanJobs" && IsJobId(rest[1])) {
        route.job = std::string(rest[1]);
        if (rest.size() == 2)
            route.endpoint = Endpoint::Job;
        else if (rest[2] == "NextDocument")
            route.endpoint = Endpoint::NextDocument;
        else if (rest[2] == "ScanImageInfo")
            route.endpoint = Endpoint::ScanImageInfo;
    }
    if (route.endpoint == Endpoint::None)
        return Route{};
    return route;
}

int HttpStatusFor(int saneStatus)
{
    switch (saneStatus) {
    case ruvo_wire::RESULT_BUSY: return 503;
    case ruvo_wire::RESULT_JAMMED:
    case ruvo_wire::RESULT_COVER_OPEN: return 409;
    case ruvo_wire::RESULT_NO_DOCUMENTS:
    case ruvo_wire::RESULT_END_OF_SCAN:
    case ruvo_wire::RESULT_CANCELLED: return 404;
    case ruvo_wire::RESULT_INVALID: return 409;
    default: return 500;
    }
}

} // namespace ruvo_share
