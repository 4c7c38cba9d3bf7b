#include "scan_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ScanClient::~ScanClient()
{
    disconnect();
}

bool ScanClient::connectTo(int port, int receiveBuffer)
{
    disconnect();
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (receiveBuffer > 0)
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        disconnect();
        return false;
    }
    return true;
}

void ScanClient::disconnect()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

bool ScanClient::sendBytes(const void *bytes, size_t length)
{
    const auto *data = static_cast<const uint8_t *>(bytes);
    size_t done = 0;
    while (done < length) {
        ssize_t sent = send(m_fd, data + done, length - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool ScanClient::sendCommand(int32_t command, const void *body, size_t length)
{
    std::vector<uint8_t> request(sizeof(command) + length);
    std::memcpy(request.data(), &command, sizeof(command));
    if (length)
        std::memcpy(request.data() + sizeof(command), body, length);
    return sendBytes(request.data(), request.size());
}

bool ScanClient::receive(void *buffer, size_t length, int timeoutMs)
{
    auto *data = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < length) {
        pollfd waiting{m_fd, POLLIN, 0};
        int ready = poll(&waiting, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t got = recv(m_fd, data + done, length - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool ScanClient::findDevices(uint16_t vendor, uint16_t product, bool compareProduct, int32_t &count,
                             std::vector<USBFindDevRes> &devices)
{
    USBFindDevReq request{};
    request.vid = vendor;
    request.pid = product;
    request.compareWithPID = compareProduct;
    devices.clear();
    if (!sendCommand(USB_FIND_DEV, &request, sizeof(request)) || !receive(&count, sizeof(count)))
        return false;
    for (int32_t i = 0; i < count; ++i) {
        USBFindDevRes device;
        if (!receive(&device, sizeof(device)))
            return false;
        devices.push_back(device);
    }
    return true;
}

bool ScanClient::plainCommand(int32_t command, int32_t devfd, int32_t &result)
{
    USBCommonReq request{devfd};
    return sendCommand(command, &request, sizeof(request)) && receive(&result, sizeof(result));
}

bool ScanClient::lock(int32_t devfd, const SettingInfo &settings, int32_t &result)
{
    USBScanLockReq request{};
    request.devfd = devfd;
    request.info = settings;
    return sendCommand(USB_SCAN_LOCK, &request, sizeof(request)) && receive(&result, sizeof(result));
}

bool ScanClient::scanStart(int32_t devfd, USBScanStartRes &response)
{
    USBCommonReq request{devfd};
    return sendCommand(USB_SCAN_START, &request, sizeof(request)) && receive(&response, sizeof(response));
}

bool ScanClient::nextRecord(USBScanRecordRes &record)
{
    return receive(&record, sizeof(record));
}

bool ScanClient::abort(int32_t devfd, const std::string &baseName, int32_t &result)
{
    USBScanAbortReq request{};
    request.devfd = devfd;
    std::strncpy(request.fileName, baseName.c_str(), sizeof(request.fileName) - 1);
    return sendCommand(USB_SCAN_ABORT, &request, sizeof(request)) && receive(&result, sizeof(result));
}

bool ScanClient::adfStatus(int32_t devfd, USBScanAdfStatusRes &response)
{
    USBCommonReq request{devfd};
    return sendCommand(USB_SCAN_ADFSTATUS, &request, sizeof(request)) && receive(&response, sizeof(response));
}

bool ScanClient::properties(int32_t devfd, USBScanDevicePropertiesRes &response)
{
    USBCommonReq request{devfd};
    return sendCommand(USB_SCAN_DEVPROPERTIES, &request, sizeof(request)) && receive(&response, sizeof(response));
}

bool ScanClient::reopen(int32_t devfd, uint16_t vendor, uint16_t product, const std::string &serial,
                        USBReopenDevRes &response)
{
    USBReopenDevReq request{};
    request.devfd = devfd;
    request.vid = vendor;
    request.pid = product;
    std::strncpy(request.SerialNumber, serial.c_str(), sizeof(request.SerialNumber) - 1);
    return sendCommand(USB_REOPEN_DEV, &request, sizeof(request)) && receive(&response, sizeof(response));
}

bool ScanClient::deleteFile(const std::string &name)
{
    CmdDeleteFileReq request{};
    std::strncpy(request.fileName, name.c_str(), sizeof(request.fileName) - 1);
    return sendCommand(CMD_DELETE_FILE, &request, sizeof(request));
}

SettingInfo DefaultScanSettings()
{
    SettingInfo settings{};
    settings.bitDepth = 24;
    settings.compType = COMPRESSION_NONE;
    settings.width = 2550;
    settings.height = 3300;
    settings.xResolution = 300;
    settings.yResolution = 300;
    settings.feederEnabled = true;
    settings.isClient = 1;
    settings.BrightnessParam = 50;
    settings.ContrastParam = 50;
    return settings;
}

std::string FieldText(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

ClientCommandLine ParseClientCommandLine(int argc, char **argv)
{
    ClientCommandLine line{kScanDaemonPort, 1};
    if (argc > 2 && std::strcmp(argv[1], "--port") == 0) {
        line.port = std::atoi(argv[2]);
        line.first = 3;
    }
    return line;
}

bool ConnectToDaemon(ScanClient &client, int port, const char *program)
{
    if (client.connectTo(port))
        return true;
    std::fprintf(stderr, "%s: cannot reach the scan daemon on port %d\n", program, port);
    return false;
}

int ReportScanEnd(int32_t result, int pages, long long bytes, const std::string &baseName)
{
    std::printf("scan ended with result %d: %d page(s), %lld bytes\n", result, pages, bytes);
    for (int page = 0; page < pages; ++page)
        std::printf("%s_%d.tmp\n", baseName.c_str(), page);
    return result == SANE_STATUS_EOF ? 0 : 1;
}
