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

constexpr uint32_t kMaxResolution = 9600;
// Thousandths of an inch: about 1.27 m by 2.54 m at the most.
constexpr uint32_t kMaxWidthThou = 50000;
constexpr uint32_t kMaxHeightThou = 100000;
constexpr double kMmPerThou = 0.0254;

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
    int minimum = capabilities.minres > 0 ? static_cast<int>(std::min(capabilities.minres, kMaxResolution)) : 75;
    int maximum = capabilities.maxres > 0 ? static_cast<int>(std::min(capabilities.maxres, kMaxResolution)) : 1200;
    abilities.minResolution = std::min(minimum, maximum);
    abilities.maxResolution = std::max(minimum, maximum);
    // A scanner that reports no area gets a Letter-wide, Legal-long one.
    double width = capabilities.maxWidth > 0 ? std::min(capabilities.maxWidth, kMaxWidthThou) * kMmPerThou : kUsbWidthMm;
    double height = capabilities.maxHeight > 0 ? std::min(capabilities.maxHeight, kMaxHeightThou) * kMmPerThou
                                               : kUsbFeederHeightMm;
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
