// A network scanner through the daemon: every request names it by its
// address; a scan's record channel is the daemon's descriptor for its data
// connection, which the abort names again.

#include "scanner_transport.h"

#include "debug_log.h"
#include "scan_types.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace ruvo_sane {

namespace {

// A reported resolution, at most 9600 dpi; `fallback` when none is reported.
int reportedResolution(uint32_t dpi, int fallback)
{
    return dpi > 0 ? static_cast<int>(std::min<uint32_t>(dpi, 9600)) : fallback;
}

// A reported length in thousandths of an inch, in millimetres, at most
// `limit` thousandths; `fallback` when none is reported.
double reportedMm(uint32_t thou, uint32_t limit, double fallback)
{
    return thou > 0 ? std::min(thou, limit) * 0.0254 : fallback;
}

class NetworkTransport : public ScannerTransport {
public:
    explicit NetworkTransport(const DeviceEntry &entry) : m_entry(entry) {}

    int attach(ScannerLink &) override { return ruvo_wire::RESULT_GOOD; }
    void detach() override { m_dataChannel = -1; }
    void release(ScannerLink &) override {}
    int describe(ScannerLink &link, ScannerAbilities &abilities) override;
    int feederState(ScannerLink &link, int32_t &state) override;
    int startScan(ScannerLink &link, const ScanChoice &choice, std::string &baseName) override;
    bool sendAbort(ScannerLink &link, const std::string &baseName) override
    {
        TCPScanAbortReq request{};
        request.socket = socketRecord(m_dataChannel);
        std::snprintf(request.fileName, sizeof(request.fileName), "%s", baseName.c_str());
        return link.daemon.command(TCP_SCAN_ABORT, &request, sizeof(request));
    }
    void scanEnded(ScannerLink &) override {}
    DaemonRecord decodeRecord(const uint8_t *bytes) const override { return DecodeTcpRecord(bytes); }
    unsigned lineBoundary(bool) const override { return 0; }

private:
    RuvoSocket socketRecord(int32_t channel) const
    {
        RuvoSocket socket{};
        socket.tcpFromScanner = channel;
        std::snprintf(socket.szScannerIP, sizeof(socket.szScannerIP), "%s", m_entry.address.c_str());
        return socket;
    }

    DeviceEntry m_entry;
    int32_t m_dataChannel = -1;
};

int NetworkTransport::describe(ScannerLink &link, ScannerAbilities &abilities)
{
    TCPCommonReq request{socketRecord(-1)};
    TCPDevPropertiesRes properties{};
    if (!link.daemon.exchange(TCP_SCAN_DEVPROPERTIES, request, properties, kAnswerTimeoutMs)) {
        link.broken = true;
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (properties.result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "the network scanner at %s does not answer (%d)", m_entry.address.c_str(),
              static_cast<int>(properties.result));
        return ruvo_wire::RESULT_IO_ERROR;
    }
    const ScannerCapabilities &capabilities = properties.devPro;
    abilities.colour = capabilities.color;
    abilities.resolutionRange = true;
    int minimum = reportedResolution(capabilities.minres, 75);
    int maximum = reportedResolution(capabilities.maxres, 1200);
    abilities.minResolution = std::min(minimum, maximum);
    abilities.maxResolution = std::max(minimum, maximum);
    // A scanner that reports no area gets a Letter-wide, Legal-long one, and
    // none gets more than about 1.27 m by 2.54 m.
    double width = reportedMm(capabilities.maxWidth, 50000, kUsbWidthMm);
    double height = reportedMm(capabilities.maxHeight, 100000, kUsbFeederHeightMm);
    abilities.widthMm = width;
    abilities.flatbedHeightMm = height;
    abilities.feederHeightMm = height;
    int32_t state = 0;
    abilities.feeder = feederState(link, state) == ruvo_wire::RESULT_GOOD &&
                       (state == ADF_STATUS_EMPTY || state == ADF_STATUS_LOADED || state == ADF_STATUS_PAPER_JAM);
    return ruvo_wire::RESULT_GOOD;
}

int NetworkTransport::feederState(ScannerLink &link, int32_t &state)
{
    return FeederStateExchange<TCPADFStatusRes>(link, TCP_SCAN_ADFST, TCPCommonReq{socketRecord(-1)}, state);
}

int NetworkTransport::startScan(ScannerLink &link, const ScanChoice &choice, std::string &baseName)
{
    TCPScanStartReq request{};
    request.socket = socketRecord(-1);
    FillSettings(choice, request.info);
    auto response = std::make_unique<TCPScanStartRes>();
    if (!link.daemon.exchange(TCP_SCAN_START, request, *response, kAnswerTimeoutMs)) {
        link.broken = true;
        return ruvo_wire::RESULT_IO_ERROR;
    }
    m_dataChannel = response->socketDataFd;
    baseName = FieldText(response->fileName, sizeof(response->fileName));
    return response->result;
}

} // namespace

std::unique_ptr<ScannerTransport> MakeNetworkTransport(const DeviceEntry &entry)
{
    return std::make_unique<NetworkTransport>(entry);
}

} // namespace ruvo_sane
