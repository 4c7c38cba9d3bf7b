#include "scanner.h"

#include "backend_config.h"
#include "daemon_link.h"
#include "debug_log.h"
#include "model_rows.h"
#include "page_decoder.h"
#include "page_tracker.h"
#include "product_paths.h"
#include "scan_types.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ruvo_sane {

namespace {

using Clock = std::chrono::steady_clock;

// A scan that brings no record for this long has stopped: the daemon gives a
// USB device ten reads of 30 s before it calls the scan failed.
constexpr auto kStallLimit = std::chrono::seconds(330);
// How long a finished page waits for the daemon's end-of-scan record before
// the scan is aborted instead.
constexpr auto kNaturalEndLimit = std::chrono::seconds(30);
constexpr size_t kFileReadChunk = 64 * 1024;
constexpr int kSyncTimeoutMs = 10000;
constexpr int kMaxFoundDevices = kMaxUsbDevices;

std::string fieldText(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

// Result codes the daemon may answer; anything else (the device layer's
// negative values included) is an I/O failure.
int saneCode(int32_t result)
{
    switch (result) {
    case ruvo_wire::RESULT_GOOD:
    case ruvo_wire::RESULT_CANCELLED:
    case ruvo_wire::RESULT_BUSY:
    case ruvo_wire::RESULT_INVALID:
    case ruvo_wire::RESULT_END_OF_SCAN:
    case ruvo_wire::RESULT_JAMMED:
    case ruvo_wire::RESULT_NO_DOCUMENTS:
    case ruvo_wire::RESULT_COVER_OPEN:
    case ruvo_wire::RESULT_IO_ERROR:
    case ruvo_wire::RESULT_NO_MEMORY:
    case ruvo_wire::RESULT_ACCESS_DENIED: return result;
    default: return ruvo_wire::RESULT_IO_ERROR;
    }
}

std::string readTextFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string text(kMaxConfigBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

RuvoSocket socketRecord(const std::string &address, int32_t channel)
{
    RuvoSocket socket{};
    socket.tcpFromScanner = channel;
    std::snprintf(socket.szScannerIP, sizeof(socket.szScannerIP), "%s", address.c_str());
    return socket;
}

} // namespace

// Marks a call of the scanner as running. A cancel from another thread that
// found no call running does its work first; the call waits for it.
class BusyGuard {
public:
    explicit BusyGuard(std::atomic<bool> &busy) : m_busy(busy)
    {
        while (m_busy.exchange(true))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~BusyGuard() { m_busy = false; }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    std::atomic<bool> &m_busy;
};

// ---- the connection ----
struct Scanner::Link {
    DaemonLink daemon;
    // The stream lost its framing (set by the reader thread too): reconnect
    // before the next use.
    std::atomic<bool> broken{false};
};

// ---- one scan: the record stream, the pages, the reader thread ----
struct ScanSession {
    ScanChoice choice;
    FrameShape shape;
    std::string baseName;
    int32_t dataChannel = -1; // network: the record channel's descriptor in the daemon

    std::mutex mutex;                // guards tracker and lastRecord
    std::condition_variable changed; // the tracker moved on
    PageTracker tracker;
    Clock::time_point lastRecord = Clock::now();

    std::thread reader;
    std::atomic<bool> abortRequested{false};
    std::atomic<bool> stopRequested{false}; // the session ends: the reader returns
    // The page read is a whole flatbed page: a cancel lets the scan end by itself.
    std::atomic<bool> wholeFlatbedPage{false};
    std::atomic<bool> readerDone{false}; // the record stream has ended
    std::atomic<bool> aborted{false}; // the daemon removed the page files with the abort

    int page = -1;
    UniqueFd file;
    uint64_t fileOffset = 0;
    std::unique_ptr<PageDecoder> decoder;
    std::vector<bool> deleted; // guarded by mutex
};

// ---- finding devices ----

std::vector<std::string> ConfigFolders()
{
    std::vector<std::string> folders;
    const char *variable = std::getenv("SANE_CONFIG_DIR");
    bool withDefault = !variable || *variable == '\0';
    if (variable) {
        std::string text = variable;
        size_t position = 0;
        while (position <= text.size()) {
            size_t colon = text.find(':', position);
            if (colon == std::string::npos)
                colon = text.size();
            if (colon > position)
                folders.push_back(text.substr(position, colon - position));
            position = colon + 1;
        }
        // SANE's rule: a trailing colon adds the default folder.
        if (!text.empty() && text.back() == ':')
            withDefault = true;
    }
    if (withDefault)
        folders.push_back("/etc/sane.d");
    return folders;
}

namespace {

// The first ruvo.conf of the configuration folders; empty when there is none.
std::string configPath()
{
    for (const std::string &folder : ConfigFolders()) {
        std::string path = folder + "/ruvo.conf";
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            return path;
    }
    return {};
}

std::string configText()
{
    const std::string path = configPath();
    return path.empty() ? std::string() : readTextFile(path);
}

std::vector<NetworkScannerEntry> configuredScanners()
{
    std::vector<NetworkScannerEntry> configured;
    const std::string path = configPath();
    if (!path.empty()) {
        std::vector<RefusedConfigLine> refused;
        configured = ParseBackendConfig(readTextFile(path), &refused);
        ReportRefusedConfigLines(path, refused);
    }
    std::string listPath = std::string(ruvo_paths::kProductRoot) + ruvo_paths::kCfgSubDir +
                           ruvo_paths::kPrinterListFileName;
    return MergeScanners(configured, NetworkPrintersOfList(readTextFile(listPath)));
}

DeviceEntry networkEntry(const NetworkScannerEntry &scanner)
{
    DeviceEntry entry;
    entry.name = "net:" + scanner.address;
    entry.address = scanner.address;
    entry.model = scanner.model;
    return entry;
}

DeviceEntry usbEntry(uint16_t productId, const std::string &serial, const std::string &model)
{
    DeviceEntry entry;
    char name[64];
    std::snprintf(name, sizeof(name), "usb:%04x:", productId);
    entry.name = name + serial;
    entry.usb = true;
    entry.productId = productId;
    entry.serial = serial;
    entry.model = model;
    return entry;
}

// Asks the daemon for the scanners of `productId` (0: every product of the
// maker). The handles it opens for them stay open in its connection process.
bool findUsb(DaemonLink &link, uint16_t productId, std::vector<USBFindDevRes> &found)
{
    USBFindDevReq request{};
    request.vid = ruvo_models::kVendorId;
    request.pid = productId;
    request.compareWithPID = productId != 0;
    int32_t count = 0;
    // The count and every record are one answer: one deadline for all of it.
    ruvo_wire::Deadline deadline = ruvo_wire::DeadlineIn(kAnswerTimeoutMs);
    if (!link.command(USB_FIND_DEV, &request, sizeof(request)) || !link.receiveBefore(&count, sizeof(count), deadline))
        return false;
    if (count < 0 || count > kMaxFoundDevices)
        return count < 0; // a failed search finds nothing; more than the table holds is not a daemon
    auto record = std::make_unique<USBFindDevRes>();
    for (int32_t i = 0; i < count; ++i) {
        if (!link.receiveBefore(record.get(), sizeof(*record), deadline))
            return false;
        found.push_back(*record);
    }
    return true;
}

// A serial number fit for a device name: printable ASCII.
std::string cleanSerial(const USBFindDevRes &device)
{
    std::string serial = fieldText(device.SerialNumber, sizeof(device.SerialNumber));
    serial.erase(std::remove_if(serial.begin(), serial.end(), [](char c) { return c <= ' ' || c > '~'; }),
                 serial.end());
    return serial.substr(0, 64);
}

} // namespace

DaemonRoute ConfiguredDaemonRoute()
{
    return DaemonRoute{DaemonTcpPortOfConfig(configText())};
}

std::vector<DeviceEntry> DiscoverDevices()
{
    std::vector<DeviceEntry> devices;
    DaemonLink link;
    std::string error;
    DaemonRoute route = ConfiguredDaemonRoute();
    if (link.connect(route, error)) {
        std::vector<USBFindDevRes> found;
        if (!findUsb(link, 0, found))
            Debug(kDebugError, "the scan daemon did not answer the USB scanner search");
        for (const USBFindDevRes &device : found) {
            const ruvo_models::ModelRow *row =
                ruvo_models::FindByUsbIds(static_cast<uint16_t>(device.vid), static_cast<uint16_t>(device.pid));
            if (row)
                devices.push_back(usbEntry(row->productId, cleanSerial(device), row->code));
        }
    } else {
        Debug(kDebugError, "cannot reach the scan daemon on %s (%s); is RuvoScanDaemon running?",
              route.describe().c_str(), error.c_str());
    }
    for (const NetworkScannerEntry &scanner : configuredScanners())
        devices.push_back(networkEntry(scanner));
    return devices;
}

std::optional<DeviceEntry> EntryFromName(const std::string &name)
{
    if (name.rfind("net:", 0) == 0) {
        std::string address = name.substr(4);
        if (!IsDottedIPv4(address))
            return std::nullopt;
        // Only a scanner of the configuration or the printer list: a name
        // from a remote front end must not send the daemon anywhere else.
        for (const NetworkScannerEntry &scanner : configuredScanners())
            if (scanner.address == address)
                return networkEntry(scanner);
        return std::nullopt;
    }
    if (name.rfind("usb:", 0) == 0 && name.size() >= 9 && name[8] == ':') {
        char *end = nullptr;
        std::string hex = name.substr(4, 4);
        unsigned long productId = std::strtoul(hex.c_str(), &end, 16);
        const ruvo_models::ModelRow *row =
            ruvo_models::FindByUsbIds(ruvo_models::kVendorId, static_cast<uint16_t>(productId));
        if (!end || *end != '\0' || !row)
            return std::nullopt;
        return usbEntry(row->productId, name.substr(9), row->code);
    }
    return std::nullopt;
}

// ---- opening ----

Scanner::Scanner(DeviceEntry entry) : m_entry(std::move(entry)), m_link(new Link)
{
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        m_wake[0] = m_wake[1] = -1;
}

Scanner::~Scanner()
{
    m_cancelRequested = false;
    cancelNow();
    if (m_entry.usb && m_link->daemon.isOpen() && !m_link->broken && m_devfd >= 0) {
        USBCommonReq request{m_devfd};
        int32_t result = 0;
        if (m_link->daemon.command(USB_CLOSE_DEV, &request, sizeof(request)))
            m_link->daemon.receive(&result, sizeof(result), kAnswerTimeoutMs);
    }
    for (int fd : m_wake)
        if (fd >= 0)
            ::close(fd);
}

int Scanner::Open(const DeviceEntry &entry, std::unique_ptr<Scanner> &scanner)
{
    std::unique_ptr<Scanner> opened(new Scanner(entry));
    int status = opened->connectAndFind();
    if (status == ruvo_wire::RESULT_GOOD)
        status = opened->queryAbilities();
    if (status != ruvo_wire::RESULT_GOOD)
        return status;
    scanner = std::move(opened);
    return ruvo_wire::RESULT_GOOD;
}

void Scanner::dropLink()
{
    m_link->daemon.close();
    m_link->broken = false;
    m_devfd = -1;
}

// Connects to the daemon and, for a USB scanner, finds it there by its
// product id and serial number and opens it.
int Scanner::connectAndFind()
{
    dropLink();
    std::string error;
    DaemonRoute route = ConfiguredDaemonRoute();
    if (!m_link->daemon.connect(route, error)) {
        Debug(kDebugError, "cannot reach the scan daemon on %s (%s); is RuvoScanDaemon running?",
              route.describe().c_str(), error.c_str());
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (!m_entry.usb)
        return ruvo_wire::RESULT_GOOD;
    std::vector<USBFindDevRes> found;
    if (!findUsb(m_link->daemon, m_entry.productId, found)) {
        Debug(kDebugError, "the scan daemon did not answer the USB scanner search");
        dropLink();
        return ruvo_wire::RESULT_IO_ERROR;
    }
    for (const USBFindDevRes &device : found) {
        bool wanted = m_devfd < 0 && (m_entry.serial.empty() || cleanSerial(device) == m_entry.serial);
        if (wanted) {
            m_devfd = device.fd;
            continue;
        }
        // Handles of the other scanners the search opened are not needed here.
        USBCommonReq request{device.fd};
        int32_t result = 0;
        if (!m_link->daemon.exchange(USB_CLOSE_DEV, request, result, kAnswerTimeoutMs)) {
            dropLink();
            return ruvo_wire::RESULT_IO_ERROR;
        }
    }
    if (m_devfd < 0) {
        Debug(kDebugError, "the scan daemon finds no scanner %s", m_entry.name.c_str());
        dropLink();
        return ruvo_wire::RESULT_INVALID;
    }
    USBCommonReq request{m_devfd};
    int32_t result = ruvo_wire::RESULT_IO_ERROR;
    if (!m_link->daemon.exchange(USB_OPEN_DEV, request, result, kAnswerTimeoutMs) || result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "the scan daemon cannot open %s (%d)", m_entry.name.c_str(), static_cast<int>(result));
        dropLink();
        return ruvo_wire::RESULT_IO_ERROR;
    }
    USBScanDevicePropertiesRes properties{};
    if (!m_link->daemon.exchange(USB_SCAN_DEVPROPERTIES, request, properties, kAnswerTimeoutMs)) {
        dropLink();
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (properties.result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "%s does not report its properties (%d)", m_entry.name.c_str(),
              static_cast<int>(properties.result));
        return ruvo_wire::RESULT_IO_ERROR;
    }
    m_boundary24 = properties.st.boundery24;
    m_boundary8 = properties.st.boundery8;
    uint8_t sources = properties.st.sources;
    m_abilities.flatbed = (sources & 0x01) != 0 || (sources & 0x04) == 0;
    m_abilities.feeder = (sources & 0x04) != 0;
    return ruvo_wire::RESULT_GOOD;
}

// A connection the daemon closed (it closes idle ones) is opened again, and a
// USB scanner found again on it, before it is used. Its end may still be on
// the way when the next call comes, so the connection is also asked for an
// answer first: a request naming a handle it never opened is refused at once,
// without touching a device.
bool Scanner::ensureConnected()
{
    if (m_link->daemon.isOpen() && !m_link->broken && !m_link->daemon.closedByPeer()) {
        USBCommonReq request{-1};
        int32_t result = 0;
        if (m_link->daemon.exchange(USB_SCAN_UNLOCK, request, result, kSyncTimeoutMs))
            return true;
    }
    Debug(kDebugInfo, "reconnecting to the scan daemon for %s", m_entry.name.c_str());
    return connectAndFind() == ruvo_wire::RESULT_GOOD;
}

int Scanner::queryAbilities()
{
    if (m_entry.usb)
        return ruvo_wire::RESULT_GOOD;
    TCPCommonReq request{socketRecord(m_entry.address, -1)};
    TCPDevPropertiesRes properties{};
    if (!m_link->daemon.exchange(TCP_SCAN_DEVPROPERTIES, request, properties, kAnswerTimeoutMs)) {
        dropLink();
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (properties.result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "the network scanner at %s does not answer (%d)", m_entry.address.c_str(),
              static_cast<int>(properties.result));
        return ruvo_wire::RESULT_IO_ERROR;
    }
    const ScannerCapabilities &capabilities = properties.devPro;
    m_abilities.colour = capabilities.color;
    m_abilities.resolutionRange = true;
    int minimum = capabilities.minres > 0 ? static_cast<int>(std::min<uint32_t>(capabilities.minres, 9600)) : 75;
    int maximum = capabilities.maxres > 0 ? static_cast<int>(std::min<uint32_t>(capabilities.maxres, 9600)) : 1200;
    m_abilities.minResolution = std::min(minimum, maximum);
    m_abilities.maxResolution = std::max(minimum, maximum);
    // Thousandths of an inch; a scanner that reports none gets a Letter-wide,
    // Legal-long area.
    double width = capabilities.maxWidth > 0 ? std::min<uint32_t>(capabilities.maxWidth, 50000) * 0.0254 : kUsbWidthMm;
    double height =
        capabilities.maxHeight > 0 ? std::min<uint32_t>(capabilities.maxHeight, 100000) * 0.0254 : kUsbFeederHeightMm;
    m_abilities.widthMm = width;
    m_abilities.flatbedHeightMm = height;
    m_abilities.feederHeightMm = height;
    int32_t state = 0;
    m_abilities.feeder = feederState(state) == ruvo_wire::RESULT_GOOD &&
                         (state == ADF_STATUS_EMPTY || state == ADF_STATUS_LOADED || state == ADF_STATUS_PAPER_JAM);
    return ruvo_wire::RESULT_GOOD;
}

// The feeder's state (ADFStatus), or 0 when the scanner gives none.
int Scanner::feederState(int32_t &state)
{
    state = 0;
    if (m_entry.usb) {
        USBCommonReq request{m_devfd};
        USBScanAdfStatusRes response{};
        if (!m_link->daemon.exchange(USB_SCAN_ADFSTATUS, request, response, kAnswerTimeoutMs)) {
            m_link->broken = true;
            return ruvo_wire::RESULT_IO_ERROR;
        }
        if (response.result == ruvo_wire::RESULT_GOOD)
            state = response.st;
        return saneCode(response.result);
    }
    TCPCommonReq request{socketRecord(m_entry.address, -1)};
    TCPADFStatusRes response{};
    if (!m_link->daemon.exchange(TCP_SCAN_ADFST, request, response, kAnswerTimeoutMs)) {
        m_link->broken = true;
        return ruvo_wire::RESULT_IO_ERROR;
    }
    if (response.result == ruvo_wire::RESULT_GOOD)
        state = response.st;
    return saneCode(response.result);
}

// A feeder scan that failed may have failed on a jammed sheet: the feeder says so.
int Scanner::mapFeederFailure(int status)
{
    if (!m_session || !m_session->choice.feeder || status == ruvo_wire::RESULT_CANCELLED || status == ruvo_wire::RESULT_JAMMED)
        return status;
    // The reader still owns the connection until it has finished.
    if (!settleReader())
        return status;
    if (!m_link->daemon.isOpen() || m_link->broken)
        return status;
    int32_t state = 0;
    if (feederState(state) == ruvo_wire::RESULT_GOOD && state == ADF_STATUS_PAPER_JAM)
        return ruvo_wire::RESULT_JAMMED;
    return status;
}

// ---- scanning ----

int Scanner::lock(const ScanChoice &choice)
{
    USBScanLockReq request{};
    request.devfd = m_devfd;
    FillSettings(choice, request.info);
    int32_t result = ruvo_wire::RESULT_IO_ERROR;
    if (!m_link->daemon.exchange(USB_SCAN_LOCK, request, result, kAnswerTimeoutMs)) {
        m_link->broken = true;
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

void Scanner::unlock()
{
    USBCommonReq request{m_devfd};
    int32_t result = 0;
    if (!m_link->daemon.exchange(USB_SCAN_UNLOCK, request, result, kAnswerTimeoutMs))
        m_link->broken = true;
}

int Scanner::start(const ScanChoice &choice)
{
    BusyGuard busy(m_busy);
    if (m_cancelRequested.exchange(false))
        cancelNow();

    // The next sheet of a feeder scan that is still running or has pages left.
    if (m_session && m_session->choice.feeder && m_frame == Frame::PageDone && !m_session->aborted) {
        int status = waitForPage(m_session->page + 1);
        if (status == ruvo_wire::RESULT_GOOD)
            return openPage(m_session->page + 1);
        endSession(true);
        setFrame(Frame::Idle);
        return status == ruvo_wire::RESULT_END_OF_SCAN ? ruvo_wire::RESULT_NO_DOCUMENTS : status;
    }
    endSession(true);
    setFrame(Frame::Idle);

    if (ToPixels(choice).width == 0)
        return ruvo_wire::RESULT_INVALID;
    if (!ensureConnected())
        return ruvo_wire::RESULT_IO_ERROR;
    if (choice.feeder) {
        int32_t state = 0;
        if (feederState(state) == ruvo_wire::RESULT_GOOD) {
            if (state == ADF_STATUS_EMPTY) {
                Debug(kDebugInfo, "the feeder of %s is empty", m_entry.name.c_str());
                return ruvo_wire::RESULT_NO_DOCUMENTS;
            }
            if (state == ADF_STATUS_PAPER_JAM) {
                Debug(kDebugError, "the feeder of %s is jammed", m_entry.name.c_str());
                return ruvo_wire::RESULT_JAMMED;
            }
        }
        if (m_link->broken && !ensureConnected())
            return ruvo_wire::RESULT_IO_ERROR;
    }
    int status = startScan(choice);
    if (status != ruvo_wire::RESULT_GOOD)
        return status;
    status = waitForPage(0);
    if (status == ruvo_wire::RESULT_GOOD)
        return openPage(0);
    if (status == ruvo_wire::RESULT_END_OF_SCAN)
        status = choice.feeder ? ruvo_wire::RESULT_NO_DOCUMENTS : ruvo_wire::RESULT_IO_ERROR;
    endSession(true);
    return status;
}

int Scanner::startScan(const ScanChoice &choice)
{
    auto session = std::make_unique<ScanSession>();
    session->choice = choice;
    session->shape = ShapeOf(choice);
    if (m_wake[0] < 0)
        return ruvo_wire::RESULT_NO_MEMORY;
    int32_t result = ruvo_wire::RESULT_IO_ERROR;
    std::string baseName;
    if (m_entry.usb) {
        int status = lock(choice);
        if (status != ruvo_wire::RESULT_GOOD)
            return status;
        USBCommonReq request{m_devfd};
        auto response = std::make_unique<USBScanStartRes>();
        if (!m_link->daemon.exchange(USB_SCAN_START, request, *response, kAnswerTimeoutMs)) {
            m_link->broken = true;
            return ruvo_wire::RESULT_IO_ERROR;
        }
        result = response->result;
        baseName = fieldText(response->fileName, sizeof(response->fileName));
        if (result != ruvo_wire::RESULT_GOOD)
            unlock();
    } else {
        TCPScanStartReq request{};
        request.socket = socketRecord(m_entry.address, -1);
        FillSettings(choice, request.info);
        auto response = std::make_unique<TCPScanStartRes>();
        if (!m_link->daemon.exchange(TCP_SCAN_START, request, *response, kAnswerTimeoutMs)) {
            m_link->broken = true;
            return ruvo_wire::RESULT_IO_ERROR;
        }
        result = response->result;
        session->dataChannel = response->socketDataFd;
        baseName = fieldText(response->fileName, sizeof(response->fileName));
    }
    if (result != ruvo_wire::RESULT_GOOD) {
        Debug(kDebugError, "%s did not start the scan (%d)", m_entry.name.c_str(), static_cast<int>(result));
        int status = saneCode(result);
        return status == ruvo_wire::RESULT_END_OF_SCAN || status == ruvo_wire::RESULT_GOOD ? ruvo_wire::RESULT_IO_ERROR : status;
    }
    session->baseName = baseName;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_session = std::move(session);
    }
    ScanSession *running = m_session.get();
    if (!ruvo_wire::IsDaemonScanBaseName(baseName)) {
        // Not a page file name of the scan directory: nothing of it is read.
        Debug(kDebugError, "the scan daemon named an unexpected page file %s", baseName.c_str());
        running->abortRequested = true;
    }
    running->reader = std::thread([this, running] { readRecords(running); });
    return ruvo_wire::RESULT_GOOD;
}

// Waits until page `page` has begun (GOOD), or the scan has ended without it
// (its end: EOF when it ended well).
int Scanner::waitForPage(int page)
{
    ScanSession &session = *m_session;
    std::unique_lock<std::mutex> lock(session.mutex);
    while (true) {
        if (session.tracker.pagesBegun() > page)
            return ruvo_wire::RESULT_GOOD;
        if (session.tracker.finished()) {
            int status = saneCode(session.tracker.finalResult());
            lock.unlock();
            return status == ruvo_wire::RESULT_END_OF_SCAN ? status : mapFeederFailure(status);
        }
        if (m_cancelRequested || Clock::now() - session.lastRecord > kStallLimit) {
            lock.unlock();
            bool cancelled = m_cancelRequested.exchange(false);
            endSession(false);
            return cancelled ? ruvo_wire::RESULT_CANCELLED : ruvo_wire::RESULT_IO_ERROR;
        }
        session.changed.wait_for(lock, std::chrono::milliseconds(200));
    }
}

int Scanner::openPage(int page)
{
    ScanSession &session = *m_session;
    std::string path = ruvo_wire::PageFileName(session.baseName, page);
    session.file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (session.file.get() < 0) {
        Debug(kDebugError, "cannot read the page file %s (%s)", path.c_str(), std::strerror(errno));
        endSession(false);
        return ruvo_wire::RESULT_IO_ERROR;
    }
    session.page = page;
    session.fileOffset = 0;
    const FrameShape &shape = session.shape;
    if (UsesJpeg(session.choice)) {
        // A feeder page is at most one sheet long.
        int64_t sheetLines = static_cast<int64_t>(
            std::ceil(m_abilities.feederHeightMm * session.choice.resolution / 25.4));
        session.decoder = MakeJpegDecoder(shape.pixelsPerLine, shape.colour ? 3 : 1, shape.lines, sheetLines);
    } else {
        unsigned boundary = m_entry.usb ? (shape.colour ? m_boundary24 : m_boundary8) : 0;
        session.decoder = MakeRawDecoder(shape.bytesPerLine, PaddedLineBytes(shape.bytesPerLine, boundary), shape.lines);
    }
    setFrame(Frame::Reading);
    Debug(kDebugInfo, "reading page %d of %s", page, session.baseName.c_str());
    return ruvo_wire::RESULT_GOOD;
}

void Scanner::deletePageFile(ScanSession &session, int page)
{
    if (page < 0)
        return;
    {
        // The reader deletes the unread pages of a cancelled scan; the call
        // that runs deletes the pages it has read.
        std::lock_guard<std::mutex> lock(session.mutex);
        if (session.deleted.size() <= static_cast<size_t>(page))
            session.deleted.resize(static_cast<size_t>(page) + 1, false);
        if (session.deleted[static_cast<size_t>(page)] || session.aborted || !ruvo_wire::IsDaemonScanBaseName(session.baseName))
            return;
        session.deleted[static_cast<size_t>(page)] = true;
    }
    CmdDeleteFileReq request{};
    std::snprintf(request.fileName, sizeof(request.fileName), "%s", ruvo_wire::PageFileName(session.baseName, page).c_str());
    // No answer comes, so this may go out while records stream in.
    if (!m_link->daemon.command(CMD_DELETE_FILE, &request, sizeof(request)))
        m_link->broken = true;
}

void Scanner::finishPage()
{
    ScanSession &session = *m_session;
    session.file.reset();
    session.decoder.reset();
    deletePageFile(session, session.page);
    session.wholeFlatbedPage = !session.choice.feeder;
    setFrame(Frame::PageDone);
}

int Scanner::failScan(int status)
{
    status = mapFeederFailure(status);
    endSession(false);
    setFrame(Frame::Failed);
    m_failStatus = status;
    return status;
}

int Scanner::read(uint8_t *out, int maxLength, int *length)
{
    *length = 0;
    BusyGuard busy(m_busy);
    if (m_cancelRequested.exchange(false)) {
        cancelNow();
        return ruvo_wire::RESULT_CANCELLED;
    }
    switch (m_frame) {
    case Frame::Idle: return ruvo_wire::RESULT_INVALID;
    case Frame::PageDone: return ruvo_wire::RESULT_END_OF_SCAN;
    case Frame::Cancelled: return ruvo_wire::RESULT_CANCELLED;
    case Frame::Failed: return m_failStatus;
    case Frame::Reading: break;
    }
    if (maxLength <= 0)
        return ruvo_wire::RESULT_INVALID;
    ScanSession &session = *m_session;
    std::vector<uint8_t> chunk;
    while (true) {
        size_t produced = session.decoder->produce(out, static_cast<size_t>(maxLength));
        if (produced > 0) {
            *length = static_cast<int>(produced);
            return ruvo_wire::RESULT_GOOD;
        }
        PageDecoder::State state = session.decoder->state();
        if (state == PageDecoder::State::Done) {
            finishPage();
            return ruvo_wire::RESULT_END_OF_SCAN;
        }
        if (state == PageDecoder::State::Failed) {
            int32_t scanResult = ruvo_wire::RESULT_END_OF_SCAN;
            {
                std::lock_guard<std::mutex> lock(session.mutex);
                if (session.tracker.finished())
                    scanResult = session.tracker.finalResult();
            }
            // A page cut short by a failed scan reports the scan's failure.
            if (scanResult != ruvo_wire::RESULT_END_OF_SCAN)
                return failScan(saneCode(scanResult));
            Debug(kDebugError, "page %d of %s is not the page that was asked for", session.page,
                  session.baseName.c_str());
            return failScan(ruvo_wire::RESULT_IO_ERROR);
        }
        uint64_t available = 0;
        bool complete = false, finished = false, broken = false;
        int32_t result = 0;
        {
            std::unique_lock<std::mutex> lock(session.mutex);
            available = session.tracker.availableBytes(session.page);
            complete = session.tracker.pageComplete(session.page);
            finished = session.tracker.finished();
            result = session.tracker.finalResult();
            // A page of unknown length (raw from the feeder) that did not end by
            // itself before the scan failed may have been cut short: its
            // lines cannot tell, so the scan's failure is reported. A page of
            // known length is judged by its decoder.
            bool lengthKnown = UsesJpeg(session.choice) || session.shape.lines >= 0;
            broken = finished && result != ruvo_wire::RESULT_END_OF_SCAN && !lengthKnown &&
                     !session.tracker.pageEnded(session.page);
            if (available <= session.fileOffset && !complete && !finished) {
                if (Clock::now() - session.lastRecord > kStallLimit) {
                    lock.unlock();
                    Debug(kDebugError, "the scan of %s stopped: no record for %lld s", m_entry.name.c_str(),
                          static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kStallLimit).count()));
                    return failScan(ruvo_wire::RESULT_IO_ERROR);
                }
                session.changed.wait_for(lock, std::chrono::milliseconds(200));
                lock.unlock();
                if (m_cancelRequested.exchange(false)) {
                    cancelNow();
                    return ruvo_wire::RESULT_CANCELLED;
                }
                continue;
            }
        }
        if (available > session.fileOffset) {
            size_t wanted = static_cast<size_t>(std::min<uint64_t>(available - session.fileOffset, kFileReadChunk));
            chunk.resize(wanted);
            ssize_t got = pread(session.file.get(), chunk.data(), wanted, static_cast<off_t>(session.fileOffset));
            if (got <= 0) {
                Debug(kDebugError, "page file %d of %s ends before the daemon said it would", session.page,
                      session.baseName.c_str());
                return failScan(ruvo_wire::RESULT_IO_ERROR);
            }
            session.fileOffset += static_cast<uint64_t>(got);
            session.decoder->feed(chunk.data(), static_cast<size_t>(got));
            continue;
        }
        if (broken) {
            Debug(kDebugError, "the scan of %s ended with %d", m_entry.name.c_str(), static_cast<int>(result));
            return failScan(saneCode(result));
        }
        session.decoder->finishInput();
    }
}

void Scanner::setFrame(Frame frame)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_frame = frame;
}

std::optional<FrameShape> Scanner::activeShape() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (m_session && (m_frame == Frame::Reading || m_frame == Frame::PageDone))
        return m_session->shape;
    return std::nullopt;
}

