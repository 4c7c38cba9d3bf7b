#include "net_protocol.h"

#include "dotted_ipv4.h"

#include <net/if.h>

#include <cstring>

namespace ruvo_net {

namespace {

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// Leading decimal digits as a number (0 when there are none), saturating.
uint32_t decimalNumber(std::string_view text)
{
    uint64_t value = 0;
    for (char c : text) {
        if (!isDigit(static_cast<unsigned char>(c)))
            break;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX)
            return UINT32_MAX;
    }
    return static_cast<uint32_t>(value);
}

const char kRequestAccept[] = "Accept: text/html, image/gif, image/jpeg, *;q=.2, */*; q=.2\r\n";

} // namespace

bool IsDottedIPv4(const char *text, size_t capacity)
{
    if (!text)
        return false;
    size_t length = strnlen(text, capacity);
    if (length == capacity)
        return false; // no terminator inside the field
    return ruvo_address::IsDottedIPv4(std::string_view(text, length));
}

std::string_view HttpBody(std::string_view reply)
{
    if (!reply.empty() && reply.front() == '\r')
        return reply;
    size_t blank = reply.find("\r\n\r\n");
    if (blank == std::string_view::npos)
        return reply.substr(reply.size());
    return reply.substr(blank + 4);
}

std::vector<std::pair<std::string_view, std::string_view>> BodyKeyValueLines(std::string_view body)
{
    std::vector<std::pair<std::string_view, std::string_view>> lines;
    size_t position = 0;
    while (position < body.size()) {
        size_t end = body.find_first_of("\r\n", position);
        if (end == std::string_view::npos)
            end = body.size();
        std::string_view line = body.substr(position, end - position);
        position = end + 1;
        if (line.empty())
            continue;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            lines.emplace_back(line, std::string_view());
        else
            lines.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return lines;
}

int ScanStartResultCode(std::string_view reply)
{
    for (const auto &[key, value] : BodyKeyValueLines(HttpBody(reply))) {
        if (key != "RESULT")
            continue;
        if (value == "0")
            return ruvo_wire::RESULT_GOOD;
        if (value == "91")
            return ruvo_wire::RESULT_BUSY;
        return ruvo_wire::RESULT_INVALID;
    }
    return ruvo_wire::RESULT_GOOD;
}

void ApplyCapability(ScannerCapabilities &capabilities, std::string_view key, std::string_view value)
{
    if (key == "DUPLEX")
        capabilities.duplex = value == "true";
    else if (key == "COLOR")
        capabilities.color = value == "COLOR";
    else if (key == "MINRES")
        capabilities.minres = decimalNumber(value);
    else if (key == "MAXRES")
        capabilities.maxres = decimalNumber(value);
    else if (key == "WIDTH_FORMAT")
        capabilities.width_format = decimalNumber(value);
    else if (key == "FAMILY")
        capabilities.family = decimalNumber(value);
    else if (key == "PERMPROFILES")
        capabilities.permprofiles = value == "true";
    else if (key == "PROFILE")
        capabilities.profile = value != "DISABLED";
    else if (key == "MAX_WIDTH")
        capabilities.maxWidth = decimalNumber(value);
    else if (key == "MAX_HEIGHT")
        capabilities.maxHeight = decimalNumber(value);
    else if (key == "BASIC_RESOLUTION")
        capabilities.basicres = decimalNumber(value);
}

std::optional<ADFStatus> AdfStatusFromReply(std::string_view reply)
{
    if (reply.empty())
        return std::nullopt;
    switch (reply.back()) {
    case '1':
        return ADF_STATUS_EMPTY;
    case '2':
        return ADF_STATUS_LOADED;
    case '3':
        return ADF_STATUS_PAPER_JAM;
    default:
        return std::nullopt;
    }
}

std::string FormSafeValue(std::string_view value)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string safe;
    safe.reserve(value.size());
    for (char c : value) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '&' || c == '=' || c == '%' || c == '+') {
            safe += '%';
            safe += hex[byte >> 4];
            safe += hex[byte & 0x0F];
        } else {
            safe += c;
        }
    }
    return safe;
}

