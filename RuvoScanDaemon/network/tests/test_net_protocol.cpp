// The pure pieces of the network scanner protocol: form bodies, reply readers,
// record channel headers, the XML framing, addresses.
#define SCAN_TEST_MAIN
#include "scan_test.h"

#include "net_internal.h"
#include "net_protocol.h"
#include "ruvo_network.h"
#include "scan_log.h"

#include <net/if.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace ruvo_net;

namespace {

// The test's own reading of a form body: ordered key/value pairs split at '&'
// and the first '='.
std::vector<std::pair<std::string, std::string>> formFields(const std::string &body)
{
    std::vector<std::pair<std::string, std::string>> fields;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        std::string field = body.substr(start, end - start);
        size_t equals = field.find('=');
        fields.emplace_back(field.substr(0, equals), equals == std::string::npos ? "" : field.substr(equals + 1));
        start = end + 1;
    }
    return fields;
}

SettingInfo flatbedJpeg()
{
    SettingInfo settings{};
    settings.bitDepth = 24;
    settings.compType = COMPRESSION_JPEG;
    settings.width = 2550;
    settings.height = 3508;
    settings.xStart = 12;
    settings.yStart = 34;
    settings.xResolution = 300;
    settings.yResolution = 300;
    settings.backgroundRemoval = 1;
    settings.backgroundRemovalParam = 3;
    settings.BrightnessParam = 4;
    settings.ContrastParam = 5;
    return settings;
}

std::string fieldOf(const std::string &body, const std::string &key)
{
    for (const auto &[k, v] : formFields(body))
        if (k == key)
            return v;
    return "<missing>";
}

} // namespace

SCAN_TEST(flatbedJpegBodyIsTheWholeFormInOrder)
{
    const std::string expected =
        "SCANTYPE=2&ADVCONTRAST=5&BACKGROUNDREMOVAL=3&COMPRESSION=JPEG&CONTRAST=MIXED&DARKNESS=4&DEPTH=24&"
        "DOCSOURCE=0&EDGETOEDGE=0&IPADDRESS=0.0.0.0&JPEGQUALITY=70&KEEPALIVE=0&NAME=scanuser&ORIENTATION=PORTRAIT&"
        "RESOLUTION=300&SCANSOURCE=7&SHARPNESS=0&START_NOW=1&TCPPORT=2080&TYPE=JPEG&SINGLEPAGE=&CUSTOM_WIDTH=2550&"
        "CUSTOM_HEIGHT=3508&OFFSETX=12&OFFSETY=34&";
    CHECK_EQ(ScanStartBody(flatbedJpeg(), "scanuser"), expected);
}

SCAN_TEST(formFieldsFollowTheSettings)
{
    struct Row {
        const char *name;
        void (*change)(SettingInfo &);
        std::map<std::string, std::string> expected;
    };
    const Row rows[] = {
        {"single-page feeder", [](SettingInfo &s) { s.feederEnabled = true; s.isClient = 0; },
         {{"SCANSOURCE", "0"}, {"SINGLEPAGE", "TRUE"}}},
        {"multi-page feeder", [](SettingInfo &s) { s.feederEnabled = true; s.isClient = 1; },
         {{"SCANSOURCE", "0"}, {"SINGLEPAGE", ""}}},
        {"flatbed ignores isClient", [](SettingInfo &s) { s.isClient = 0; },
         {{"SCANSOURCE", "7"}, {"SINGLEPAGE", ""}}},
        {"feeder flag byte 2 from a client", [](SettingInfo &s) { std::memset(&s.feederEnabled, 2, 1); },
         {{"SCANSOURCE", "0"}, {"SINGLEPAGE", "TRUE"}}},
        {"1-bit depth", [](SettingInfo &s) { s.bitDepth = 1; }, {{"DEPTH", "other"}}},
        {"8-bit depth", [](SettingInfo &s) { s.bitDepth = 8; }, {{"DEPTH", "8"}}},
        {"16-bit depth counts as colour", [](SettingInfo &s) { s.bitDepth = 16; }, {{"DEPTH", "24"}}},
        {"raw data", [](SettingInfo &s) { s.compType = COMPRESSION_WICKED; },
         {{"TYPE", "RAW"}, {"JPEGQUALITY", ""}, {"COMPRESSION", "JPEG"}}},
        {"no compression", [](SettingInfo &s) { s.compType = COMPRESSION_NONE; },
         {{"TYPE", "RAW"}, {"JPEGQUALITY", ""}}},
        {"background kept", [](SettingInfo &s) { s.backgroundRemoval = 0; }, {{"BACKGROUNDREMOVAL", ""}}},
        {"large numbers", [](SettingInfo &s) { s.width = 4294967295u; s.xResolution = 1200; },
         {{"CUSTOM_WIDTH", "4294967295"}, {"RESOLUTION", "1200"}}},
    };
    for (const Row &row : rows) {
        SettingInfo settings = flatbedJpeg();
        row.change(settings);
        std::string body = ScanStartBody(settings, "");
        auto fields = formFields(body);
        if (!CHECK_EQ(fields.size(), size_t(25)))
            std::fprintf(stderr, "    row: %s\n", row.name);
        for (const auto &[key, value] : row.expected)
            if (!CHECK_EQ(fieldOf(body, key), value))
                std::fprintf(stderr, "    row: %s\n", row.name);
    }
}

