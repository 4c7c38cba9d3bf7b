#include "scan_client.h"

#include "client_io.h"

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
    m_fd = ruvo_wire::ConnectToDaemon(port, receiveBuffer);
    return m_fd >= 0;
}

bool ScanClient::connectLocal(std::string &error, int receiveBuffer)
{
    disconnect();
    m_fd = ruvo_wire::ConnectToLocalDaemon(error, receiveBuffer);
    return m_fd >= 0;
}

void ScanClient::disconnect()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

bool ScanClient::sendBytes(const void *bytes, size_t length)
{
    return ruvo_wire::SendAll(m_fd, bytes, length);
}

bool ScanClient::sendCommand(int32_t command, const void *body, size_t length)
{
    return ruvo_wire::SendRequest(m_fd, command, body, length);
}

bool ScanClient::receive(void *buffer, size_t length, int timeoutMs)
{
    return ruvo_wire::ReceiveExact(m_fd, buffer, length, timeoutMs);
}

bool ScanClient::findDevices(uint16_t vendor, uint16_t product, bool compareProduct, int32_t &count,
                             std::vector<USBFindDevRes> &devices)
{
    USBFindDevReq request{};
    request.vid = vendor;
    request.pid = product;
    request.compareWithPID = compareProduct;
    devices.clear();
    // The count and the records are one answer with one deadline.
    ruvo_wire::Deadline deadline = ruvo_wire::DeadlineIn(30000);
    if (!sendCommand(USB_FIND_DEV, &request, sizeof(request)) ||
        !ruvo_wire::ReceiveBefore(m_fd, &count, sizeof(count), deadline))
        return false;
    if (count > kMaxUsbDevices)
        return false; // more than the daemon's table holds: not the daemon
    for (int32_t i = 0; i < count; ++i) {
        USBFindDevRes device;
        if (!ruvo_wire::ReceiveBefore(m_fd, &device, sizeof(device), deadline))
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
    ClientCommandLine line{0, 1};
    if (argc > 2 && std::strcmp(argv[1], "--port") == 0) {
        line.port = std::atoi(argv[2]);
        line.first = 3;
    }
    return line;
}

bool ConnectToDaemon(ScanClient &client, int port, const char *program)
{
    if (port > 0) {
        if (client.connectTo(port))
            return true;
        std::fprintf(stderr, "%s: cannot reach the scan daemon on port %d\n", program, port);
        return false;
    }
    std::string error;
    if (client.connectLocal(error))
        return true;
    std::fprintf(stderr, "%s: cannot reach the scan daemon: %s\n", program, error.c_str());
    return false;
}

int ReportScanEnd(int32_t result, int pages, long long bytes, const std::string &baseName)
{
    std::printf("scan ended with result %d: %d page(s), %lld bytes\n", result, pages, bytes);
    for (int page = 0; page < pages; ++page)
        std::printf("%s_%d.tmp\n", baseName.c_str(), page);
    return result == ruvo_wire::RESULT_END_OF_SCAN ? 0 : 1;
}
