#pragma once
// Pure pieces of the network scanner protocol: building requests and reading
// replies, over bytes and text only (no sockets, no logs), so that tests and
// fuzz targets reach them directly. Every reader stays inside the bytes it is
// given.

#include "scan_types.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The address sent in the "IPADDRESS" form field and the scan-start host line.
// The device never uses it to reach the host (the daemon opens every connection
// itself), so it names no interface of this machine.
inline constexpr char kRuvoFixedHostAddress[] = "0.0.0.0";

namespace ruvo_net {

// Replies of the web server are read into a buffer of this size (text only;
// one byte more holds the terminating NUL for the logs).
inline constexpr size_t kHttpReplyCapacity = 8192;
// The XML service may announce at most this many reply bytes.
inline constexpr uint32_t kMaxOslReplyLength = 8192;
// No data block or page header is ever buffered beyond this.
inline constexpr uint32_t kMaxRecordBlockLength = 64u * 1024u * 1024u;

inline constexpr size_t kRecordHeaderLength = 18;
inline constexpr size_t kOpeningHeaderLength = 20;

// True when `text` holds, within `capacity` bytes and NUL-terminated there, four
// decimal numbers 0..255 without leading zeros separated by dots.
bool IsDottedIPv4(const char *text, size_t capacity);

// ---- web server replies ----

// The body of a reply: after the first CR LF CR LF; the whole text when it
// starts with CR; empty when there is no blank line.
std::string_view HttpBody(std::string_view reply);

// The non-empty lines of a body (split at CR and LF) as key (before the first
// '=') and value (after it; empty when the line has no '=').
std::vector<std::pair<std::string_view, std::string_view>> BodyKeyValueLines(std::string_view body);

// The result of a scan-start reply from its first "RESULT" body line: "0" gives
// 0, "91" gives 3 (busy), anything else 4; no such line gives 0.
int ScanStartResultCode(std::string_view reply);

// Sets the capability that `key` names; other keys are ignored.
void ApplyCapability(ScannerCapabilities &capabilities, std::string_view key, std::string_view value);

// The feeder state named by the reply's last byte ('1', '2' or '3'), if any.
std::optional<ADFStatus> AdfStatusFromReply(std::string_view reply);

// ---- requests to the web server ----

// A form value as it may stand between '&' separators: bytes that would end the
// value, start another field or break the request line are percent-encoded.
std::string FormSafeValue(std::string_view value);

// The 25 fields of a scan start, in order, as "key=value&" each.
std::string ScanStartBody(const SettingInfo &settings, std::string_view loginName);

// A form post to `path` with the given host text and body.
std::string FormPostRequest(std::string_view path, std::string_view host, std::string_view body);

inline constexpr char kScanPostPath[] = "/netscan/post";
inline constexpr char kAdfStatusPath[] = "/cgi-bin/dynamic/printer/netscan/adfStatus.html";

std::string CapabilitiesRequest(std::string_view host);

// ---- record channel ----

// Six ASCII decimal digits as a number; nullopt when any of them is not a digit.
std::optional<uint32_t> SixDigitLength(const unsigned char *digits);

enum class RecordHeaderKind { NewPage, JobDone, Data, Malformed };

struct RecordHeader {
    RecordHeaderKind kind;
    uint32_t length; // data headers only
};

// Classifies one 18-byte header of the record channel.
RecordHeader ParseRecordHeader(const unsigned char *header);

// The length of a page header from the 18-byte header after a new-page marker.
std::optional<uint32_t> PageHeaderLength(const unsigned char *header);

// The body length of the 20-byte opening block header.
std::optional<uint32_t> OpeningBlockLength(const unsigned char *header);

// ---- XML method service ----

struct OslAttribute {
    const char *objName;
    const char *attribName;
    int requestID;
};

std::optional<OslAttribute> OslAttributeFor(int32_t type);

// The XML text of one "getAttribute" call.
std::string OslRequestText(const OslAttribute &attribute);

// The text preceded by its 4-byte big-endian length, as sent in one call.
std::string OslFrame(std::string_view text);

uint32_t BigEndianLength(const unsigned char *bytes);

// ---- this machine's address ----

struct InterfaceAddress {
    unsigned flags;    // IFF_* of the interface
    bool ipv4;         // an AF_INET address
    std::string text;  // dotted text when ipv4
};

// The first IPv4 address, in list order, that is not "127.0.0.1" and whose
// interface is up, running, broadcast- and multicast-capable; empty when none.
std::string SelectHostAddress(const std::vector<InterfaceAddress> &addresses);

} // namespace ruvo_net