SCAN_TEST(loginNameCannotAddFormFieldsOrHeaders)
{
    std::string body = ScanStartBody(flatbedJpeg(), "eve&SCANTYPE=4\r\nX: y");
    auto fields = formFields(body);
    CHECK_EQ(fields.size(), size_t(25));
    CHECK_EQ(fieldOf(body, "NAME"), "eve%26SCANTYPE%3D4%0D%0AX:%20y");
    CHECK_EQ(fieldOf(body, "SCANTYPE"), "2");
    CHECK_EQ(FormSafeValue("jo.doe_1-x"), "jo.doe_1-x");
}

SCAN_TEST(formPostRequestHeaders)
{
    std::string request = FormPostRequest(kScanPostPath, "10.0.0.1", "SCANTYPE=4");
    const std::string expected = "POST /netscan/post HTTP/1.1\r\nConnection: Keep-Alive\r\n"
                                 "Content-Type: application/x-www-form-urlencoded\r\n"
                                 "Accept: text/html, image/gif, image/jpeg, *;q=.2, */*; q=.2\r\n"
                                 "User-Agent: HttpScanConnection\r\nContent-Length: 10\r\nHost: 10.0.0.1\r\n\r\n"
                                 "SCANTYPE=4";
    CHECK_EQ(request, expected);
    std::string capabilities = CapabilitiesRequest("");
    CHECK(capabilities.rfind("GET /netscan/capabilites HTTP/1.1\r\n", 0) == 0);
    CHECK(capabilities.find("Host: \r\n\r\nConnection: Keep-Alive\r\n") != std::string::npos);
    CHECK_EQ(capabilities.substr(capabilities.size() - 3), "\r\n\n");
}

SCAN_TEST(scanStartResults)
{
    struct Row {
        const char *reply;
        int expected;
    };
    const Row rows[] = {
        {"HTTP/1.1 200 OK\r\n\r\nRESULT=0\r\n", 0},
        {"HTTP/1.1 200 OK\r\n\r\nJOBID=1\r\nRESULT=91\r\n", 3},
        {"HTTP/1.1 200 OK\r\n\r\nRESULT=1\r\n", 4},
        {"HTTP/1.1 200 OK\r\n\r\nRESULT=\r\n", 4},
        {"HTTP/1.1 200 OK\r\n\r\nRESULT=910\r\n", 4},
        // only the first RESULT line counts
        {"HTTP/1.1 200 OK\r\n\r\nRESULT=91\nRESULT=0\n", 3},
        // "RESULT=" in a header line only: the body has no result, so the start stands
        {"HTTP/1.1 200 OK\r\nX-Scan-Note: RESULT=1\r\n\r\nSTATE=STARTING\r\n", 0},
        // no blank line: no body at all
        {"HTTP/1.1 200 OK\r\nRESULT=91\r\n", 0},
        // a reply that starts with CR is all body
        {"\r\nRESULT=91", 3},
        {"HTTP/1.1 200 OK\r\n\r\nXRESULT=1\r\nRESULTS=1\r\n", 0},
        {"", 0},
    };
    for (const Row &row : rows)
        if (!CHECK_EQ(ruvo_http_ScanStartResult(row.reply), row.expected))
            std::fprintf(stderr, "    reply: %s\n", row.reply);
    CHECK_EQ(ruvo_http_ScanStartResult(nullptr), 0);
}

