#pragma once
// What differs between a USB scanner (reached through a handle the daemon
// opens for it, locked for a scan) and a network scanner (named by its
// address, its record channel held by the daemon): every request of a scan
// that names the scanner goes through this interface, so the scan itself is
// written once.

#include "daemon_link.h"
#include "discovery.h"
#include "page_tracker.h"
#include "scan_geometry.h"
#include "scan_types.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace ruvo_sane {

// The daemon connection a scanner's calls share with its record reader.
struct ScannerLink {
    DaemonLink daemon;
    // The stream lost its framing (set by the reader thread too): reconnect
    // before the next use.
    std::atomic<bool> broken{false};
    bool usable() const { return daemon.isOpen() && !broken; }
};

struct ScannerAbilities {
    bool flatbed = true;
    bool feeder = false;
    bool colour = true;
    bool resolutionRange = false; // network scanners: any dpi in [min, max]
    int minResolution = 75;
    int maxResolution = 1200;
    double widthMm = kUsbWidthMm;
    double flatbedHeightMm = kUsbFlatbedHeightMm;
    double feederHeightMm = kUsbFeederHeightMm;
};

// A failed exchange marks the link broken; results are the daemon's codes.
class ScannerTransport {
public:
    virtual ~ScannerTransport() = default;
    // After each connection: makes the scanner usable on it. On failure the
    // caller drops the connection.
    virtual int attach(ScannerLink &link) = 0;
    // The connection was dropped: what the daemon handed out on it is gone.
    virtual void detach() = 0;
    // The scanner is closed for good: gives the daemon its handle back.
    virtual void release(ScannerLink &link) = 0;
    // Fills in what the scanner can do (once, after the first attach).
    virtual int describe(ScannerLink &link, ScannerAbilities &abilities) = 0;
    // The feeder's state (ADFStatus), 0 when the scanner gives none.
    virtual int feederState(ScannerLink &link, int32_t &state) = 0;
    // Starts a scan; on GOOD `baseName` is the daemon's name for its pages.
    virtual int startScan(ScannerLink &link, const ScanChoice &choice, std::string &baseName) = 0;
    // Sends the abort of the running scan; its answer comes in the record stream.
    virtual bool sendAbort(ScannerLink &link, const std::string &baseName) = 0;
    // The scan's records ended, or its abort was answered.
    virtual void scanEnded(ScannerLink &link) = 0;
    virtual DaemonRecord decodeRecord(const uint8_t *bytes) const = 0;
    // Raw lines come padded to a multiple of this many bytes (0: not padded).
    virtual unsigned lineBoundary(bool colour) const = 0;
};

std::unique_ptr<ScannerTransport> MakeUsbTransport(const DeviceEntry &entry);
std::unique_ptr<ScannerTransport> MakeNetworkTransport(const DeviceEntry &entry);

// Result codes the daemon may answer; anything else (the device layer's
// negative values included) is an I/O failure.
int KnownResult(int32_t result);

// Asks for the feeder's state with `request`; the answer has a result and
// the state (`st`).
template <typename Answer, typename Request>
int FeederStateExchange(ScannerLink &link, int32_t command, const Request &request, int32_t &state)
{
    state = 0;
    Answer response{};
    if (!link.daemon.exchange(command, request, response, kAnswerTimeoutMs)) {
        link.broken = true;
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (response.result == ruvo_wire::RESULT_GOOD)
        state = response.st;
    return KnownResult(response.result);
}

} // namespace ruvo_sane
