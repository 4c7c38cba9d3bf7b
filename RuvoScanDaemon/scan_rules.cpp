#include "scan_rules.h"

#include <climits>
#include <string>

namespace {

constexpr std::string_view kScanFilePrefix = "ruvoscandata_";
constexpr std::string_view kPageSuffix = ".tmp";

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

std::optional<uint32_t> hexNumber(std::string_view text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else
            return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

// "AAAAAAAA:PPPP" of the socket table: the address as the kernel prints the
// 32-bit value it stores (network order read as a host integer), the port in
// host order.
bool endpointIs(std::string_view field, uint32_t address, uint16_t port)
{
    size_t colon = field.find(':');
    if (colon != 8 || field.size() != 13)
        return false;
    std::optional<uint32_t> fieldAddress = hexNumber(field.substr(0, colon));
    std::optional<uint32_t> fieldPort = hexNumber(field.substr(colon + 1));
    return fieldAddress && fieldPort && *fieldAddress == address && *fieldPort == port;
}

std::vector<std::string_view> words(std::string_view line, size_t most)
{
    std::vector<std::string_view> found;
    size_t position = 0;
    while (found.size() < most) {
        position = line.find_first_not_of(" \t", position);
        if (position == std::string_view::npos)
            break;
        size_t end = line.find_first_of(" \t", position);
        if (end == std::string_view::npos)
            end = line.size();
        found.push_back(line.substr(position, end - position));
        position = end;
    }
    return found;
}

void appendLittleEndian(std::vector<uint8_t> &bytes, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace

std::optional<ScanBase> ParseScanBaseName(std::string_view scanDir, std::string_view name)
{
    if (scanDir.empty() || !takeText(name, scanDir) || !takeText(name, "/") || !takeText(name, kScanFilePrefix))
        return std::nullopt;
    std::optional<ScanBase> base = takeScanNumbers(name);
    if (!base || !name.empty())
        return std::nullopt;
    return base;
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

std::optional<uid_t> LoopbackPeerUid(std::string_view socketTable, uint32_t peerAddress, uint16_t peerPort,
                                     uint32_t daemonAddress, uint16_t daemonPort)
{
    size_t start = 0;
    while (start < socketTable.size()) {
        size_t end = socketTable.find('\n', start);
        if (end == std::string_view::npos)
            end = socketTable.size();
        std::string_view line = socketTable.substr(start, end - start);
        start = end + 1;
        // "sl local rem st tx:rx tr:when retrnsmt uid ..."
        std::vector<std::string_view> fields = words(line, 8);
        if (fields.size() < 8)
            continue;
        if (!endpointIs(fields[1], peerAddress, peerPort) || !endpointIs(fields[2], daemonAddress, daemonPort))
            continue;
        std::string_view uidText = fields[7];
        std::optional<int> uid = takeNumber(uidText);
        if (!uid || !uidText.empty())
            return std::nullopt;
        return static_cast<uid_t>(*uid);
    }
    return std::nullopt;
}

std::vector<uint8_t> OwnerAndReaderAcl(uid_t reader)
{
    // The kernel's xattr form: a version, then entries sorted by tag, each
    // {le16 tag, le16 permissions, le32 id}.
    constexpr uint32_t kVersion = 2;
    constexpr uint32_t kNoId = 0xFFFFFFFFu;
    constexpr uint16_t kUserObject = 0x01, kUser = 0x02, kGroupObject = 0x04, kMask = 0x10, kOther = 0x20;
    constexpr uint16_t kRead = 4, kWrite = 2;
    struct Entry {
        uint16_t tag;
        uint16_t permissions;
        uint32_t id;
    };
    const Entry entries[] = {
        {kUserObject, kRead | kWrite, kNoId}, {kUser, kRead, static_cast<uint32_t>(reader)},
        {kGroupObject, 0, kNoId},             {kMask, kRead, kNoId},
        {kOther, 0, kNoId},
    };
    std::vector<uint8_t> bytes;
    appendLittleEndian(bytes, kVersion, 4);
    for (const Entry &entry : entries) {
        appendLittleEndian(bytes, entry.tag, 2);
        appendLittleEndian(bytes, entry.permissions, 2);
        appendLittleEndian(bytes, entry.id, 4);
    }
    return bytes;
}

uint64_t FreeSpaceFloor(uint64_t fileSystemBytes)
{
    constexpr uint64_t kMostKept = 1024ull * 1024 * 1024;
    uint64_t floor = fileSystemBytes / 20;
    return floor < kMostKept ? floor : kMostKept;
}