SCAN_TEST(capabilityLines)
{
    ScannerCapabilities capabilities{};
    ruvo_ParseScanCapabilities(&capabilities,
                               "HTTP/1.1 200 OK\r\nCOLOR: header\r\n\r\nDUPLEX=true\r\nCOLOR=COLOR\r\nMINRES=75\r\n"
                               "MAXRES=1200\nWIDTH_FORMAT=2\r\rFAMILY=3\r\nPERMPROFILES=true\r\nPROFILE=on\r\n"
                               "MAX_WIDTH=8500\r\nMAX_HEIGHT=14000\r\nBASIC_RESOLUTION=300\r\nUNKNOWN=7\r\n");
    CHECK(capabilities.duplex);
    CHECK(capabilities.color);
    CHECK_EQ(capabilities.minres, 75u);
    CHECK_EQ(capabilities.maxres, 1200u);
    CHECK_EQ(capabilities.width_format, 2u);
    CHECK_EQ(capabilities.family, 3u);
    CHECK(capabilities.permprofiles);
    CHECK(capabilities.profile);
    CHECK_EQ(capabilities.maxWidth, 8500u);
    CHECK_EQ(capabilities.maxHeight, 14000u);
    CHECK_EQ(capabilities.basicres, 300u);

    struct Row {
        const char *key;
        const char *value;
        bool color, profile, duplex;
    };
    // Starting from everything set: which values clear a flag.
    const Row rows[] = {
        {"COLOR", "GRAY", false, true, true},   {"COLOR", "color", false, true, true},
        {"COLOR", "COLOR", true, true, true},   {"PROFILE", "DISABLED", true, false, true},
        {"PROFILE", "", true, true, true},      {"PROFILE", "disabled", true, true, true},
        {"DUPLEX", "TRUE", true, true, false},  {"duplex", "false", true, true, true},
    };
    for (const Row &row : rows) {
        ScannerCapabilities set{};
        set.color = set.profile = set.duplex = true;
        ruvo_SetScanCapabilities(&set, row.key, row.value);
        bool ok = CHECK_EQ(set.color, row.color);
        ok = CHECK_EQ(set.profile, row.profile) && ok;
        ok = CHECK_EQ(set.duplex, row.duplex) && ok;
        if (!ok)
            std::fprintf(stderr, "    row: %s=%s\n", row.key, row.value);
    }
    ScannerCapabilities numbers{};
    ruvo_SetScanCapabilities(&numbers, "MAXRES", "600dpi");
    CHECK_EQ(numbers.maxres, 600u);
    ruvo_SetScanCapabilities(&numbers, "MAXRES", "-5");
    CHECK_EQ(numbers.maxres, 0u);
    ruvo_SetScanCapabilities(&numbers, "MINRES", "99999999999");
    CHECK_EQ(numbers.minres, 4294967295u);
}

SCAN_TEST(feederStatusFromTheLastByte)
{
    struct Row {
        std::string reply;
        int expected; // 0: none
    };
    const Row rows[] = {
        {"HTTP/1.1 200 OK\r\n\r\nADFSTATUS=1", ADF_STATUS_EMPTY},
        {"HTTP/1.1 200 OK\r\n\r\nADFSTATUS=2", ADF_STATUS_LOADED},
        {"HTTP/1.1 200 OK\r\n\r\nADFSTATUS=3", ADF_STATUS_PAPER_JAM},
        {"HTTP/1.1 200 OK\r\n\r\nADFSTATUS=2\n", 0},
        {"HTTP/1.1 200 OK\r\n\r\nADFSTATUS=4", 0},
        {std::string("2\0", 2), 0},
        {"", 0},
    };
    for (const Row &row : rows) {
        std::optional<ADFStatus> status = AdfStatusFromReply(row.reply);
        CHECK_EQ(status ? static_cast<int>(*status) : 0, row.expected);
    }
}

SCAN_TEST(recordChannelHeaders)
{
    auto header = [](const char *text) { return reinterpret_cast<const unsigned char *>(text); };
    RecordHeader page = ParseRecordHeader(header("NEWFILE          \n"));
    CHECK(page.kind == RecordHeaderKind::NewPage);
    RecordHeader done = ParseRecordHeader(header("JOBDONE          \n"));
    CHECK(done.kind == RecordHeaderKind::JobDone);

    struct Row {
        const char *header;
        RecordHeaderKind kind;
        uint32_t length;
    };
    const Row rows[] = {
        {"IMAGE 065536      ", RecordHeaderKind::Data, 65536},
        {"IMAGE 000000      ", RecordHeaderKind::Data, 0},
        {"IMAGE 999999      ", RecordHeaderKind::Data, 999999},
        // digits after the field must not run into the length
        {"IMAGE 000010999999", RecordHeaderKind::Data, 10},
        {"IMAGE  65536      ", RecordHeaderKind::Malformed, 0},
        {"IMAGE -00001      ", RecordHeaderKind::Malformed, 0},
        {"IMAGE 06x536      ", RecordHeaderKind::Malformed, 0},
        {"IMAGE 6553\0\0      ", RecordHeaderKind::Malformed, 0},
        {"newfile 000001    ", RecordHeaderKind::Malformed, 0},
    };
    for (const Row &row : rows) {
        RecordHeader parsed = ParseRecordHeader(header(row.header));
        bool ok = CHECK_EQ(static_cast<int>(parsed.kind), static_cast<int>(row.kind));
        if (ok && row.kind == RecordHeaderKind::Data)
            ok = CHECK_EQ(parsed.length, row.length) && ok;
        if (!ok)
            std::fprintf(stderr, "    header: %.18s\n", row.header);
    }
    CHECK_EQ(OpeningBlockLength(header("RUVOJOB 000042      ")).value_or(7), 42u);
    CHECK(!OpeningBlockLength(header("RUVOJOB   42        ")));
    CHECK_EQ(PageHeaderLength(header("PAGEHD000017      ")).value_or(7), 17u);
}

