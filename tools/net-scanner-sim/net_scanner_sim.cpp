// net-scanner-sim: plays a network scanner on one loopback address so the scan
// daemon can be tried and tested without a device.
//
//   port 80    web server: scan start / abort form posts, capabilities, feeder status
//   port 5000  XML "getAttribute" calls, each message a 4-byte big-endian length + text
//   port 2080  record channel: opening block, then per page "NEWFILE", a page header
//              and data blocks, then "JOBDONE"
//
// With --chart it scans the test chart as the scan start's form fields ask
// (area, resolution, depth, raw or JPEG, flatbed or feeder; see
// docs/scan-page-format.md); otherwise it sends a byte pattern of a fixed size.
//
// It writes a ready file once all three ports listen, keeps every request it
// received in the record folder (so tests can check the posted fields), and runs
// until SIGTERM or SIGINT. Run with --help for the knobs.

#include "scan_chart.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    std::string address = "127.0.0.2";
    int webPort = 80;
    int xmlPort = 5000;
    int recordPort = 2080;
    int pages = 3;
    uint64_t pageSize = 300000;
    std::vector<uint32_t> blockSizes{65536};
    std::string result = "0";
    bool resultInHeaderOnly = false;
    std::string adfReply = "ADFSTATUS=2";
    std::string capabilities = "DUPLEX=false\r\nCOLOR=COLOR\r\nMINRES=75\r\nMAXRES=1200\r\nWIDTH_FORMAT=2\r\n"
                               "FAMILY=3\r\nPERMPROFILES=true\r\nPROFILE=ENABLED\r\nMAX_WIDTH=8500\r\n"
                               "MAX_HEIGHT=14000\r\nBASIC_RESOLUTION=300\r\n";
    std::string fault = "none"; // see usage()
    std::string recordDir;
    bool keepPages = false;
    std::string readyFile;
    bool chart = false;
    bool adfReplyGiven = false;
    int jamOnPage = -1;
    int64_t sheetLength = 11 * scan_chart::kMicroInch;
    int blockDelayMs = 0;
    // A hostile JPEG page: progressive, 16 true lines, a frame header that
    // claims this width and height (0: the true one). Off when both are 0.
    uint32_t jpegClaimWidth = 0;
    uint32_t jpegClaimLines = 0;
    int offForMs = 3000; // how long a switched-off scanner stays off
};

// The form fields of the last scan start, which the record channel that
// follows it scans by.
std::mutex s_scanMutex; // guards s_lastScanFields and s_jammed
std::map<std::string, std::string> s_lastScanFields;
bool s_jammed = false;

Options s_options;
std::atomic<bool> s_stopping{false};
// Set while the scanner is switched off: until then every connection is reset.
std::atomic<int64_t> s_offUntilMs{0};

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Closing with a zero linger time sends a reset, as a peer that lost its power
// and came back answers a connection it no longer knows.
void resetConnection(int fd)
{
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
}

void event(const std::string &line);

void switchOff(const char *what)
{
    s_offUntilMs = nowMs() + s_options.offForMs;
    event(what);
}
std::atomic<int> s_requestNumber{0};
std::mutex s_eventMutex; // guards writes to the events file

