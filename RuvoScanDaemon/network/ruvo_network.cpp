#include "ruvo_network.h"

#include "net_internal.h"
#include "net_protocol.h"
#include "unique_fd.h"
#include "scan_log.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace ruvo_net;

namespace {

int s_timeoutMs = 5000;

// The record channel this process opened with the last scan start, or -1. A
// forked data process inherits it with the descriptor. Clients echo the
// descriptor back in their requests; only this one is ever closed or read.
int s_recordChannel = -1;

const size_t kAddressCapacity = sizeof(RuvoSocket::szScannerIP);

bool scannerAddressUsable(const char *address)
{
    if (IsDottedIPv4(address, kAddressCapacity))
        return true;
    RuvoErrLog("scanner address is not dotted IPv4 text");
    return false;
}

bool ownsRecordChannel(const RuvoSocket *socket)
{
    return s_recordChannel >= 0 && socket->tcpFromScanner == s_recordChannel;
}

// Closes the channel this process opened, whatever descriptor the record
// names: a scan start or an abort always ends the earlier transfer, and a
// client's value never leads to closing anything else.
void closeRecordChannel(RuvoSocket *socket)
{
    if (s_recordChannel >= 0) {
        ruvo_close_tcp(s_recordChannel);
        s_recordChannel = -1;
    }
    socket->tcpFromScanner = -1;
}

bool sendWhole(int fd, const std::string &bytes)
{
    // MSG_NOSIGNAL: a scanner that has gone away must fail the send, not kill
    // the daemon with SIGPIPE.
    ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(bytes.size());
}

// The receive of ruvo_tcp_recv_with_retry without its entry line: the record
// channel reads two pieces per data block, and two flushed log lines per 64 KiB
// block cost the scan a sixth of its speed.
int receiveWithRetry(int fd, void *buffer, size_t length)
{
    size_t received = 0;
    for (int attempt = 0; attempt < 4 && received < length; ++attempt) {
        ssize_t got = recv(fd, static_cast<char *>(buffer) + received, length - received, MSG_WAITALL);
        if (got > 0)
            received += static_cast<size_t>(got);
    }
    return received == length ? 0 : -1;
}

// Reads and drops `length` bytes in pieces, so a header of any announced size
// needs no buffer of that size.
bool dropBytes(int fd, uint32_t length)
{
    unsigned char scratch[16384];
    while (length > 0) {
        size_t piece = length < sizeof(scratch) ? length : sizeof(scratch);
        if (receiveWithRetry(fd, scratch, piece) != 0)
            return false;
        length -= static_cast<uint32_t>(piece);
    }
    return true;
}

// The abort, capabilities and feeder exchanges: connect to the web server,
// send, one receive that waits for a full buffer, the device closing or the
// timeout. Returns 0 with the reply, or 9.
int webExchange(const char *address, const std::string &request, std::string &reply)
{
    int fd = ruvo_init_tcp(address, kScannerWebPort);
    if (fd < 0)
        return ruvo_wire::RESULT_IO_ERROR;
    if (!sendWhole(fd, request)) {
        int error = errno;
        ruvo_close_tcp(fd);
        RuvoErrLog("send msg error: %s(errno: %d)", std::strerror(error), error);
        return ruvo_wire::RESULT_IO_ERROR;
    }
    std::vector<char> buffer(kHttpReplyCapacity);
    ssize_t received = recv(fd, buffer.data(), buffer.size(), MSG_WAITALL);
    ruvo_close_tcp(fd);
    if (received < 0) {
        RuvoErrLog("recv error");
        return ruvo_wire::RESULT_IO_ERROR;
    }
    reply.assign(buffer.data(), static_cast<size_t>(received));
    return ruvo_wire::RESULT_GOOD;
}

std::string hostAddress()
{
    char host[16] = {};
    GetHostIPAddress(host, sizeof(host));
    return host;
}

} // namespace

void ruvo_net_set_timeout_ms(int milliseconds)
{
    s_timeoutMs = milliseconds;
}