SCAN_TEST(blockBufferGrowsOnlyWithinTheLimit)
{
    RuvoInitDbg(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    unsigned char *data = nullptr;
    int size = 0;
    CHECK_EQ(ruvo_net_grow_buffer(&data, &size, 1000), 0);
    CHECK_EQ(size, 1000);
    REQUIRE(data != nullptr);
    data[999] = 7;
    unsigned char *before = data;
    CHECK_EQ(ruvo_net_grow_buffer(&data, &size, 10), 0);
    CHECK(data == before);
    CHECK_EQ(size, 1000);
    // over the limit: refused without touching the buffer
    CHECK_EQ(ruvo_net_grow_buffer(&data, &size, 64u * 1024u * 1024u + 1u), 10);
    CHECK(data == before);
    CHECK_EQ(size, 1000);
    CHECK_EQ(ruvo_net_grow_buffer(&data, &size, 64u * 1024u * 1024u), 0);
    CHECK_EQ(size, 64 * 1024 * 1024);
    CHECK_EQ(data[999], 7);
    std::free(data);
    RuvoCloseDbg();
}

SCAN_TEST(xmlCallFraming)
{
    std::optional<OslAttribute> summary = OslAttributeFor(OSL_CMD_SUMMARY);
    REQUIRE(summary.has_value());
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                             "<method name=\"getAttribute\" requestID=\"10003\">\r\n"
                             "  <arg name=\"objName\">mfp.scanner</arg>\r\n"
                             "  <arg name=\"attribName\">summary</arg>\r\n"
                             "</method>\r\n";
    CHECK_EQ(OslRequestText(*summary), text);
    std::string frame = OslFrame(text);
    CHECK_EQ(frame.size(), text.size() + 4);
    CHECK_EQ(frame.substr(0, 4), std::string("\0\0\0", 3) + static_cast<char>(text.size()));
    CHECK(OslRequestText(*OslAttributeFor(OSL_CMD_FAMILYTYPE)).find(">system<") != std::string::npos);
    CHECK(OslRequestText(*OslAttributeFor(OSL_CMD_FAMILYTYPE)).find("requestID=\"10001\"") != std::string::npos);
    CHECK(OslRequestText(*OslAttributeFor(OSL_CMD_GETLIST)).find(">mfp.profileFactory<") != std::string::npos);
    CHECK(!OslAttributeFor(3));
    CHECK(!OslAttributeFor(-1));
    const unsigned char big[4] = {0x00, 0x01, 0x02, 0x03};
    CHECK_EQ(BigEndianLength(big), 0x010203u);
}

SCAN_TEST(scannerAddressText)
{
    struct Row {
        const char *text;
        bool valid;
    };
    const Row rows[] = {
        {"127.0.0.1", true},   {"192.168.1.20", true}, {"255.255.255.255", true}, {"0.0.0.0", true},
        {"256.1.1.1", false},  {"1.2.3", false},       {"1.2.3.4.5", false},      {"01.2.3.4", false},
        {"1.2.3.4 ", false},   {"a.b.c.d", false},     {"", false},               {"1..2.3", false},
        {"-1.2.3.4", false},   {"1.2.3.4/8", false},   {"scanner.lan", false},
    };
    for (const Row &row : rows)
        if (!CHECK_EQ(IsDottedIPv4(row.text, 16), row.valid))
            std::fprintf(stderr, "    address: %s\n", row.text);
    char unterminated[16];
    std::memcpy(unterminated, "255.255.255.2551", 16);
    CHECK(!IsDottedIPv4(unterminated, sizeof(unterminated)));
}

SCAN_TEST(hostAddressChoice)
{
    const unsigned usable = IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST;
    std::vector<InterfaceAddress> list = {
        {IFF_UP | IFF_RUNNING | IFF_LOOPBACK, true, "127.0.0.1"},
        {usable, false, ""},                            // an IPv6 entry
        {usable & ~IFF_RUNNING, true, "198.51.100.1"},  // down link
        {usable & ~IFF_MULTICAST, true, "198.51.100.2"},
        {usable, true, "127.0.0.1"},
        {usable, true, "198.51.100.3"},
        {usable, true, "198.51.100.4"},
    };
    CHECK_EQ(SelectHostAddress(list), "198.51.100.3");
    list.pop_back();
    list.pop_back();
    CHECK_EQ(SelectHostAddress(list), "");
}
