// A USB scanner through the daemon: found by product id and serial number
// on each connection, opened by the handle the daemon gives it there, and
// locked with the scan's settings for the length of a scan.

#include "scanner_transport.h"

#include "debug_log.h"
#include "scan_types.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace ruvo_sane {

namespace {

class UsbTransport : public ScannerTransport {
public:
    explicit UsbTransport(const DeviceEntry &entry) : m_entry(entry) {}

    int attach(ScannerLink &link) override;
    void detach() override { m_devfd = -1; }
    void release(ScannerLink &link) override;
    int describe(ScannerLink &, ScannerAbilities &abilities) override
    {
        abilities.flatbed = (m_sources & 0x01) != 0 || (m_sources & 0x04) == 0;
        abilities.feeder = (m_sources & 0x04) != 0;
        return ruvo_wire::RESULT_GOOD;
    }
    int feederState(ScannerLink &link, int32_t &state) override;
    int startScan(ScannerLink &link, const ScanChoice &choice, std::string &baseName) override;
    bool sendAbort(ScannerLink &link, const std::string &baseName) override
    {
        USBScanAbortReq request{};
        request.devfd = m_devfd;
        std::snprintf(request.fileName, sizeof(request.fileName), "%s", baseName.c_str());
        return link.daemon.command(USB_SCAN_ABORT, &request, sizeof(request));
    }
    void scanEnded(ScannerLink &link) override { unlock(link); }
    DaemonRecord decodeRecord(const uint8_t *bytes) const override { return DecodeUsbRecord(bytes); }
    unsigned lineBoundary(bool colour) const override { return colour ? m_boundary24 : m_boundary8; }

private:
    int findAndOpen(ScannerLink &link);
    int lock(ScannerLink &link, const ScanChoice &choice);
    void unlock(ScannerLink &link);

    DeviceEntry m_entry;
    int32_t m_devfd = -1;
    unsigned m_boundary24 = 0;
    unsigned m_boundary8 = 0;
    uint8_t m_sources = 0;
};

// Keeps the handle of the scanner named by the entry and gives the daemon
// back those of the other scanners its search opened.
int UsbTransport::findAndOpen(ScannerLink &link)
{
    std::vector<USBFindDevRes> found;
    if (!FindUsbScanners(link.daemon, m_entry.productId, found)) {
        Debug(kDebugError, "the scan daemon did not answer the USB scanner search");
        return ruvo_wire::RESULT_IO_ERROR;
    }
    for (const USBFindDevRes &device : found) {
        if (m_devfd < 0 && (m_entry.serial.empty() || CleanSerial(device) == m_entry.serial)) {
            m_devfd = device.fd;
            continue;
        }
        USBCommonReq request{device.fd};
        int32_t result = 0;
        if (!link.daemon.exchange(USB_CLOSE_DEV, request, result, kAnswerTimeoutMs))
            return ruvo_wire::RESULT_IO_ERROR;
    }
    if (m_devfd < 0) {
        Debug(kDebugError, "the scan daemon finds no scanner %s", m_entry.name.c_str());
        return ruvo_wire::RESULT_INVALID;
    }
    USBCommonReq request{m_devfd};
    int32_t result = ruvo_wire::RESULT_IO_ERROR;
    if (!link.daemon.exchange(USB_OPEN_DEV, request, result, kAnswerTimeoutMs) || result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "the scan daemon cannot open %s (%d)", m_entry.name.c_str(), static_cast<int>(result));
        return ruvo_wire::RESULT_IO_ERROR;
    }
    return ruvo_wire::RESULT_GOOD;
}

int UsbTransport::attach(ScannerLink &link)
{
    m_devfd = -1;
    int status = findAndOpen(link);
    if (status != ruvo_wire::RESULT_GOOD)
        return status;
    USBCommonReq request{m_devfd};
    USBScanDevicePropertiesRes properties{};
    if (!link.daemon.exchange(USB_SCAN_DEVPROPERTIES, request, properties, kAnswerTimeoutMs))
        return ruvo_wire::RESULT_IO_ERROR;
    if (properties.result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "%s does not report its properties (%d)", m_entry.name.c_str(),
              static_cast<int>(properties.result));
        return ruvo_wire::RESULT_IO_ERROR;
    }
    m_boundary24 = properties.st.boundery24;
    m_boundary8 = properties.st.boundery8;
    m_sources = properties.st.sources;
    return ruvo_wire::RESULT_GOOD;
}

void UsbTransport::release(ScannerLink &link)
{
    if (!link.usable() || m_devfd < 0)
        return;
    USBCommonReq request{m_devfd};
    int32_t result = 0;
    if (link.daemon.command(USB_CLOSE_DEV, &request, sizeof(request)))
        link.daemon.receive(&result, sizeof(result), kAnswerTimeoutMs);
}

int UsbTransport::feederState(ScannerLink &link, int32_t &state)
{
    return FeederStateExchange<USBScanAdfStatusRes>(link, USB_SCAN_ADFSTATUS, USBCommonReq{m_devfd}, state);
}

int UsbTransport::lock(ScannerLink &link, const ScanChoice &choice)
{
    USBScanLockReq request{};
    request.devfd = m_devfd;
    FillSettings(choice, request.info);
    int32_t result = ruvo_wire::RESULT_IO_ERROR;
    if (!link.daemon.exchange(USB_SCAN_LOCK, request, result, kAnswerTimeoutMs)) {
        link.broken = true;
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (result == ruvo_wire::RESULT_BUSY) {
        Debug(kDebugError, "%s is busy: another program is scanning with it", m_entry.name.c_str());
        return ruvo_wire::RESULT_BUSY;
    }
    if (result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "%s refused the scan settings (%d)", m_entry.name.c_str(), static_cast<int>(result));
        return ruvo_wire::RESULT_IO_ERROR;
    }
    return ruvo_wire::RESULT_GOOD;
}

void UsbTransport::unlock(ScannerLink &link)
{
    USBCommonReq request{m_devfd};
    int32_t result = 0;
    if (!link.daemon.exchange(USB_SCAN_UNLOCK, request, result, kAnswerTimeoutMs))
        link.broken = true;
}

// The lock carries the settings; the start then names only the handle.
int UsbTransport::startScan(ScannerLink &link, const ScanChoice &choice, std::string &baseName)
{
    int status = lock(link, choice);
    if (status != ruvo_wire::RESULT_GOOD)
        return status;
    USBCommonReq request{m_devfd};
    auto response = std::make_unique<USBScanStartRes>();
    if (!link.daemon.exchange(USB_SCAN_START, request, *response, kAnswerTimeoutMs)) {
        link.broken = true;
        return ruvo_wire::RESULT_IO_ERROR;
    }
    baseName = FieldText(response->fileName, sizeof(response->fileName));
    if (response->result != ruvo_wire::RESULT_GOOD)
        unlock(link);
    return response->result;
}

} // namespace

std::unique_ptr<ScannerTransport> MakeUsbTransport(const DeviceEntry &entry)
{
    return std::make_unique<UsbTransport>(entry);
}

} // namespace ruvo_sane
