#pragma once
// One scanner as the SANE entry points see it: found through the daemon or
// the configuration, opened over its own daemon connection, scanning page by
// page. Results are the daemon's result codes as plain ints (this header stays free
// of both sane.h and the daemon's wire records).

#include "scan_geometry.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ruvo_sane {

struct DeviceEntry {
    std::string name; // "usb:PPPP:SERIAL" (product id in hex) or "net:ADDRESS"
    bool usb = false;
    uint16_t productId = 0;
    std::string serial;
    std::string address;
    std::string model; // model code ("K402ADN"); empty for an unknown network scanner
};

// The USB scanners of the model table that the daemon finds, then the network
// scanners of ruvo.conf and of the printer list. Without a daemon: only the
// network scanners (which cannot be opened then either).
std::vector<DeviceEntry> DiscoverDevices();
// The device a name stands for, without searching; nullopt for a name of no
// known form.
std::optional<DeviceEntry> EntryFromName(const std::string &name);
// Where ruvo.conf is read from: the folders of SANE_CONFIG_DIR, then /etc/sane.d.
std::vector<std::string> ConfigFolders();
// How ruvo.conf says the daemon is reached (its local socket unless it names TCP).
struct DaemonRoute;
DaemonRoute ConfiguredDaemonRoute();

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

struct ScanSession;

class Scanner {
public:
    // Opens `entry`: connects to the daemon and asks the scanner what it can do.
    static int Open(const DeviceEntry &entry, std::unique_ptr<Scanner> &scanner);
    ~Scanner();
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    const DeviceEntry &entry() const { return m_entry; }
    const ScannerAbilities &abilities() const { return m_abilities; }

    int start(const ScanChoice &choice);
    int read(uint8_t *out, int maxLength, int *length);
    // Safe from a signal handler: it only marks the scan cancelled and wakes
    // the record reader, which aborts the scan; the next call of this
    // scanner (or one waiting now) ends it.
    void cancel();
    // The shape of the frame being read, when one is.
    std::optional<FrameShape> activeShape() const;

private:
    explicit Scanner(DeviceEntry entry);
    int connectAndFind();
    bool ensureConnected();
    int queryAbilities();
    int feederState(int32_t &state);
    int lock(const ScanChoice &choice);
    void unlock();
    int startScan(const ScanChoice &choice);
    int waitForPage(int page);
    int openPage(int page);
    void finishPage();
    int failScan(int status);
    void cancelNow();
    void endSession(bool graceful);
    void deletePageFile(ScanSession &session, int page);
    void readRecords(ScanSession *session);
    void waitAfterRecords(ScanSession *session);
    void stopReader(ScanSession &session);
    void abortScan(ScanSession *session, size_t leftover);
    int mapFeederFailure(int status);
    void dropLink();
    bool settleReader();

    DeviceEntry m_entry;
    ScannerAbilities m_abilities;
    struct Link;
    std::unique_ptr<Link> m_link;
    int32_t m_devfd = -1;
    unsigned m_boundary24 = 0;
    unsigned m_boundary8 = 0;

    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_cancelRequested{false};
    // cancel -> the record reader: one byte a cancel (non-blocking, lives
    // with the scanner, so a late signal never writes to a closed pipe).
    int m_wake[2] = {-1, -1};
    enum class Frame { Idle, Reading, PageDone, Cancelled, Failed };
    void setFrame(Frame frame);
    // Written by the call that runs (start, read, close); read by
    // sane_get_parameters and sane_control_option on any thread.
    mutable std::mutex m_stateMutex; // guards m_frame and m_session (the pointer)
    Frame m_frame = Frame::Idle;
    int m_failStatus = 0;
    std::unique_ptr<ScanSession> m_session;
};

} // namespace ruvo_sane
