#include "daemon_adapter.h"

#include "client_io.h"
#include "model_rows.h"
#include "page_tracker.h"
#include "product_paths.h"
#include "scan_types.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ruvo_share {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAnswerTimeoutMs = 60000;
// A scan that brings no record for this long has stopped: the daemon gives a
// USB device ten reads of 30 s before it calls the scan failed.
constexpr auto kStallLimit = std::chrono::seconds(330);

// One daemon connection, closed with its owner.
class Connection {
public:
    Connection() : m_fd(ruvo_wire::ConnectToDaemon(ruvo_wire::DaemonPortOfEnvironment())) {}
    ~Connection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    bool open() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool send(int32_t command, const void *body, size_t length)
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        return m_fd >= 0 && ruvo_wire::SendRequest(m_fd, command, body, length);
    }
    bool receive(void *buffer, size_t length) { return m_fd >= 0 && ruvo_wire::ReceiveExact(m_fd, buffer, length, kAnswerTimeoutMs); }
    template <typename Request, typename Answer>
    bool exchange(int32_t command, const Request &request, Answer &answer)
    {
        return send(command, &request, sizeof(request)) && receive(&answer, sizeof(answer));
    }

private:
    int m_fd;
    std::mutex m_sendMutex;
};

std::string fieldText(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

std::string cleanSerial(const USBFindDevRes &device)
{
    std::string serial = fieldText(device.SerialNumber, sizeof(device.SerialNumber));
    serial.erase(std::remove_if(serial.begin(), serial.end(),
                                [](char c) { return !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_'); }),
                 serial.end());
    return serial.substr(0, 64);
}

bool findUsb(Connection &link, uint16_t productId, std::vector<USBFindDevRes> &found)
{
    USBFindDevReq request{};
    request.vid = ruvo_models::kVendorId;
    request.pid = productId;
    request.compareWithPID = productId != 0;
    // The count and every record are one answer: one deadline for all of it.
    return link.send(USB_FIND_DEV, &request, sizeof(request)) &&
           ruvo_wire::ReceiveFoundDevices(link.fd(), ruvo_wire::DeadlineIn(kAnswerTimeoutMs), found);
}

RuvoSocket socketRecord(const std::string &address, int32_t channel)
{
    RuvoSocket socket{};
    socket.tcpFromScanner = channel;
    std::snprintf(socket.szScannerIP, sizeof(socket.szScannerIP), "%s", address.c_str());
    return socket;
}

// A stable uuid from a scanner's serial or address: the same scanner is the
// same device to every client across restarts.
std::string stableUuid(const std::string &key)
{
    uint64_t first = 1469598103934665603ull, second = 1099511628211ull * 7;
    for (unsigned char c : key) {
        first = (first ^ c) * 1099511628211ull;
        second = (second ^ c) * 1469598103934665603ull + 0x9e3779b97f4a7c15ull;
    }
    char text[40];
    std::snprintf(text, sizeof(text), "%08x-%04x-5%03x-8%03x-%012llx", static_cast<unsigned>(first >> 32),
                  static_cast<unsigned>(first >> 16) & 0xffff, static_cast<unsigned>(first) & 0xfff,
                  static_cast<unsigned>(second >> 52) & 0xfff, static_cast<unsigned long long>(second & 0xffffffffffffull));
    return text;
}

constexpr int kUnitsPerInch = 300;
int millimetresToUnits(double mm) { return static_cast<int>(mm * kUnitsPerInch / 25.4 + 0.5); }

std::vector<int> usbResolutions(bool feeder)
{
    std::vector<int> resolutions = {75, 100, 150, 200, 300, 600};
    if (!feeder)
        resolutions.push_back(1200); // the feeder scans at most 600 dpi
    return resolutions;
}

int32_t usbFeeder(Connection &link, int32_t devfd)
{
    USBCommonReq request{devfd};
    USBScanAdfStatusRes answer{};
    if (!link.exchange(USB_SCAN_ADFSTATUS, request, answer) || answer.result != ruvo_wire::RESULT_GOOD)
        return 0;
    return answer.st;
}

int32_t networkFeeder(Connection &link, const std::string &address)
{
    TCPCommonReq request{socketRecord(address, -1)};
    TCPADFStatusRes answer{};
    if (!link.exchange(TCP_SCAN_ADFST, request, answer) || answer.result != ruvo_wire::RESULT_GOOD)
        return 0;
    return answer.st;
}

FeederState feederOf(int32_t state)
{
    switch (state) {
    case ADF_STATUS_LOADED: return FeederState::Loaded;
    case ADF_STATUS_EMPTY: return FeederState::Empty;
    case ADF_STATUS_PAPER_JAM: return FeederState::Jammed;
    default: return FeederState::None;
    }
}

// Finds the USB scanner of `productId` and `serial` on `link` and opens it;
// the handles of the others the search opened are closed. -1 when absent.
int32_t openUsb(Connection &link, uint16_t productId, const std::string &serial)
{
    std::vector<USBFindDevRes> found;
    if (!findUsb(link, productId, found))
        return -1;
    int32_t devfd = -1;
    for (const USBFindDevRes &device : found) {
        if (devfd < 0 && cleanSerial(device) == serial) {
            devfd = device.fd;
            continue;
        }
        USBCommonReq request{device.fd};
        int32_t result = 0;
        if (!link.exchange(USB_CLOSE_DEV, request, result))
            return -1;
    }
    if (devfd < 0)
        return -1;
    USBCommonReq request{devfd};
    int32_t result = ruvo_wire::RESULT_IO_ERROR;
    if (!link.exchange(USB_OPEN_DEV, request, result) || result != ruvo_wire::RESULT_GOOD)
        return -1;
    return devfd;
}

// A USB scanner's connection stays open between its jobs, with the scanner
// opened on it, as a SANE front end keeps a device open between scans:
// closing it right after a scan would race the daemon's end of that scan.
struct ParkedUsb {
    std::unique_ptr<Connection> link;
    int32_t devfd = -1;
};
std::mutex s_parkedMutex;
std::map<std::string, ParkedUsb> s_parked;

// A parked connection still answers: the daemon closes quiet ones, and that
// close may still be on its way, so a request that is refused at once (a
// handle never opened) is sent and its answer awaited.
bool stillAnswers(Connection &link)
{
    pollfd waiting{link.fd(), POLLIN | POLLRDHUP, 0};
    if (poll(&waiting, 1, 0) != 0)
        return false;
    USBCommonReq request{-1};
    int32_t result = 0;
    return link.send(USB_SCAN_UNLOCK, &request, sizeof(request)) &&
           ruvo_wire::ReceiveExact(link.fd(), &result, sizeof(result), 10000);
}

} // namespace

namespace {

// The entry of a USB scanner the search found: its device is opened once,
// for its sources. False when it is no scanner of ours or does not answer.
bool describeUsb(Connection &link, const USBFindDevRes &device, const std::vector<std::string> &formats,
                 ScannerEntry &entry)
{
    USBCommonReq request{device.fd};
    const ruvo_models::ModelRow *row =
        ruvo_models::FindByUsbIds(static_cast<uint16_t>(device.vid), static_cast<uint16_t>(device.pid));
    int32_t result = ruvo_wire::RESULT_IO_ERROR;
    USBScanDevicePropertiesRes properties{};
    bool answered = row && link.exchange(USB_OPEN_DEV, request, result) && result == ruvo_wire::RESULT_GOOD &&
                    link.exchange(USB_SCAN_DEVPROPERTIES, request, properties) && properties.result == ruvo_wire::RESULT_GOOD;
    int32_t closed = 0;
    link.exchange(USB_CLOSE_DEV, request, closed);
    if (!answered)
        return false;
    entry = ScannerEntry{};
    entry.usb = true;
    entry.productId = row->productId;
    entry.serial = cleanSerial(device);
    entry.slug = "usb-" + entry.serial;
    ScannerDescription &description = entry.description;
    description.makeAndModel = std::string("Ruvo ") + row->code;
    description.serial = entry.serial;
    description.uuid = stableUuid("usb:" + entry.serial);
    description.formats = formats;
    uint8_t sources = properties.st.sources;
    description.platen.present = (sources & 0x01) != 0 || (sources & 0x04) == 0;
    description.platen.maxWidth = millimetresToUnits(215.9);
    description.platen.maxHeight = millimetresToUnits(297.0);
    description.platen.resolutions = usbResolutions(false);
    description.feeder.present = (sources & 0x04) != 0;
    description.feeder.maxWidth = millimetresToUnits(215.9);
    description.feeder.maxHeight = millimetresToUnits(355.6);
    description.feeder.resolutions = usbResolutions(true);
    return true;
}

std::vector<ScannerEntry> usbScanners(Connection &link, const std::vector<ScannerEntry> &known,
                                      const std::vector<std::string> &formats, bool &answered)
{
    std::vector<ScannerEntry> scanners;
    std::vector<USBFindDevRes> found;
    answered = findUsb(link, 0, found);
    for (const USBFindDevRes &device : found) {
        std::string serial = cleanSerial(device);
        auto same = std::find_if(known.begin(), known.end(), [&](const ScannerEntry &entry) {
            return entry.usb && entry.serial == serial && entry.productId == static_cast<uint16_t>(device.pid);
        });
        bool listed = std::any_of(scanners.begin(), scanners.end(),
                                  [&](const ScannerEntry &entry) { return entry.slug == "usb-" + serial; });
        if (listed)
            continue; // one path per serial
        if (same != known.end()) {
            scanners.push_back(*same);
            continue;
        }
        ScannerEntry entry;
        if (describeUsb(link, device, formats, entry))
            scanners.push_back(entry);
    }
    return scanners;
}

std::optional<ScannerEntry> networkScanner(Connection &link, const NetworkScanner &scanner,
                                           const std::vector<std::string> &formats)
{
    TCPCommonReq request{socketRecord(scanner.address, -1)};
    TCPDevPropertiesRes properties{};
    if (!link.exchange(TCP_SCAN_DEVPROPERTIES, request, properties) || properties.result != ruvo_wire::RESULT_GOOD)
        return std::nullopt;
    const ScannerCapabilities &capabilities = properties.devPro;
    ScannerEntry entry;
    entry.address = scanner.address;
    entry.slug = "net-" + scanner.address;
    ScannerDescription &description = entry.description;
    description.makeAndModel = "Ruvo " + (scanner.model.empty() ? std::string("network scanner") : scanner.model);
    description.serial = scanner.address;
    description.uuid = stableUuid("net:" + scanner.address);
    description.formats = formats;
    description.colour = capabilities.color;
    int minimum = capabilities.minres > 0 ? static_cast<int>(std::min<uint32_t>(capabilities.minres, 9600)) : 75;
    int maximum = capabilities.maxres > 0 ? static_cast<int>(std::min<uint32_t>(capabilities.maxres, 9600)) : 1200;
    std::vector<int> resolutions;
    for (int resolution : {75, 100, 150, 200, 300, 600, 1200})
        if (resolution >= minimum && resolution <= maximum)
            resolutions.push_back(resolution);
    // Thousandths of an inch; none reported: Letter wide, Legal long.
    int width = capabilities.maxWidth > 0 ? static_cast<int>(std::min<uint32_t>(capabilities.maxWidth, 50000) * 3 / 10)
                                          : millimetresToUnits(215.9);
    int height = capabilities.maxHeight > 0 ? static_cast<int>(std::min<uint32_t>(capabilities.maxHeight, 100000) * 3 / 10)
                                            : millimetresToUnits(355.6);
    description.platen = {true, width, height, resolutions};
    int32_t feeder = networkFeeder(link, scanner.address);
    description.feeder = {feeder == ADF_STATUS_EMPTY || feeder == ADF_STATUS_LOADED || feeder == ADF_STATUS_PAPER_JAM,
                          width, height, resolutions};
    return entry;
}

} // namespace

std::vector<ScannerEntry> ListScanners(const std::vector<NetworkScanner> &network, const std::vector<std::string> &formats)
{
    Connection link;
    if (!link.open())
        return {};
    bool answered = false;
    std::vector<ScannerEntry> scanners = usbScanners(link, {}, formats, answered);
    for (const NetworkScanner &scanner : network)
        if (std::optional<ScannerEntry> entry = networkScanner(link, scanner, formats))
            scanners.push_back(*entry);
    return scanners;
}

std::optional<std::vector<ScannerEntry>> ListUsbScanners(const std::vector<ScannerEntry> &known,
                                                         const std::vector<std::string> &formats)
{
    Connection link;
    if (!link.open())
        return std::nullopt;
    bool answered = false;
    std::vector<ScannerEntry> scanners = usbScanners(link, known, formats, answered);
    if (!answered)
        return std::nullopt;
    return scanners;
}

std::optional<ScannerEntry> ProbeNetworkScanner(const NetworkScanner &scanner, const std::vector<std::string> &formats)
{
    Connection link;
    if (!link.open())
        return std::nullopt;
    return networkScanner(link, scanner, formats);
}

FeederState QueryFeeder(const ScannerEntry &scanner)
{
    if (!scanner.description.feeder.present)
        return FeederState::None;
    Connection link;
    if (!link.open())
        return FeederState::None;
    if (!scanner.usb)
        return feederOf(networkFeeder(link, scanner.address));
    int32_t devfd = openUsb(link, scanner.productId, scanner.serial);
    if (devfd < 0)
        return FeederState::None;
    FeederState state = feederOf(usbFeeder(link, devfd));
    USBCommonReq request{devfd};
    int32_t result = 0;
    link.exchange(USB_CLOSE_DEV, request, result);
    return state;
}

// ---- one scan ----

struct DaemonScan::Session {
    std::unique_ptr<Connection> owned;
    bool usb = false;
    int32_t devfd = -1;
    std::string address;
    int32_t dataChannel = -1;
    std::string baseName;
    bool feeder = false;
    PixelRegion region;
    int components = 3;
    size_t lineBytes = 0;
    size_t stride = 0;

    std::mutex mutex;
    std::condition_variable changed;
    ruvo_sane::PageTracker tracker;
    Clock::time_point lastRecord = Clock::now();
    std::thread reader;
    int wake[2] = {-1, -1};
    std::atomic<bool> abortRequested{false};
    std::atomic<bool> readerDone{false};
    std::atomic<bool> aborted{false};
    std::atomic<bool> broken{false};

    int page = -1;
    int fileFd = -1;
    uint64_t offset = 0;
    uint32_t linesRead = 0;
    uint32_t pageLines = 0;
    std::vector<bool> deleted;

    ~Session()
    {
        for (int fd : wake)
            if (fd >= 0)
                ::close(fd);
        if (fileFd >= 0)
            ::close(fileFd);
    }

    void readRecords();
    // Has a reader still reading records abort the scan, and waits for it.
    void abortReader()
    {
        if (!reader.joinable())
            return;
        if (!readerDone) {
            abortRequested = true;
            char poke = 1;
            if (::write(wake[1], &poke, 1) < 0) {
                // The pipe is full: the reader is awake already.
            }
        }
        reader.join();
    }
    void sendAbort(size_t leftover);
    void deletePage(int index);
    void unlock()
    {
        USBCommonReq request{devfd};
        int32_t result = 0;
        if (!owned->exchange(USB_SCAN_UNLOCK, request, result))
            broken = true;
    }
};

void DaemonScan::Session::readRecords()
{
    std::vector<uint8_t> pending;
    uint8_t buffer[4096];
    auto exists = [this](int index) {
        struct stat info;
        return lstat(ruvo_wire::PageFileName(baseName, index).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    };
    while (true) {
        if (abortRequested) {
            sendAbort(pending.size());
            break;
        }
        pollfd waiting[2] = {{owned->fd(), POLLIN, 0}, {wake[0], POLLIN, 0}};
        if (poll(waiting, 2, 1000) < 0 && errno != EINTR)
            break;
        if (waiting[1].revents) {
            char drained[16];
            while (::read(wake[0], drained, sizeof(drained)) > 0) {
            }
            continue;
        }
        if (!(waiting[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t got = recv(owned->fd(), buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            broken = true;
            std::lock_guard<std::mutex> lock(mutex);
            tracker.finish(ruvo_wire::RESULT_IO_ERROR);
            changed.notify_all();
            break;
        }
        pending.insert(pending.end(), buffer, buffer + got);
        size_t whole = pending.size() / ruvo_sane::kRecordSize * ruvo_sane::kRecordSize;
        bool finished = false, protocolError = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            size_t used = 0;
            for (; used < whole && !tracker.finished(); used += ruvo_sane::kRecordSize)
                tracker.apply(usb ? ruvo_sane::DecodeUsbRecord(pending.data() + used)
                                  : ruvo_sane::DecodeTcpRecord(pending.data() + used),
                              exists);
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
            lastRecord = Clock::now();
            finished = tracker.finished();
            protocolError = tracker.protocolError();
            changed.notify_all();
        }
        if (finished) {
            if (protocolError)
                sendAbort(pending.size());
            else if (!pending.empty())
                broken = true;
            else if (usb)
                unlock();
            break;
        }
    }
    readerDone = true;
    std::lock_guard<std::mutex> lock(mutex);
    changed.notify_all();
}

// Records may still arrive before the abort's 4-byte answer, and nothing
// follows it: the answer has come once the bytes since the last whole record
// number 4 more than a multiple of 16 and the stream then stays quiet.
void DaemonScan::Session::sendAbort(size_t leftover)
{
    bool sent = false;
    if (usb) {
        USBScanAbortReq request{};
        request.devfd = devfd;
        std::snprintf(request.fileName, sizeof(request.fileName), "%s", baseName.c_str());
        sent = owned->send(USB_SCAN_ABORT, &request, sizeof(request));
    } else {
        TCPScanAbortReq request{};
        request.socket = socketRecord(address, dataChannel);
        std::snprintf(request.fileName, sizeof(request.fileName), "%s", baseName.c_str());
        sent = owned->send(TCP_SCAN_ABORT, &request, sizeof(request));
    }
    uint64_t count = leftover;
    bool answered = false;
    auto deadline = Clock::now() + std::chrono::seconds(60);
    uint8_t buffer[4096];
    while (sent && Clock::now() < deadline) {
        pollfd waiting{owned->fd(), POLLIN, 0};
        int ready = poll(&waiting, 1, 200);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            if (count % ruvo_sane::kRecordSize == 4) {
                answered = true;
                break;
            }
            continue;
        }
        ssize_t got = recv(owned->fd(), buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        count += static_cast<uint64_t>(got);
    }
    if (!answered)
        broken = true;
    else if (usb)
        unlock();
    aborted = sent;
    std::lock_guard<std::mutex> lock(mutex);
    tracker.finish(ruvo_wire::RESULT_CANCELLED);
    changed.notify_all();
}

void DaemonScan::Session::deletePage(int index)
{
    if (index < 0 || aborted || broken || !ruvo_wire::IsDaemonScanBaseName(baseName))
        return;
    if (deleted.size() <= static_cast<size_t>(index))
        deleted.resize(static_cast<size_t>(index) + 1, false);
    if (deleted[static_cast<size_t>(index)])
        return;
    deleted[static_cast<size_t>(index)] = true;
    CmdDeleteFileReq request{};
    std::snprintf(request.fileName, sizeof(request.fileName), "%s", ruvo_wire::PageFileName(baseName, index).c_str());
    // No answer comes, so this may go out while records stream in.
    if (!owned->send(CMD_DELETE_FILE, &request, sizeof(request)))
        broken = true;
}

int DaemonScan::Start(const ScannerEntry &scanner, const ScanRequest &request, std::unique_ptr<DaemonScan> &scan)
{
    std::unique_ptr<DaemonScan> created(new DaemonScan);
    created->m_session = std::make_unique<Session>();
    created->m_serial = scanner.serial;
    Session &session = *created->m_session;
    if (pipe2(session.wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return ruvo_wire::RESULT_IO_ERROR;
    session.usb = scanner.usb;
    session.address = scanner.address;
    session.feeder = request.source == Source::Feeder;
    session.region = ToPixels(request);
    session.components = request.mode == ColourMode::Colour ? 3 : 1;
    session.lineBytes = static_cast<size_t>(session.region.width) * static_cast<size_t>(session.components);
    session.stride = session.lineBytes;

    SettingInfo settings{};
    settings.bitDepth = static_cast<uint8_t>(session.components * 8);
    settings.compType = COMPRESSION_NONE;
    settings.width = session.region.width;
    settings.height = session.region.height;
    settings.xStart = session.region.xStart;
    settings.yStart = session.region.yStart;
    settings.xResolution = static_cast<uint16_t>(request.resolution);
    settings.yResolution = settings.xResolution;
    settings.feederEnabled = session.feeder ? 1 : 0;
    settings.isClient = session.feeder ? 1 : 0; // every sheet in one scan
    settings.BrightnessParam = 50;
    settings.ContrastParam = 50;

    int32_t result = ruvo_wire::RESULT_IO_ERROR;
    std::string baseName;
    if (scanner.usb) {
        {
            std::lock_guard<std::mutex> lock(s_parkedMutex);
            auto parked = s_parked.find(scanner.serial);
            if (parked != s_parked.end()) {
                if (stillAnswers(*parked->second.link)) {
                    session.owned = std::move(parked->second.link);
                    session.devfd = parked->second.devfd;
                }
                s_parked.erase(parked);
            }
        }
        USBScanDevicePropertiesRes properties{};
        auto describe = [&] {
            USBCommonReq handle{session.devfd};
            return session.devfd >= 0 && session.owned->exchange(USB_SCAN_DEVPROPERTIES, handle, properties) &&
                   properties.result == ruvo_wire::RESULT_GOOD;
        };
        // A parked handle belongs to the device as it was plugged in: one
        // pulled out and plugged back since is a new device, found again.
        if (!describe()) {
            session.owned = std::make_unique<Connection>();
            session.devfd = openUsb(*session.owned, scanner.productId, scanner.serial);
            if (!describe())
                return ruvo_wire::RESULT_IO_ERROR;
        }
        USBCommonReq handle{session.devfd};
        unsigned boundary = session.components == 3 ? properties.st.boundery24 : properties.st.boundery8;
        if (boundary > 1)
            session.stride = (session.lineBytes + boundary - 1) / boundary * boundary;
        if (session.feeder) {
            int32_t state = usbFeeder(*session.owned, session.devfd);
            if (state == ADF_STATUS_EMPTY)
                return ruvo_wire::RESULT_NO_DOCUMENTS;
            if (state == ADF_STATUS_PAPER_JAM)
                return ruvo_wire::RESULT_JAMMED;
        }
        USBScanLockReq lock{};
        lock.devfd = session.devfd;
        lock.info = settings;
        if (!session.owned->exchange(USB_SCAN_LOCK, lock, result))
            return ruvo_wire::RESULT_IO_ERROR;
        if (result != ruvo_wire::RESULT_GOOD)
            return result == ruvo_wire::RESULT_BUSY ? ruvo_wire::RESULT_BUSY : ruvo_wire::RESULT_INVALID;
        auto answer = std::make_unique<USBScanStartRes>();
        if (!session.owned->exchange(USB_SCAN_START, handle, *answer))
            return ruvo_wire::RESULT_IO_ERROR;
        result = answer->result;
        baseName = fieldText(answer->fileName, sizeof(answer->fileName));
        if (result != ruvo_wire::RESULT_GOOD)
            session.unlock();
    } else {
        session.owned = std::make_unique<Connection>();
        if (!session.owned->open())
            return ruvo_wire::RESULT_IO_ERROR;
        if (session.feeder) {
            int32_t state = networkFeeder(*session.owned, scanner.address);
            if (state == ADF_STATUS_EMPTY)
                return ruvo_wire::RESULT_NO_DOCUMENTS;
            if (state == ADF_STATUS_PAPER_JAM)
                return ruvo_wire::RESULT_JAMMED;
        }
        TCPScanStartReq start{};
        start.socket = socketRecord(scanner.address, -1);
        start.info = settings;
        auto answer = std::make_unique<TCPScanStartRes>();
        if (!session.owned->exchange(TCP_SCAN_START, start, *answer))
            return ruvo_wire::RESULT_IO_ERROR;
        result = answer->result;
        session.dataChannel = answer->socketDataFd;
        baseName = fieldText(answer->fileName, sizeof(answer->fileName));
    }
    if (result != ruvo_wire::RESULT_GOOD)
        return result == ruvo_wire::RESULT_BUSY || result == ruvo_wire::RESULT_JAMMED || result == ruvo_wire::RESULT_NO_DOCUMENTS
                   ? result
                   : ruvo_wire::RESULT_IO_ERROR;
    session.baseName = baseName;
    // A name outside the scan directory's pattern is never read: the scan is aborted at once.
    if (!ruvo_wire::IsDaemonScanBaseName(baseName))
        session.abortRequested = true;
    Session *running = &session;
    session.reader = std::thread([running] { running->readRecords(); });
    scan = std::move(created);
    return ruvo_wire::RESULT_GOOD;
}

DaemonScan::~DaemonScan()
{
    if (!m_session)
        return;
    Session &session = *m_session;
    session.abortReader();
    if (session.fileFd >= 0) {
        ::close(session.fileFd);
        session.fileFd = -1;
    }
    if (!session.aborted && !session.broken) {
        int begun = 0;
        {
            std::lock_guard<std::mutex> lock(session.mutex);
            begun = session.tracker.pagesBegun();
        }
        for (int index = 0; index < begun; ++index)
            session.deletePage(index);
    }
    if (session.usb && session.devfd >= 0 && !session.broken && session.owned && session.owned->open()) {
        // Kept for the scanner's next job (which first checks that it still answers).
        std::lock_guard<std::mutex> lock(s_parkedMutex);
        s_parked[m_serial] = ParkedUsb{std::move(session.owned), session.devfd};
    } else if (!session.deleted.empty() && !session.broken && session.owned) {
        USBCommonReq request{-1};
        int32_t result = 0;
        session.owned->exchange(USB_SCAN_UNLOCK, request, result);
    }
}

void DaemonScan::abort()
{
    m_session->abortReader();
}

bool DaemonScan::ended() const
{
    std::lock_guard<std::mutex> lock(m_session->mutex);
    return m_session->tracker.finished() && m_session->tracker.pagesBegun() <= m_session->page + 1;
}

int DaemonScan::nextPage(PageShape &shape)
{
    Session &session = *m_session;
    if (session.fileFd >= 0)
        pageDone();
    int next = session.page + 1;
    std::unique_lock<std::mutex> lock(session.mutex);
    while (true) {
        bool begun = session.tracker.pagesBegun() > next;
        if (begun && (!session.feeder || session.tracker.pageComplete(next)))
            break;
        if (session.tracker.finished() && !begun) {
            int32_t result = session.tracker.finalResult();
            if (result == ruvo_wire::RESULT_END_OF_SCAN)
                return ruvo_wire::RESULT_NO_DOCUMENTS;
            return result == ruvo_wire::RESULT_JAMMED || result == ruvo_wire::RESULT_NO_DOCUMENTS || result == ruvo_wire::RESULT_CANCELLED
                       ? result
                       : ruvo_wire::RESULT_IO_ERROR;
        }
        if (Clock::now() - session.lastRecord > kStallLimit)
            return ruvo_wire::RESULT_IO_ERROR;
        session.changed.wait_for(lock, std::chrono::milliseconds(200));
    }
    uint64_t bytes = session.tracker.availableBytes(next);
    lock.unlock();
    std::string path = ruvo_wire::PageFileName(session.baseName, next);
    session.fileFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (session.fileFd < 0)
        return ruvo_wire::RESULT_IO_ERROR;
    session.page = next;
    session.offset = 0;
    session.linesRead = 0;
    session.pageLines = session.feeder ? static_cast<uint32_t>(std::min<uint64_t>(bytes / session.stride, 1u << 20))
                                       : session.region.height;
    if (session.pageLines == 0)
        return ruvo_wire::RESULT_IO_ERROR;
    shape.width = session.region.width;
    shape.height = session.pageLines;
    shape.components = session.components;
    return ruvo_wire::RESULT_GOOD;
}

int DaemonScan::readLines(uint8_t *out, int maxLines)
{
    Session &session = *m_session;
    if (session.fileFd < 0)
        return -1;
    uint32_t wanted = std::min<uint32_t>(static_cast<uint32_t>(maxLines), session.pageLines - session.linesRead);
    if (wanted == 0)
        return 0;
    uint64_t need = session.offset + session.stride;
    {
        std::unique_lock<std::mutex> lock(session.mutex);
        while (session.tracker.availableBytes(session.page) < need) {
            if (session.tracker.finished() || session.tracker.pageEnded(session.page))
                return -1; // the page ended short of its lines
            if (Clock::now() - session.lastRecord > kStallLimit)
                return -1;
            session.changed.wait_for(lock, std::chrono::milliseconds(200));
        }
        uint64_t whole = (session.tracker.availableBytes(session.page) - session.offset) / session.stride;
        wanted = static_cast<uint32_t>(std::min<uint64_t>(wanted, whole));
    }
    std::vector<uint8_t> band(static_cast<size_t>(wanted) * session.stride);
    size_t done = 0;
    while (done < band.size()) {
        ssize_t got = pread(session.fileFd, band.data() + done, band.size() - done, static_cast<off_t>(session.offset + done));
        if (got <= 0)
            return -1;
        done += static_cast<size_t>(got);
    }
    for (uint32_t line = 0; line < wanted; ++line)
        std::memcpy(out + line * session.lineBytes, band.data() + line * session.stride, session.lineBytes);
    session.offset += band.size();
    session.linesRead += wanted;
    return static_cast<int>(wanted);
}

void DaemonScan::pageDone()
{
    Session &session = *m_session;
    if (session.fileFd >= 0) {
        ::close(session.fileFd);
        session.fileFd = -1;
    }
    session.deletePage(session.page);
    ++m_pagesDone;
}

} // namespace ruvo_share