void usage()
{
    std::printf(
        "usage: net-scanner-sim [options]\n"
        "  --address A          loopback address to serve on (127.0.0.x, default 127.0.0.2)\n"
        "  --web-port P --xml-port P --record-port P   (defaults 80, 5000, 2080)\n"
        "  --pages N            pages per scan (default 3)\n"
        "  --page-size BYTES    image bytes per page (default 300000)\n"
        "  --block-sizes A,B,.. data block sizes, used in turn (default 65536; at most 999999)\n"
        "  --result TEXT        value of the scan start's RESULT line (0 ok, 91 busy, 1 refused)\n"
        "  --result-in-header   put RESULT= only into a reply header line, not the body\n"
        "  --adf-reply TEXT     body of the feeder status reply (its last byte is the state)\n"
        "  --capabilities TEXT  body of the capabilities reply (\\n separates lines)\n"
        "  --fault F            close-mid-page | close-mid-block | close-in-page-header | close-at-opening |\n"
        "                       stall | bad-length | no-result | xml-zero | xml-oversize |\n"
        "                       web-silent | xml-silent (take the request, never answer) |\n"
        "                       switch-off-mid-page (resets the channel halfway through page 1) |\n"
        "                       switch-off-silent (goes quiet there); either way every connection\n"
        "                       is reset for --off-for-ms N (default 3000), then it works again\n"
        "  --record-dir DIR     keep requests (http-N.txt, xml-N.txt), replies and events.log here\n"
        "  --keep-pages         also keep the image bytes sent, as sent-page-N.bin\n"
        "  --ready-file PATH    written once all ports listen\n"
        "  --chart              scan the test chart as the form fields ask; --pages is then the\n"
        "                       number of sheets in the feeder (a flatbed scan is one page)\n"
        "  --sheet-length-mm N  length of the feeder's sheets (default 279, Letter)\n"
        "  --jam-on-page N      the feeder jams on page N (0-based): the channel closes there\n"
        "                       and the feeder status says jammed\n"
        "  --block-delay-ms N   pause after each data block (a slow scanner)\n"
        "  --jpeg-claim-lines N --jpeg-claim-width N   with --chart, JPEG pages are hostile:\n"
        "                       progressive, 16 lines, their frame header claiming N lines / N\n"
        "                       pixels a line (up to 65535)\n");
}

std::vector<uint32_t> parseSizes(const std::string &text)
{
    std::vector<uint32_t> sizes;
    size_t position = 0;
    while (position <= text.size()) {
        size_t comma = text.find(',', position);
        if (comma == std::string::npos)
            comma = text.size();
        unsigned long value = std::strtoul(text.substr(position, comma - position).c_str(), nullptr, 10);
        if (value == 0 || value > 999999) {
            std::fprintf(stderr, "net-scanner-sim: block sizes are 1..999999\n");
            std::exit(2);
        }
        sizes.push_back(static_cast<uint32_t>(value));
        position = comma + 1;
    }
    return sizes;
}

std::string unescapeLines(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += "\r\n";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

void parseOptions(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "net-scanner-sim: %s needs a value\n", name.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (name == "--address")
            s_options.address = value();
        else if (name == "--web-port")
            s_options.webPort = std::atoi(value().c_str());
        else if (name == "--xml-port")
            s_options.xmlPort = std::atoi(value().c_str());
        else if (name == "--record-port")
            s_options.recordPort = std::atoi(value().c_str());
        else if (name == "--pages")
            s_options.pages = std::atoi(value().c_str());
        else if (name == "--page-size")
            s_options.pageSize = std::strtoull(value().c_str(), nullptr, 10);
        else if (name == "--block-sizes" || name == "--block-size")
            s_options.blockSizes = parseSizes(value());
        else if (name == "--result")
            s_options.result = value();
        else if (name == "--result-in-header")
            s_options.resultInHeaderOnly = true;
        else if (name == "--adf-reply") {
            s_options.adfReply = value();
            s_options.adfReplyGiven = true;
        } else if (name == "--chart")
            s_options.chart = true;
        else if (name == "--sheet-length-mm")
            s_options.sheetLength = std::strtoll(value().c_str(), nullptr, 10) * scan_chart::kMicroInch * 10 / 254;
        else if (name == "--jam-on-page")
            s_options.jamOnPage = std::atoi(value().c_str());
        else if (name == "--jpeg-claim-lines")
            s_options.jpegClaimLines = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 10));
        else if (name == "--jpeg-claim-width")
            s_options.jpegClaimWidth = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 10));
        else if (name == "--block-delay-ms")
            s_options.blockDelayMs = std::atoi(value().c_str());
        else if (name == "--off-for-ms")
            s_options.offForMs = std::atoi(value().c_str());
        else if (name == "--capabilities")
            s_options.capabilities = unescapeLines(value());
        else if (name == "--fault")
            s_options.fault = value();
        else if (name == "--record-dir")
            s_options.recordDir = value();
        else if (name == "--keep-pages")
            s_options.keepPages = true;
        else if (name == "--ready-file")
            s_options.readyFile = value();
        else if (name == "--help" || name == "-h") {
            usage();
            std::exit(0);
        } else {
            std::fprintf(stderr, "net-scanner-sim: unknown option %s\n", name.c_str());
            usage();
            std::exit(2);
        }
    }
    if (s_options.address.rfind("127.", 0) != 0) {
        std::fprintf(stderr, "net-scanner-sim: serves on loopback addresses (127.x.x.x) only\n");
        std::exit(2);
    }
}