std::string ScanStartBody(const SettingInfo &settings, std::string_view loginName)
{
    const bool feeder = settings.feederEnabled != 0; // any byte but 0 from a client
    const bool jpeg = settings.compType == COMPRESSION_JPEG;
    const char *depth = settings.bitDepth == 1 ? "other" : settings.bitDepth == 8 ? "8" : "24";
    const std::pair<const char *, std::string> fields[] = {
        {"SCANTYPE", "2"},
        {"ADVCONTRAST", std::to_string(settings.ContrastParam)},
        {"BACKGROUNDREMOVAL", settings.backgroundRemoval ? std::to_string(settings.backgroundRemovalParam) : ""},
        {"COMPRESSION", "JPEG"},
        {"CONTRAST", "MIXED"},
        {"DARKNESS", std::to_string(settings.BrightnessParam)},
        {"DEPTH", depth},
        {"DOCSOURCE", "0"},
        {"EDGETOEDGE", "0"},
        {"IPADDRESS", kRuvoFixedHostAddress},
        {"JPEGQUALITY", jpeg ? "70" : ""},
        {"KEEPALIVE", "0"},
        {"NAME", FormSafeValue(loginName)},
        {"ORIENTATION", "PORTRAIT"},
        {"RESOLUTION", std::to_string(settings.xResolution)},
        {"SCANSOURCE", feeder ? "0" : "7"},
        {"SHARPNESS", "0"},
        {"START_NOW", "1"},
        {"TCPPORT", "2080"},
        {"TYPE", jpeg ? "JPEG" : "RAW"},
        {"SINGLEPAGE", feeder && settings.isClient == 0 ? "TRUE" : ""},
        {"CUSTOM_WIDTH", std::to_string(settings.width)},
        {"CUSTOM_HEIGHT", std::to_string(settings.height)},
        {"OFFSETX", std::to_string(settings.xStart)},
        {"OFFSETY", std::to_string(settings.yStart)},
    };
    static_assert(sizeof(fields) / sizeof(fields[0]) == 25);
    std::string body;
    for (const auto &[key, value] : fields) {
        body += key;
        body += '=';
        body += value;
        body += '&';
    }
    return body;
}

std::string FormPostRequest(std::string_view path, std::string_view host, std::string_view body)
{
    std::string request = "POST ";
    request += path;
    request += " HTTP/1.1\r\nConnection: Keep-Alive\r\nContent-Type: application/x-www-form-urlencoded\r\n";
    request += kRequestAccept;
    request += "User-Agent: HttpScanConnection\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "Host: ";
    request += host;
    request += "\r\n\r\n";
    request += body;
    return request;
}

std::string CapabilitiesRequest(std::string_view host)
{
    std::string request = "GET /netscan/capabilites HTTP/1.1\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
                          "User-Agent: Jav/1.6.0_18\r\n";
    request += "Host: ";
    request += host;
    request += "\r\n\r\nConnection: Keep-Alive\r\n";
    request += kRequestAccept;
    request += "Content-Type: application/x-www-form-urlencoded\r\n\n";
    return request;
}

std::optional<uint32_t> SixDigitLength(const unsigned char *digits)
{
    uint32_t value = 0;
    for (int i = 0; i < 6; ++i) {
        if (!isDigit(digits[i]))
            return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(digits[i] - '0');
    }
    return value;
}

RecordHeader ParseRecordHeader(const unsigned char *header)
{
    if (std::memcmp(header, "NEWFILE", 7) == 0)
        return {RecordHeaderKind::NewPage, 0};
    if (std::memcmp(header, "JOBDONE", 7) == 0)
        return {RecordHeaderKind::JobDone, 0};
    std::optional<uint32_t> length = SixDigitLength(header + 6);
    if (!length)
        return {RecordHeaderKind::Malformed, 0};
    return {RecordHeaderKind::Data, *length};
}

std::optional<uint32_t> PageHeaderLength(const unsigned char *header)
{
    return SixDigitLength(header + 6);
}

std::optional<uint32_t> OpeningBlockLength(const unsigned char *header)
{
    return SixDigitLength(header + 8);
}

std::optional<OslAttribute> OslAttributeFor(int32_t type)
{
    switch (type) {
    case OSL_CMD_FAMILYTYPE:
        return OslAttribute{"system", "familyType", 10001};
    case OSL_CMD_GETLIST:
        return OslAttribute{"mfp.profileFactory", "getList", 10002};
    case OSL_CMD_SUMMARY:
        return OslAttribute{"mfp.scanner", "summary", 10003};
    default:
        return std::nullopt;
    }
}

std::string OslRequestText(const OslAttribute &attribute)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
    text += "<method name=\"getAttribute\" requestID=\"" + std::to_string(attribute.requestID) + "\">\r\n";
    text += std::string("  <arg name=\"objName\">") + attribute.objName + "</arg>\r\n";
    text += std::string("  <arg name=\"attribName\">") + attribute.attribName + "</arg>\r\n";
    text += "</method>\r\n";
    return text;
}

std::string OslFrame(std::string_view text)
{
    uint32_t length = static_cast<uint32_t>(text.size());
    std::string frame;
    frame += static_cast<char>((length >> 24) & 0xFF);
    frame += static_cast<char>((length >> 16) & 0xFF);
    frame += static_cast<char>((length >> 8) & 0xFF);
    frame += static_cast<char>(length & 0xFF);
    frame += text;
    return frame;
}

uint32_t BigEndianLength(const unsigned char *bytes)
{
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | uint32_t(bytes[3]);
}

std::string SelectHostAddress(const std::vector<InterfaceAddress> &addresses)
{
    const unsigned wanted = IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST;
    for (const InterfaceAddress &address : addresses) {
        if (address.ipv4 && address.text != "127.0.0.1" && (address.flags & wanted) == wanted)
            return address.text;
    }
    return std::string();
}

} // namespace ruvo_net