int ruvo_net_grow_buffer(unsigned char **data, int *dataSize, uint32_t needed)
{
    if (needed > kMaxRecordBlockLength) {
        RuvoErrLog("realloc bufSize err");
        return ruvo_wire::RESULT_NO_MEMORY;
    }
    if (*dataSize >= 0 && static_cast<uint32_t>(*dataSize) >= needed)
        return ruvo_wire::RESULT_GOOD;
    void *grown = std::realloc(*data, needed);
    if (!grown) {
        RuvoErrLog("realloc bufSize err");
        return ruvo_wire::RESULT_NO_MEMORY;
    }
    *data = static_cast<unsigned char *>(grown);
    *dataSize = static_cast<int>(needed);
    return ruvo_wire::RESULT_GOOD;
}

int ruvo_init_tcp(const char *ip, int port)
{
    RUVO_LOG_ENTER();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!IsDottedIPv4(ip, kAddressCapacity) || inet_pton(AF_INET, ip, &address.sin_addr) != 1) {
        RuvoErrLog("scanner address is not dotted IPv4 text");
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        RuvoErrLog("create socket error: %s(errno: %d)", std::strerror(errno), errno);
        return -1;
    }
    timeval timeout{};
    timeout.tv_sec = s_timeoutMs / 1000;
    timeout.tv_usec = (s_timeoutMs % 1000) * 1000;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0) {
        int error = errno;
        RuvoErrLog("setsockopt SO_SNDTIMEO error: %s(errno: %d)", std::strerror(error), error);
        close(fd);
        return -1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
        int error = errno;
        RuvoErrLog("setsockopt SO_RCVTIMEO error: %s(errno: %d)", std::strerror(error), error);
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        int error = errno;
        RuvoErrLog("connect error: %s(errno: %d)", std::strerror(error), error);
        close(fd);
        return -1;
    }
    return fd;
}

void ruvo_close_tcp(int fd)
{
    RUVO_LOG_ENTER();
    if (fd >= 0)
        close(fd);
}

int ruvo_tcp_recv_with_retry(int fd, void *buffer, size_t length)
{
    RUVO_LOG_ENTER();
    return receiveWithRetry(fd, buffer, length);
}

int ruvo_send_osl(const RuvoSocket *socket, char **reply, OSL_CMD_TYPE type, int *replyLength)
{
    RUVO_LOG_ENTER();
    *reply = nullptr;
    *replyLength = 0;
    std::optional<OslAttribute> attribute = OslAttributeFor(type);
    if (!attribute) {
        RuvoErrLog("undefined OSL_CMD_TYPE %d", static_cast<int>(type));
        return ruvo_wire::RESULT_INVALID;
    }
    if (!scannerAddressUsable(socket->szScannerIP))
        return ruvo_wire::RESULT_INVALID;
    std::string frame = OslFrame(OslRequestText(*attribute));

    int fd = ruvo_init_tcp(socket->szScannerIP, kScannerXmlPort);
    if (fd < 0)
        return ruvo_wire::RESULT_IO_ERROR;
    if (!sendWhole(fd, frame)) {
        int error = errno;
        ruvo_close_tcp(fd);
        RuvoErrLog("send ruvo_send_osl msg error: %s(errno: %d)", std::strerror(error), error);
        return ruvo_wire::RESULT_IO_ERROR;
    }
    unsigned char lengthBytes[4];
    if (recv(fd, lengthBytes, sizeof(lengthBytes), MSG_WAITALL) != static_cast<ssize_t>(sizeof(lengthBytes))) {
        ruvo_close_tcp(fd);
        RuvoErrLog("recv ruvo_send_osl error");
        return ruvo_wire::RESULT_IO_ERROR;
    }
    uint32_t length = BigEndianLength(lengthBytes);
    if (length > kMaxOslReplyLength) {
        ruvo_close_tcp(fd);
        RuvoErrLog("ruvo_send_osl reply length %u over %u", length, kMaxOslReplyLength);
        return ruvo_wire::RESULT_IO_ERROR;
    }
    std::vector<char> text(length);
    size_t received = 0;
    for (int call = 0; call < 10 && received < length; ++call) {
        ssize_t got = recv(fd, text.data() + received, length - received, 0);
        if (got <= 0) {
            ruvo_close_tcp(fd);
            RuvoErrLog("recv ruvo_send_osl error");
            return ruvo_wire::RESULT_IO_ERROR;
        }
        received += static_cast<size_t>(got);
    }
    ruvo_close_tcp(fd);
    if (received < length)
        return ruvo_wire::RESULT_IO_ERROR;
    if (length > 0) {
        *reply = static_cast<char *>(std::malloc(length));
        if (!*reply)
            return ruvo_wire::RESULT_NO_MEMORY;
        std::memcpy(*reply, text.data(), length);
    }
    *replyLength = static_cast<int>(length);
    return ruvo_wire::RESULT_GOOD;
}