// ---- the record stream ----

void Scanner::readRecords(ScanSession *session)
{
    const int fd = m_link->daemon.descriptor();
    std::vector<uint8_t> pending;
    uint8_t buffer[4096];
    auto exists = [session](int page) {
        struct stat info;
        return lstat(ruvo_wire::PageFileName(session->baseName, page).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    };
    bool usb = m_entry.usb;
    std::optional<Clock::time_point> cancelSeen;
    while (true) {
        if (m_cancelRequested && !cancelSeen)
            cancelSeen = Clock::now();
        // A whole flatbed page needs no abort: its scan ends by itself soon.
        bool cancelNow = cancelSeen && (!session->wholeFlatbedPage || Clock::now() - *cancelSeen > kNaturalEndLimit);
        if (session->abortRequested || cancelNow) {
            abortScan(session, pending.size());
            break;
        }
        pollfd waiting[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        int ready = poll(waiting, 2, cancelSeen ? 200 : 1000);
        if (ready < 0 && errno != EINTR)
            break;
        if (waiting[1].revents) {
            char drained[16];
            while (::read(m_wake[0], drained, sizeof(drained)) > 0) {
            }
            continue;
        }
        if (!(waiting[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            m_link->broken = true;
            std::lock_guard<std::mutex> lock(session->mutex);
            session->tracker.finish(ruvo_wire::RESULT_IO_ERROR);
            session->changed.notify_all();
            Debug(kDebugError, "the scan daemon closed the connection during the scan");
            break;
        }
        pending.insert(pending.end(), buffer, buffer + got);
        size_t whole = pending.size() / kRecordSize * kRecordSize;
        bool finished = false, protocolError = false;
        {
            std::lock_guard<std::mutex> lock(session->mutex);
            size_t used = 0;
            for (; used < whole && !session->tracker.finished(); used += kRecordSize) {
                DaemonRecord record =
                    usb ? DecodeUsbRecord(pending.data() + used) : DecodeTcpRecord(pending.data() + used);
                Debug(kDebugTrace, "record st=%d index=%d size=%d result=%d", record.status, record.fileIndex,
                      record.dataSize, record.result);
                session->tracker.apply(record, exists);
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
            // Only a whole record shows the scan moving: bytes dripped one
            // at a time do not hold the stall limit off.
            if (used > 0)
                session->lastRecord = Clock::now();
            finished = session->tracker.finished();
            protocolError = session->tracker.protocolError();
            session->changed.notify_all();
        }
        if (finished) {
            if (protocolError) {
                Debug(kDebugError, "the scan daemon's records make no sense; aborting the scan");
                abortScan(session, pending.size());
            } else if (!pending.empty()) {
                m_link->broken = true; // bytes after the scan's last record: no framing left
            } else if (usb) {
                unlock();
            }
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        session->readerDone = true;
        session->changed.notify_all();
    }
    waitAfterRecords(session);
}

// After the last record the reader stays until the session ends, so that a
// cancel of pages the scanner delivered and nobody read removes them at once.
void Scanner::waitAfterRecords(ScanSession *session)
{
    while (!session->stopRequested) {
        if (m_cancelRequested && !session->aborted && m_link->daemon.isOpen() && !m_link->broken) {
            int begun = 0;
            {
                std::lock_guard<std::mutex> lock(session->mutex);
                begun = session->tracker.pagesBegun();
            }
            for (int page = 0; page < begun; ++page)
                deletePageFile(*session, page);
            return;
        }
        pollfd waiting{m_wake[0], POLLIN, 0};
        if (poll(&waiting, 1, 1000) > 0) {
            char drained[16];
            while (::read(m_wake[0], drained, sizeof(drained)) > 0) {
            }
        }
    }
}

void Scanner::stopReader(ScanSession &session)
{
    if (!session.reader.joinable())
        return;
    session.stopRequested = true;
    char wake = 1;
    if (::write(m_wake[1], &wake, 1) < 0) {
        // The pipe is full: the reader is awake already.
    }
    session.reader.join();
}

// Aborts the scan through the daemon. Records may still arrive before the
// abort's 4-byte answer, and nothing follows it: the answer has come once the
// bytes since the last whole record number 4 more than a multiple of 16 and
// the stream then stays quiet.
void Scanner::abortScan(ScanSession *session, size_t leftover)
{
    bool sent = false;
    if (m_entry.usb) {
        USBScanAbortReq request{};
        request.devfd = m_devfd;
        std::snprintf(request.fileName, sizeof(request.fileName), "%s", session->baseName.c_str());
        sent = m_link->daemon.command(USB_SCAN_ABORT, &request, sizeof(request));
    } else {
        TCPScanAbortReq request{};
        request.socket = socketRecord(m_entry.address, session->dataChannel);
        std::snprintf(request.fileName, sizeof(request.fileName), "%s", session->baseName.c_str());
        sent = m_link->daemon.command(TCP_SCAN_ABORT, &request, sizeof(request));
    }
    const int fd = m_link->daemon.descriptor();
    uint64_t count = leftover;
    bool answered = false;
    auto deadline = Clock::now() + std::chrono::seconds(60);
    uint8_t buffer[4096];
    while (sent && Clock::now() < deadline) {
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, 200);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            if (count % kRecordSize == 4) {
                answered = true;
                break;
            }
            continue;
        }
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        count += static_cast<uint64_t>(got);
    }
    if (!answered) {
        Debug(kDebugError, "the scan daemon did not answer the abort; the connection is dropped");
        m_link->broken = true;
    } else if (m_entry.usb) {
        unlock();
    }
    session->aborted = sent;
    std::lock_guard<std::mutex> lock(session->mutex);
    session->tracker.finish(ruvo_wire::RESULT_CANCELLED);
    session->changed.notify_all();
}

// ---- ending ----

// Waits for the reader of a finished scan to finish its last exchange (the
// unlock or the abort) and joins it. False when it is still reading records.
bool Scanner::settleReader()
{
    ScanSession &session = *m_session;
    if (!session.reader.joinable())
        return true;
    {
        std::unique_lock<std::mutex> lock(session.mutex);
        if (!session.tracker.finished())
            return false;
        session.changed.wait_for(lock, std::chrono::seconds(70), [&] { return session.readerDone.load(); });
    }
    if (!session.readerDone)
        return false;
    stopReader(session);
    return true;
}

void Scanner::cancel()
{
    // Only an atomic store and a write: both safe in a signal handler. No
    // lock, no join, no memory freed, no wait on the daemon.
    m_cancelRequested = true;
    char wake = 1;
    if (::write(m_wake[1], &wake, 1) < 0) {
        // The pipe is full: the reader has been woken already.
    }
}

void Scanner::cancelNow()
{
    if (m_session) {
        // A whole flatbed page needs no abort: the scan ends by itself.
        bool graceful = m_frame == Frame::PageDone && !m_session->choice.feeder;
        endSession(graceful);
        setFrame(Frame::Cancelled);
    } else if (m_frame != Frame::Idle) {
        setFrame(Frame::Cancelled);
    }
}

// Ends the scan session: lets the scan end by itself (graceful) or aborts it,
// stops the reader and removes the page files nobody read.
void Scanner::endSession(bool graceful)
{
    if (!m_session)
        return;
    ScanSession &session = *m_session;
    if (session.reader.joinable()) {
        if (graceful) {
            std::unique_lock<std::mutex> lock(session.mutex);
            session.changed.wait_for(lock, kNaturalEndLimit, [&] { return session.readerDone.load(); });
        }
        if (!session.readerDone)
            session.abortRequested = true;
        stopReader(session);
    }
    session.file.reset();
    session.decoder.reset();
    if (!session.aborted && m_link->daemon.isOpen() && !m_link->broken) {
        int begun = 0;
        {
            std::lock_guard<std::mutex> lock(session.mutex);
            begun = session.tracker.pagesBegun();
        }
        for (int page = 0; page < begun; ++page)
            deletePageFile(session, page);
        // The deletions have no answer; a request that has one, sent after
        // them, comes back only once they are done (the daemon serves a
        // connection in order). A handle this connection never opened is
        // refused at once, without touching a device.
        if (!session.deleted.empty()) {
            USBCommonReq request{-1};
            int32_t result = 0;
            if (!m_link->daemon.exchange(USB_SCAN_UNLOCK, request, result, kSyncTimeoutMs))
                m_link->broken = true;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_session.reset();
    }
    if (m_link->broken)
        dropLink();
}

} // namespace ruvo_sane
