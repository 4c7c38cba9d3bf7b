#pragma once
// A client of the scan daemon's port-7000 protocol: fixed-size little-endian
// requests and responses, page data in files of the scan directory.

#include "scan_types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ScanClient {
public:
    ScanClient() = default;
    ~ScanClient();
    ScanClient(const ScanClient &) = delete;
    ScanClient &operator=(const ScanClient &) = delete;

    // Connects to the daemon on the loopback address. A receive buffer size
    // above 0 is set before connecting (a slow reader).
    bool connectTo(int port, int receiveBuffer = 0);
    // Connects to the daemon's local socket, refused unless the scan service
    // holds it; `error` says why it failed.
    bool connectLocal(std::string &error, int receiveBuffer = 0);
    void disconnect();
    int descriptor() const { return m_fd; }

    // Raw protocol: the command value, then the body as given.
    bool sendCommand(int32_t command, const void *body, size_t length);
    bool sendBytes(const void *bytes, size_t length);
    // Receives exactly `length` bytes within `timeoutMs` for all of them.
    bool receive(void *buffer, size_t length, int timeoutMs = 30000);

    // One call per command; false when the exchange itself failed.
    bool findDevices(uint16_t vendor, uint16_t product, bool compareProduct, int32_t &count,
                     std::vector<USBFindDevRes> &devices);
    bool plainCommand(int32_t command, int32_t devfd, int32_t &result);
    bool lock(int32_t devfd, const SettingInfo &settings, int32_t &result);
    bool scanStart(int32_t devfd, USBScanStartRes &response);
    bool nextRecord(USBScanRecordRes &record);
    bool abort(int32_t devfd, const std::string &baseName, int32_t &result);
    bool adfStatus(int32_t devfd, USBScanAdfStatusRes &response);
    bool properties(int32_t devfd, USBScanDevicePropertiesRes &response);
    bool reopen(int32_t devfd, uint16_t vendor, uint16_t product, const std::string &serial, USBReopenDevRes &response);
    bool deleteFile(const std::string &name);

private:
    int m_fd = -1;
};

// Settings of an ordinary multi-page colour scan from the feeder.
SettingInfo DefaultScanSettings();

// Text of a fixed-size field (stops at its NUL or its end).
std::string FieldText(const char *field, size_t size);

// ---- shared by the command-line clients ----

// "[--port N]" before the action: the daemon's TCP port (0 without --port: its
// local socket) and the index of the action in argv.
struct ClientCommandLine {
    int port;
    int first;
};
ClientCommandLine ParseClientCommandLine(int argc, char **argv);

// Connects to the daemon (local socket for port 0); when it cannot, says so on
// stderr in the name of `program`.
bool ConnectToDaemon(ScanClient &client, int port, const char *program);

// Prints how a scan ended and its page files "<baseName>_<page>.tmp". Returns the
// exit status: 0 when the scan ran to its end of data.
int ReportScanEnd(int32_t result, int pages, long long bytes, const std::string &baseName);