void writeFile(const std::string &name, const std::string &bytes)
{
    if (s_options.recordDir.empty())
        return;
    std::ofstream out(s_options.recordDir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void event(const std::string &line)
{
    if (s_options.recordDir.empty())
        return;
    std::lock_guard<std::mutex> lock(s_eventMutex);
    std::ofstream out(s_options.recordDir + "/events.log", std::ios::app);
    out << line << '\n';
}

int listenOn(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, s_options.address.c_str(), &address.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0) {
        std::fprintf(stderr, "net-scanner-sim: cannot listen on %s:%d: %s\n", s_options.address.c_str(), port,
                     std::strerror(errno));
        std::exit(1);
    }
    return fd;
}

// Waits for `fd` to become readable (or hang up) while watching the stop flag.
bool waitReadable(int fd)
{
    while (!s_stopping) {
        pollfd entry{fd, POLLIN, 0};
        int ready = poll(&entry, 1, 100);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return false;
}

bool sendAll(int fd, const char *data, size_t length)
{
    while (length > 0) {
        if (s_stopping)
            return false;
        ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool sendAll(int fd, const std::string &bytes)
{
    return sendAll(fd, bytes.data(), bytes.size());
}

bool receiveExactly(int fd, char *data, size_t length)
{
    while (length > 0) {
        if (!waitReadable(fd))
            return false;
        ssize_t got = recv(fd, data, length, 0);
        if (got <= 0)
            return false;
        data += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// ---- web server ----

void waitForHostClose(int fd);

std::string httpReply(const std::string &body, const std::string &extraHeader = std::string())
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nServer: net-scanner-sim\r\n" + extraHeader +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// "KEY=VALUE&KEY=VALUE&..." as the scan start posts it (values are not
// percent-encoded).
std::map<std::string, std::string> parseForm(const std::string &body)
{
    std::map<std::string, std::string> fields;
    size_t position = 0;
    while (position < body.size()) {
        size_t end = body.find('&', position);
        if (end == std::string::npos)
            end = body.size();
        std::string pair = body.substr(position, end - position);
        size_t equals = pair.find('=');
        if (equals != std::string::npos)
            fields[pair.substr(0, equals)] = pair.substr(equals + 1);
        position = end + 1;
    }
    return fields;
}

std::string feederReply()
{
    if (!s_options.chart || s_options.adfReplyGiven)
        return s_options.adfReply;
    std::lock_guard<std::mutex> lock(s_scanMutex);
    if (s_jammed)
        return "ADFSTATUS=3";
    return s_options.pages > 0 ? "ADFSTATUS=2" : "ADFSTATUS=1";
}

void serveWeb(int fd)
{
    std::string request;
    char buffer[4096];
    size_t headerEnd = std::string::npos;
    while (headerEnd == std::string::npos && request.size() < 65536) {
        if (!waitReadable(fd))
            return;
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<size_t>(got));
        headerEnd = request.find("\r\n\r\n");
    }
    if (headerEnd == std::string::npos)
        return;
    size_t contentLength = 0;
    size_t lengthAt = request.find("Content-Length: ");
    if (lengthAt != std::string::npos && lengthAt < headerEnd)
        contentLength = std::strtoul(request.c_str() + lengthAt + 16, nullptr, 10);
    while (request.size() < headerEnd + 4 + contentLength) {
        if (!waitReadable(fd))
            break;
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<size_t>(got));
    }
    int number = ++s_requestNumber;
    writeFile("http-" + std::to_string(number) + ".txt", request);
    std::string body = request.substr(headerEnd + 4);
    if (s_options.fault == "web-silent") {
        event("web-silent");
        waitForHostClose(fd);
        return;
    }

    std::string reply;
    if (request.rfind("POST /netscan/post ", 0) == 0 && body.rfind("SCANTYPE=4", 0) == 0) {
        event("abort");
        reply = httpReply("RESULT=0\r\n");
    } else if (request.rfind("POST /netscan/post ", 0) == 0) {
        event("scan-start");
        {
            std::lock_guard<std::mutex> lock(s_scanMutex);
            s_lastScanFields = parseForm(body);
            s_jammed = false;
        }
        if (s_options.fault == "no-result")
            reply = httpReply("STATE=IDLE\r\n");
        else if (s_options.resultInHeaderOnly)
            reply = httpReply("STATE=STARTING\r\n", "X-Scan-Note: RESULT=" + s_options.result + "\r\n");
        else
            reply = httpReply("JOBID=1\r\nRESULT=" + s_options.result + "\r\n");
    } else if (request.rfind("GET /netscan/capabilites ", 0) == 0) {
        event("capabilities");
        reply = httpReply(s_options.capabilities);
    } else if (request.rfind("POST /cgi-bin/dynamic/printer/netscan/adfStatus.html ", 0) == 0) {
        event("adf-status");
        reply = httpReply(feederReply());
    } else {
        event("unknown-request");
        reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    }
    sendAll(fd, reply);
}

// ---- XML method service ----

void serveXml(int fd)
{
    unsigned char prefix[4];
    if (!receiveExactly(fd, reinterpret_cast<char *>(prefix), 4))
        return;
    uint32_t length = (uint32_t(prefix[0]) << 24) | (uint32_t(prefix[1]) << 16) | (uint32_t(prefix[2]) << 8) | prefix[3];
    if (length > 65536)
        return;
    std::string text(length, '\0');
    if (!receiveExactly(fd, text.data(), length))
        return;
    int number = ++s_requestNumber;
    writeFile("xml-" + std::to_string(number) + ".txt", text);
    event("xml-call");
    if (s_options.fault == "xml-silent") {
        waitForHostClose(fd);
        return;
    }

    std::string reply;
    uint32_t announced = 0;
    if (s_options.fault == "xml-zero") {
        announced = 0;
    } else if (s_options.fault == "xml-oversize") {
        reply.assign(9000, 'x');
        announced = 9000;
    } else {
        std::string attribute = "unknown";
        size_t at = text.find("name=\"attribName\">");
        if (at != std::string::npos) {
            size_t start = at + 18;
            attribute = text.substr(start, text.find('<', start) - start);
        }
        reply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<methodResponse>\r\n  <value name=\"" + attribute +
                "\">sim-" + attribute + "</value>\r\n</methodResponse>\r\n";
        announced = static_cast<uint32_t>(reply.size());
    }
    writeFile("xml-reply-" + std::to_string(number) + ".txt", reply);
    unsigned char out[4] = {static_cast<unsigned char>(announced >> 24), static_cast<unsigned char>(announced >> 16),
                            static_cast<unsigned char>(announced >> 8), static_cast<unsigned char>(announced)};
    sendAll(fd, reinterpret_cast<char *>(out), 4);
    sendAll(fd, reply);
}

// ---- record channel ----

std::string lengthHeader(const char *lead, size_t leadLength, uint32_t length, size_t total)
{
    char digits[8];
    std::snprintf(digits, sizeof(digits), "%06u", length);
    std::string header(lead, leadLength);
    header += digits;
    header.resize(total, ' ');
    return header;
}

// The image bytes of one page at an offset: byte p of page n is
// (p * 131 + p / 512 + n * 97) mod 256, a pattern that differs per page and per
// position, so lost, repeated or swapped blocks change the file. Built from a
// 512-byte table plus a constant per 512-byte stretch, so the simulator keeps
// up with the benchmark.
void fillImage(std::vector<char> &block, int page, uint64_t offset, size_t length)
{
    static const std::vector<unsigned char> table = [] {
        std::vector<unsigned char> values(512);
        for (unsigned i = 0; i < 512; ++i)
            values[i] = static_cast<unsigned char>((i * 131) & 0xFF);
        return values;
    }();
    block.resize(length);
    size_t done = 0;
    while (done < length) {
        uint64_t position = offset + done;
        uint64_t stretch = position >> 9;
        size_t start = static_cast<size_t>(position & 511);
        size_t count = std::min<size_t>(512 - start, length - done);
        auto shift = static_cast<unsigned char>((stretch * 512 * 131 + stretch + static_cast<uint64_t>(page) * 97) & 0xFF);
        auto *out = reinterpret_cast<unsigned char *>(block.data()) + done;
        for (size_t i = 0; i < count; ++i)
            out[i] = static_cast<unsigned char>(table[start + i] + shift);
        done += count;
    }
}

// After the host closes its end, a read returns 0 (or fails); a stalled
// scanner waits for exactly that.
void waitForHostClose(int fd)
{
    char scratch[256];
    while (waitReadable(fd)) {
        ssize_t got = recv(fd, scratch, sizeof(scratch), 0);
        if (got <= 0) {
            event("record-closed-by-host");
            return;
        }
    }
}

long field(const std::map<std::string, std::string> &fields, const char *key)
{
    auto found = fields.find(key);
    return found == fields.end() ? 0 : std::strtol(found->second.c_str(), nullptr, 10);
}

// A scan of the test chart as the last scan start asked for it.
void serveChart(int fd)
{
    std::map<std::string, std::string> fields;
    {
        std::lock_guard<std::mutex> lock(s_scanMutex);
        fields = s_lastScanFields;
    }
    scan_chart::Area area;
    area.xResolution = area.yResolution = static_cast<int>(field(fields, "RESOLUTION"));
    area.width = static_cast<uint32_t>(field(fields, "CUSTOM_WIDTH"));
    area.height = static_cast<uint32_t>(field(fields, "CUSTOM_HEIGHT"));
    area.xStart = static_cast<uint32_t>(field(fields, "OFFSETX"));
    area.yStart = static_cast<uint32_t>(field(fields, "OFFSETY"));
    int depth = fields["DEPTH"] == "other" ? 1 : fields["DEPTH"] == "8" ? 8 : 24;
    bool jpeg = fields["TYPE"] == "JPEG" && depth != 1;
    int quality = static_cast<int>(field(fields, "JPEGQUALITY"));
    bool fromFeeder = fields["SCANSOURCE"] == "0";
    int pages = !fromFeeder ? 1 : fields["SINGLEPAGE"] == "TRUE" ? std::min(1, s_options.pages) : s_options.pages;
    if (area.xResolution <= 0 || area.xResolution > 4800 || area.width > 100000 || area.height > 200000)
        pages = 0;

    std::string job = "JOB PAGES=" + std::to_string(pages) + " SOURCE=net-scanner-sim CHART\n";
    if (!sendAll(fd, lengthHeader("RUVOJOB ", 8, static_cast<uint32_t>(job.size()), 20) + job))
        return;
    size_t nextSize = 0;
    for (int page = 0; page < pages; ++page) {
        uint32_t lines = fromFeeder ? scan_chart::FeederPageLines(area, s_options.sheetLength) : area.height;
        std::string pageHeader = "PAGE " + std::to_string(page) + " LINES=" + std::to_string(lines) + "\n";
        std::string opening = std::string("NEWFILE") + std::string(10, ' ') + "\n" +
                              lengthHeader("PAGEHD", 6, static_cast<uint32_t>(pageHeader.size()), 18) + pageHeader;
        if (!sendAll(fd, opening)) {
            event("record-closed-by-host");
            return;
        }
        // The sheet jams as it is drawn in: its page has begun, no line follows.
        if (fromFeeder && page == s_options.jamOnPage) {
            {
                std::lock_guard<std::mutex> lock(s_scanMutex);
                s_jammed = true;
            }
            event("record-jammed");
            return;
        }
        std::ofstream kept;
        if (s_options.keepPages && !s_options.recordDir.empty())
            kept.open(s_options.recordDir + "/sent-page-" + std::to_string(page) + ".bin", std::ios::binary);
        std::vector<uint8_t> pending;
        if (jpeg && (s_options.jpegClaimLines || s_options.jpegClaimWidth))
            pending = scan_chart::EncodeClaimingJpeg(area, depth, page, std::min<uint32_t>(lines, 16), quality,
                                                     s_options.jpegClaimWidth, s_options.jpegClaimLines);
        else if (jpeg)
            pending = scan_chart::EncodeJpeg(area, depth, page, lines, quality);
        uint32_t nextLine = 0;
        size_t sent = 0;
        for (;;) {
            uint32_t size = s_options.blockSizes[nextSize++ % s_options.blockSizes.size()];
            // Raw lines are rendered as the blocks need them.
            while (!jpeg && pending.size() - sent < size && nextLine < lines) {
                if (sent > 0) {
                    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(sent));
                    sent = 0;
                }
                scan_chart::AppendLine(area, depth, page, nextLine++, 0, pending);
            }
            size_t count = std::min<size_t>(size, pending.size() - sent);
            if (count == 0)
                break;
            std::string frame = lengthHeader("IMAGE ", 6, static_cast<uint32_t>(count), 18);
            frame.append(reinterpret_cast<const char *>(pending.data() + sent), count);
            if (!sendAll(fd, frame)) {
                event("record-closed-by-host");
                return;
            }
            if (kept.is_open())
                kept.write(reinterpret_cast<const char *>(pending.data() + sent), static_cast<std::streamsize>(count));
            sent += count;
            if (s_options.blockDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(s_options.blockDelayMs));
        }
    }
    if (!sendAll(fd, std::string("JOBDONE") + std::string(10, ' ') + "\n")) {
        event("record-closed-by-host");
        return;
    }
    event("record-done");
}

void serveRecord(int fd)
{
    event("record-connect");
    if (s_options.chart) {
        serveChart(fd);
        return;
    }
    std::string job = "JOB PAGES=" + std::to_string(s_options.pages) + " SOURCE=net-scanner-sim\n";
    if (s_options.fault == "close-at-opening") {
        sendAll(fd, std::string("RUVOJOB 00"));
        event("record-closed-at-opening");
        return;
    }
    if (!sendAll(fd, lengthHeader("RUVOJOB ", 8, static_cast<uint32_t>(job.size()), 20) + job)) {
        event("record-closed-by-host");
        return;
    }
    std::vector<char> block;
    size_t nextSize = 0;
    for (int page = 0; page < s_options.pages; ++page) {
        std::string pageHeader = "PAGE " + std::to_string(page) + " BYTES=" + std::to_string(s_options.pageSize) + "\n";
        std::string opening = std::string("NEWFILE") + std::string(10, ' ') + "\n" +
                              lengthHeader("PAGEHD", 6, static_cast<uint32_t>(pageHeader.size()), 18) + pageHeader;
        if (page == 1 && s_options.fault == "close-in-page-header") {
            sendAll(fd, opening.substr(0, opening.size() - 3));
            event("record-closed-in-page-header");
            return;
        }
        if (!sendAll(fd, opening)) {
            event("record-closed-by-host");
            return;
        }
        std::ofstream kept;
        if (s_options.keepPages && !s_options.recordDir.empty())
            kept.open(s_options.recordDir + "/sent-page-" + std::to_string(page) + ".bin", std::ios::binary);
        uint64_t offset = 0;
        while (offset < s_options.pageSize) {
            bool halfway = page == 1 && offset >= s_options.pageSize / 2;
            if (halfway && s_options.fault == "close-mid-page") {
                event("record-closed-mid-page");
                return;
            }
            if (halfway && s_options.fault == "close-mid-block") {
                uint32_t size = s_options.blockSizes[0];
                fillImage(block, page, offset, size);
                sendAll(fd, lengthHeader("IMAGE ", 6, size, 18));
                sendAll(fd, block.data(), size / 2);
                event("record-closed-mid-block");
                return;
            }
            if (halfway && s_options.fault == "switch-off-mid-page" && s_offUntilMs == 0) {
                switchOff("record-switched-off");
                resetConnection(fd);
                return;
            }
            if (halfway && s_options.fault == "switch-off-silent" && s_offUntilMs == 0) {
                switchOff("record-switched-off");
                waitForHostClose(fd);
                return;
            }
            if (halfway && s_options.fault == "stall") {
                event("record-stalled");
                waitForHostClose(fd);
                return;
            }
            uint32_t size = s_options.blockSizes[nextSize++ % s_options.blockSizes.size()];
            if (size > s_options.pageSize - offset)
                size = static_cast<uint32_t>(s_options.pageSize - offset);
            fillImage(block, page, offset, size);
            std::string header = lengthHeader("IMAGE ", 6, size, 18);
            if (s_options.fault == "bad-length" && page == 1)
                header[8] = 'x';
            // Header and block in one send, as a device fills one frame.
            std::string frame = header;
            frame.append(block.data(), block.size());
            if (!sendAll(fd, frame)) {
                event("record-closed-by-host");
                return;
            }
            if (kept.is_open())
                kept.write(block.data(), static_cast<std::streamsize>(block.size()));
            offset += size;
        }
    }
    if (!sendAll(fd, std::string("JOBDONE") + std::string(10, ' ') + "\n")) {
        event("record-closed-by-host");
        return;
    }
    event("record-done");
}

void acceptLoop(int listener, void (*serve)(int))
{
    while (waitReadable(listener)) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (nowMs() < s_offUntilMs) {
            resetConnection(fd);
            close(fd);
            continue;
        }
        // Each connection on its own thread, so an abort can arrive while a
        // record channel streams.
        std::thread([fd, serve] {
            serve(fd);
            close(fd);
        }).detach();
    }
}

} // namespace

int main(int argc, char **argv)
{
    parseOptions(argc, argv);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); // threads inherit the mask
    signal(SIGPIPE, SIG_IGN);

    int web = listenOn(s_options.webPort);
    int xml = listenOn(s_options.xmlPort);
    int record = listenOn(s_options.recordPort);
    std::thread webThread(acceptLoop, web, serveWeb);
    std::thread xmlThread(acceptLoop, xml, serveXml);
    std::thread recordThread(acceptLoop, record, serveRecord);

    if (!s_options.readyFile.empty()) {
        std::string temporary = s_options.readyFile + ".partial";
        std::ofstream(temporary) << getpid() << '\n';
        std::rename(temporary.c_str(), s_options.readyFile.c_str());
    }
    std::printf("net-scanner-sim: serving on %s (web %d, xml %d, record %d)\n", s_options.address.c_str(),
                s_options.webPort, s_options.xmlPort, s_options.recordPort);
    std::fflush(stdout);

    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    s_stopping = true;
    webThread.join();
    xmlThread.join();
    recordThread.join();
    close(web);
    close(xml);
    close(record);
    // Connection threads notice the flag within 100 ms; give them that before leaving.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    _exit(0);
}
