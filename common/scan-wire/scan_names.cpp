#include "scan_names.h"

#include "product_paths.h"
#include "scan_types.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace ruvo_wire {
namespace {

constexpr std::string_view kScanFilePrefix = "ruvoscandata_";
constexpr std::string_view kPageSuffix = ".tmp";
// Room a page file name needs beyond its base: "_<page>.tmp" with any int page.
constexpr size_t kPageSuffixRoom = 16;

// A decimal number as the daemon prints an int that is not negative: digits
// only, no leading zero, at most INT_MAX. Consumes it from the front of `text`.
std::optional<int> takeNumber(std::string_view &text)
{
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > 10 || (digits > 1 && text[0] == '0'))
        return std::nullopt;
    long long value = 0;
    for (size_t i = 0; i < digits; ++i)
        value = value * 10 + (text[i] - '0');
    if (value > INT_MAX)
        return std::nullopt;
    text.remove_prefix(digits);
    return static_cast<int>(value);
}

bool takeText(std::string_view &text, std::string_view expected)
{
    if (text.substr(0, expected.size()) != expected)
        return false;
    text.remove_prefix(expected.size());
    return true;
}

// "<pid>_<index>" at the front of `text`.
std::optional<ScanBase> takeScanNumbers(std::string_view &text)
{
    std::optional<int> processId = takeNumber(text);
    if (!processId || !takeText(text, "_"))
        return std::nullopt;
    std::optional<int> index = takeNumber(text);
    if (!index)
        return std::nullopt;
    return ScanBase{*processId, *index};
}

} // namespace

std::string ScanBaseName(const std::string &scanDir, int processId, int index)
{
    char name[kFileNameSize];
    std::snprintf(name, sizeof(name), "%s/ruvoscandata_%d_%d", scanDir.c_str(), processId, index);
    return name;
}

std::optional<ScanBase> ParseScanBaseName(std::string_view scanDir, std::string_view name)
{
    if (scanDir.empty() || !takeText(name, scanDir) || !takeText(name, "/") || !takeText(name, kScanFilePrefix))
        return std::nullopt;
    std::optional<ScanBase> base = takeScanNumbers(name);
    if (!base || !name.empty())
        return std::nullopt;
    return base;
}

bool IsDaemonScanBaseName(std::string_view name)
{
    return name.size() < kFileNameSize - kPageSuffixRoom && ParseScanBaseName(ruvo_paths::kScanDir, name).has_value();
}

std::string PageFileName(const std::string &baseName, int page)
{
    char name[kFileNameSize + 32];
    std::snprintf(name, sizeof(name), "%s_%d.tmp", baseName.c_str(), page);
    return name;
}

std::optional<PageEntry> ParsePageFileEntry(std::string_view entry)
{
    if (!takeText(entry, kScanFilePrefix))
        return std::nullopt;
    std::optional<ScanBase> base = takeScanNumbers(entry);
    if (!base || !takeText(entry, "_"))
        return std::nullopt;
    std::optional<int> page = takeNumber(entry);
    if (!page || entry != kPageSuffix)
        return std::nullopt;
    return PageEntry{base->processId, base->index, *page};
}

int DaemonPortFromText(const char *text)
{
    if (!text || !*text)
        return kScanDaemonPort;
    char *end = nullptr;
    long port = std::strtol(text, &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535)
        return kScanDaemonPort;
    return static_cast<int>(port);
}

int DaemonPortOfEnvironment()
{
    return DaemonPortFromText(std::getenv("RUVO_SCAN_DAEMON_PORT"));
}

std::string ScanSocketPath()
{
    const char *path = std::getenv(ruvo_paths::kScanSocketEnvironment);
    if (path && *path)
        return path;
    return ruvo_paths::kScanSocketPath;
}

} // namespace ruvo_wire