int ruvo_http_ScanStart(RuvoSocket *socket, const SettingInfo *settings)
{
    RUVO_LOG_ENTER();
    if (!scannerAddressUsable(socket->szScannerIP))
        return ruvo_wire::RESULT_INVALID;

    char login[256] = {};
    if (getlogin_r(login, sizeof(login)) != 0)
        login[0] = '\0';
    std::string request = FormPostRequest(kScanPostPath, kRuvoFixedHostAddress, ScanStartBody(*settings, login));

    closeRecordChannel(socket);
    RuvoInfoLog("%s", request.c_str());

    // Both connections close themselves on every way out; only a started scan
    // hands its record channel on.
    UniqueFd web(ruvo_init_tcp(socket->szScannerIP, kScannerWebPort));
    if (!web) {
        RuvoErrLog("ruvo_init_tcp 80 ERR");
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (!sendWhole(web.get(), request)) {
        int error = errno;
        RuvoErrLog("send ruvo_http_ScanStart msg error: %s(errno: %d)", std::strerror(error), error);
        return ruvo_wire::RESULT_IO_ERROR;
    }

    // One byte more than the reply may fill, for the terminator the log needs.
    std::vector<char> reply(kHttpReplyCapacity + 1, '\0');
    size_t length = 0;
    bool haveResult = false;
    for (int call = 0; call < 10 && length < kHttpReplyCapacity && !haveResult; ++call) {
        ssize_t got = recv(web.get(), reply.data() + length, kHttpReplyCapacity - length, 0);
        if (got > 0) {
            length += static_cast<size_t>(got);
            reply[length] = '\0';
            RuvoErrLog("%s", RuvoLogText(std::string_view(reply.data(), length)).c_str());
            haveResult = std::string_view(reply.data(), length).find("RESULT=") != std::string_view::npos;
        } else if (got == 0) {
            break; // the device closed: nothing more will come
        } else {
            usleep(1);
        }
    }
    if (!haveResult) {
        RuvoErrLog("recv ruvo_http_ScanStart error");
        return ruvo_wire::RESULT_BUSY;
    }
    int result = ScanStartResultCode(std::string_view(reply.data(), length));
    if (result != ruvo_wire::RESULT_GOOD) {
        RuvoErrLog("parse ruvo_http_ScanStartResult error");
        return result;
    }

    UniqueFd channel;
    for (int attempt = 0; attempt < 11 && !channel; ++attempt) {
        channel.reset(ruvo_init_tcp(socket->szScannerIP, kScannerRecordPort));
        if (!channel)
            usleep(500 * 1000);
    }
    if (!channel) {
        RuvoErrLog("ruvo_init_tcp 2080 error");
        return ruvo_wire::RESULT_IO_ERROR;
    }

    unsigned char opening[kOpeningHeaderLength];
    if (ruvo_tcp_recv_with_retry(channel.get(), opening, sizeof(opening)) != 0) {
        RuvoErrLog("recv record scan data err");
        return ruvo_wire::RESULT_IO_ERROR;
    }
    std::optional<uint32_t> jobHeaderLength = OpeningBlockLength(opening);
    if (!jobHeaderLength) {
        RuvoErrLog("record length field is not six digits");
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (!dropBytes(channel.get(), *jobHeaderLength)) {
        RuvoErrLog("recv record header data error");
        return ruvo_wire::RESULT_IO_ERROR;
    }
    s_recordChannel = channel.release();
    socket->tcpFromScanner = s_recordChannel;
    return ruvo_wire::RESULT_GOOD;
}

void ruvo_tcp_ReleaseRecordChannel()
{
    if (s_recordChannel >= 0)
        close(s_recordChannel);
    s_recordChannel = -1;
}

int ruvo_http_ScanStartResult(const char *reply)
{
    return ScanStartResultCode(reply ? std::string_view(reply) : std::string_view());
}

namespace {

// One header of the record channel and what follows it up to the data of a
// data block: 0 with *pendingLength bytes of data waiting in the channel (0
// for a new page), 5 at the end, otherwise a failure that closed the channel.
int readRecordHeader(RuvoSocket *socket, ScanStatus *status, uint32_t *pendingLength)
{
    *status = SCAN_STATUS_OPERATION_CONTINUOUS;
    *pendingLength = 0;
    if (!ownsRecordChannel(socket)) {
        RuvoErrLog("record channel %d is not open", static_cast<int>(socket->tcpFromScanner));
        return ruvo_wire::RESULT_IO_ERROR;
    }
    const int channel = socket->tcpFromScanner;
    unsigned char header[kRecordHeaderLength];
    if (receiveWithRetry(channel, header, sizeof(header)) != 0) {
        RuvoErrLog("ruvo_tcp_recv_with_retry blockdata err");
        closeRecordChannel(socket);
        return ruvo_wire::RESULT_IO_ERROR;
    }
    RecordHeader parsed = ParseRecordHeader(header);
    switch (parsed.kind) {
    case RecordHeaderKind::NewPage: {
        RuvoInfoLog("newFileFlag");
        *status = SCAN_STATUS_BEGIN_OF_PAGE;
        if (receiveWithRetry(channel, header, sizeof(header)) != 0) {
            RuvoErrLog("recv record scan data err");
            closeRecordChannel(socket);
            return ruvo_wire::RESULT_IO_ERROR;
        }
        std::optional<uint32_t> pageHeaderLength = PageHeaderLength(header);
        if (!pageHeaderLength) {
            RuvoErrLog("record length field is not six digits");
            closeRecordChannel(socket);
            return ruvo_wire::RESULT_IO_ERROR;
        }
        if (!dropBytes(channel, *pageHeaderLength)) {
            RuvoErrLog("recv record header data error");
            closeRecordChannel(socket);
            return ruvo_wire::RESULT_IO_ERROR;
        }
        return ruvo_wire::RESULT_GOOD;
    }
    case RecordHeaderKind::JobDone:
        RuvoInfoLog("jobDoneFlag");
        *status = SCAN_STATUS_END_OF_DATA;
        closeRecordChannel(socket);
        return ruvo_wire::RESULT_END_OF_SCAN;
    case RecordHeaderKind::Malformed:
        RuvoErrLog("record length field is not six digits");
        closeRecordChannel(socket);
        return ruvo_wire::RESULT_IO_ERROR;
    case RecordHeaderKind::Data:
        break;
    }
    if (parsed.length > kMaxRecordBlockLength) {
        RuvoErrLog("realloc bufSize err");
        closeRecordChannel(socket);
        return ruvo_wire::RESULT_NO_MEMORY;
    }
    *pendingLength = parsed.length;
    return ruvo_wire::RESULT_GOOD;
}

} // namespace

int ruvo_tcp_ScanRecord(RuvoSocket *socket, ScanStatus *status, unsigned char **data, int *dataSize,
                        int *dataLength)
{
    RUVO_LOG_ENTER();
    uint32_t pending = 0;
    int result = readRecordHeader(socket, status, &pending);
    if (result != ruvo_wire::RESULT_GOOD || *status == SCAN_STATUS_BEGIN_OF_PAGE)
        return result;
    int grown = ruvo_net_grow_buffer(data, dataSize, pending);
    if (grown != ruvo_wire::RESULT_GOOD) {
        closeRecordChannel(socket);
        return grown;
    }
    if (receiveWithRetry(socket->tcpFromScanner, *data, pending) != 0) {
        ruvo_tcp_RecordDataFailed(socket);
        return ruvo_wire::RESULT_IO_ERROR;
    }
    *dataLength = static_cast<int>(pending);
    return ruvo_wire::RESULT_GOOD;
}

int ruvo_tcp_ScanRecordHeader(RuvoSocket *socket, ScanStatus *status, uint32_t *pendingLength)
{
    // The same step as ruvo_tcp_ScanRecord for whoever reads the log.
    RuvoInfoLog("** %s", "ruvo_tcp_ScanRecord");
    return readRecordHeader(socket, status, pendingLength);
}

void ruvo_tcp_RecordDataFailed(RuvoSocket *socket)
{
    RuvoErrLog("ruvo_tcp_recv_with_retry recv err");
    closeRecordChannel(socket);
}

int ruvo_http_ScanAbort(RuvoSocket *socket)
{
    RUVO_LOG_ENTER();
    std::string host = hostAddress();
    std::string request = FormPostRequest(kScanPostPath, host, "SCANTYPE=4");
    // Closing our end stops the data transfer of the running scan even when the
    // device cannot be reached for the post.
    closeRecordChannel(socket);
    if (!scannerAddressUsable(socket->szScannerIP))
        return ruvo_wire::RESULT_INVALID;
    std::string reply;
    int result = webExchange(socket->szScannerIP, request, reply);
    if (result != ruvo_wire::RESULT_GOOD)
        return result;
    RuvoInfoLog("ruvo_http_ScanAbort Received : %s ", RuvoLogText(reply).c_str());
    return ruvo_wire::RESULT_GOOD;
}

int ruvo_http_DeviceProperties(const RuvoSocket *socket, ScannerCapabilities *capabilities)
{
    RUVO_LOG_ENTER();
    if (!scannerAddressUsable(socket->szScannerIP))
        return ruvo_wire::RESULT_INVALID;
    std::string reply;
    int result = webExchange(socket->szScannerIP, CapabilitiesRequest(hostAddress()), reply);
    if (result != ruvo_wire::RESULT_GOOD)
        return result;
    *capabilities = ScannerCapabilities{};
    return ruvo_ParseScanCapabilities(capabilities, reply.c_str());
}

int ruvo_ParseScanCapabilities(ScannerCapabilities *capabilities, const char *reply)
{
    std::string_view body = HttpBody(reply ? std::string_view(reply) : std::string_view());
    RuvoInfoLog("ruvo_ParseScanCapabilities \n%s\n", RuvoLogText(body).c_str());
    for (const auto &[key, value] : BodyKeyValueLines(body)) {
        ApplyCapability(*capabilities, key, value);
        RuvoInfoLog("%s:%s", RuvoLogText(key).c_str(), RuvoLogText(value).c_str());
    }
    return ruvo_wire::RESULT_GOOD;
}

int ruvo_SetScanCapabilities(ScannerCapabilities *capabilities, const char *key, const char *value)
{
    ApplyCapability(*capabilities, key ? key : "", value ? value : "");
    return ruvo_wire::RESULT_GOOD;
}

int ruvo_http_adfstatus(const RuvoSocket *socket, ADFStatus *status)
{
    RUVO_LOG_ENTER();
    if (!scannerAddressUsable(socket->szScannerIP))
        return ruvo_wire::RESULT_INVALID;
    std::string reply;
    int result = webExchange(socket->szScannerIP, FormPostRequest(kAdfStatusPath, hostAddress(), "GETADFSTATUS"),
                             reply);
    if (result != ruvo_wire::RESULT_GOOD)
        return result;
    RuvoInfoLog("ruvo_http_adfstatus Received : \n%s ", RuvoLogText(reply).c_str());
    std::optional<ADFStatus> feeder = AdfStatusFromReply(reply);
    if (!feeder) {
        RuvoErrLog("ADF status is invalid or not supported");
        return ruvo_wire::RESULT_GOOD;
    }
    *status = *feeder;
    RuvoInfoLog("%s", *feeder == ADF_STATUS_EMPTY    ? "ADF_STATUS_EMPTY"
                      : *feeder == ADF_STATUS_LOADED ? "ADF_STATUS_LOADED"
                                                     : "ADF_STATUS_PAPER_JAM");
    return ruvo_wire::RESULT_GOOD;
}

int GetHostIPAddress(char *buffer, size_t bufferSize)
{
    RUVO_LOG_ENTER();
    std::vector<InterfaceAddress> addresses;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *entry = list; entry; entry = entry->ifa_next) {
            InterfaceAddress address{entry->ifa_flags, false, std::string()};
            if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
                char text[INET_ADDRSTRLEN] = {};
                const auto *inet = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
                if (inet_ntop(AF_INET, &inet->sin_addr, text, sizeof(text))) {
                    address.ipv4 = true;
                    address.text = text;
                }
            }
            addresses.push_back(address);
        }
        freeifaddrs(list);
    }
    std::string chosen = SelectHostAddress(addresses);
    if (chosen.size() + 1 > bufferSize) {
        RuvoErrLog("szHostIpAddress size over");
        return -1;
    }
    std::memcpy(buffer, chosen.c_str(), chosen.size() + 1);
    return 0;
}
