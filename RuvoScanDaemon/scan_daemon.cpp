#include "scan_daemon.h"

#include "product_paths.h"
#include "ruvo_network.h"
#include "ruvo_usb.h"
#include "scan_log.h"
#include "scan_protocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

volatile sig_atomic_t flag = 1;
pid_t dataProcPid = 0;
int filename_index = 0;

namespace {

volatile sig_atomic_t s_receivedSignal = 0;
// Write end of the pipe that holds a new data process back until the start
// response is out.
int s_dataGateFd = -1;

constexpr int kSendAttempts = 11;
constexpr int kFileWriteAttempts = 11;
constexpr int kListenBacklog = 20;
constexpr int kClientSendBuffer = 32 * 1024;
const char kInfoLogName[] = "ruvo_scan_info.log";
const char kErrLogName[] = "ruvo_scan_err.log";

// The quit handler only sets flags; its log line is written here, outside the
// signal context, where formatting and stdio are safe.
void logReceivedSignal()
{
    if (s_receivedSignal != 0) {
        RuvoInfoLog("I got a signal %d\nI'm quitting.", static_cast<int>(s_receivedSignal));
        s_receivedSignal = 0;
    }
}

template <typename Record>
bool sendRecord(int fd, const Record &record)
{
    return serverTcpSendWithRetry(fd, &record, sizeof(record), 0) == static_cast<int>(sizeof(record));
}

bool sendResult(int fd, int32_t result)
{
    return sendRecord(fd, result);
}

template <typename Body>
bool receiveBody(int fd, Body &body)
{
    std::memset(&body, 0, sizeof(body));
    return RecvWhole(fd, &body, sizeof(body), kBodyTimeoutMs) == sizeof(body);
}

// Receives a command's request body; a short or late body is logged with
// `errorText` and the command gets no answer.
template <typename Body>
bool receiveRequest(int fd, Body &body, const char *errorText)
{
    if (receiveBody(fd, body))
        return true;
    RuvoErrLog("%s", errorText);
    return false;
}

// Answers a plain result; a failed send is logged with `errorText` (null: not logged).
void answerResult(int fd, int32_t result, const char *errorText)
{
    if (!sendResult(fd, result) && errorText)
        RuvoErrLog("%s", errorText);
}

template <typename Record>
void answerRecord(int fd, const Record &record, const char *errorText)
{
    if (!sendRecord(fd, record))
        RuvoErrLog("%s", errorText);
}

bool isLogFileName(const char *entry)
{
    return std::strcmp(entry, kInfoLogName) == 0 || std::strcmp(entry, kErrLogName) == 0;
}

void makeScanDirectory(const std::string &scanDir)
{
    std::string partial;
    size_t position = 0;
    while (position != std::string::npos) {
        position = scanDir.find('/', position + 1);
        partial = scanDir.substr(0, position);
        mkdir(partial.c_str(), 0755);
    }
}

// Creates (truncates) one page file; never follows a link planted in its place.
int createPageFile(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
}

// Appends all bytes in at most 11 write calls. Returns the bytes left unwritten.
size_t writePageData(int fd, const uint8_t *bytes, size_t length)
{
    size_t done = 0;
    for (int attempt = 0; attempt < kFileWriteAttempts && done < length; ++attempt) {
        ssize_t written = write(fd, bytes + done, length - done);
        if (written > 0)
            done += static_cast<size_t>(written);
    }
    return length - done;
}

struct ConnectionState {
    int fd;
    std::string scanDir;
    OwnedHandles handles;
};

// Closes the page file being written and creates page `page` in its place.
// False when it cannot be created; the caller reports that and stops.
bool beginPage(int &pageFd, const std::string &baseName, int &page)
{
    if (pageFd >= 0)
        close(pageFd);
    pageFd = createPageFile(PageFileName(baseName, page));
    if (pageFd < 0)
        return false;
    ++page;
    return true;
}

// ---- the USB data process ----
struct UsbScanContext {
    int connection;
    int devfd;
    std::string baseName;
};

void usbDataProcess(void *raw)
{
    auto *context = static_cast<UsbScanContext *>(raw);
    RuvoReopenDbg();
    std::vector<uint8_t> buffer;
    int pageFd = -1;
    int page = 0;
    int32_t status = SCAN_STATUS_OPERATION_CONTINUOUS;
    int result = SANE_STATUS_GOOD;
    constexpr int32_t kNoRecord = -1;
    do {
        int fileIndex = page;
        uint16_t readLength = 0;
        int32_t previous = status;
        status = kNoRecord;
        result = ScanRecord(context->devfd, &status, buffer, &readLength);
        // Only a record just read may open a page: a read that brought no record
        // keeps the previous status but must not start the page again.
        bool freshRecord = status != kNoRecord;
        if (!freshRecord)
            status = previous;
        if (freshRecord && status == SCAN_STATUS_BEGIN_OF_PAGE && !beginPage(pageFd, context->baseName, page)) {
            USBScanRecordRes failed{SCAN_STATUS_OPERATION_CONTINUOUS, fileIndex, 0, SANE_STATUS_ACCESS_DENIED};
            answerRecord(context->connection, failed, "usb USBScanRecordRes err");
            break;
        }
        USBScanRecordRes record{status, fileIndex, readLength, result};
        if (result == SANE_STATUS_GOOD && readLength > 0) {
            // Data before any begin-of-page record still belongs to a page.
            if (pageFd < 0 && beginPage(pageFd, context->baseName, page))
                record.fileIndex = page;
            if (pageFd < 0 || writePageData(pageFd, buffer.data(), readLength) != 0) {
                RuvoErrLog("usb send scan data err");
                record.result = SANE_STATUS_IO_ERROR;
                result = SANE_STATUS_IO_ERROR;
            }
        }
        if (!sendRecord(context->connection, record)) {
            RuvoErrLog("usb send scan data len err");
            break;
        }
    } while (result == SANE_STATUS_GOOD);
    if (pageFd >= 0)
        close(pageFd);
    RuvoInfoLog("usb scan record process exit:%d pid:%d", result, static_cast<int>(getpid()));
}

// ---- the network data process ----
struct TcpScanContext {
    int connection;
    RuvoSocket socket;
    std::string baseName;
};

void tcpDataProcess(void *raw)
{
    auto *context = static_cast<TcpScanContext *>(raw);
    RuvoReopenDbg();
    unsigned char *buffer = nullptr;
    int bufferSize = 0;
    int pageFd = -1;
    int page = 0;
    bool first = true;
    int result = SANE_STATUS_GOOD;
    do {
        int fileIndex = page;
        int length = 0;
        ScanStatus status = SCAN_STATUS_OPERATION_CONTINUOUS;
        result = ruvo_tcp_ScanRecord(&context->socket, &status, &buffer, &bufferSize, &length);
        // Page file 0 always exists, whatever the channel sends first.
        if (first)
            status = SCAN_STATUS_BEGIN_OF_PAGE;
        first = false;
        if (status == SCAN_STATUS_BEGIN_OF_PAGE && !beginPage(pageFd, context->baseName, page)) {
            TCPRecordRes failed{SANE_STATUS_ACCESS_DENIED, 0, fileIndex, SCAN_STATUS_OPERATION_CONTINUOUS};
            answerRecord(context->connection, failed, "usb TCPRecordRes err");
            break;
        }
        TCPRecordRes record{result, length, fileIndex, status};
        if (result == SANE_STATUS_GOOD && length > 0) {
            if (writePageData(pageFd, buffer, static_cast<size_t>(length)) != 0) {
                RuvoErrLog("send scan data err");
                record.result = SANE_STATUS_IO_ERROR;
                result = SANE_STATUS_IO_ERROR;
            }
        }
        if (!sendRecord(context->connection, record)) {
            RuvoErrLog("send scan data len err");
            break;
        }
    } while (result == SANE_STATUS_GOOD);
    if (pageFd >= 0)
        close(pageFd);
    std::free(buffer);
    RuvoInfoLog("tcp scan record process exit:%d pid:%d", result, static_cast<int>(getpid()));
}

// ---- command handlers ----

bool ownsHandle(const ConnectionState &state, int devfd)
{
    return state.handles.contains(devfd);
}

// Names the next scan of this connection process; a refused start uses up its
// number as well.
std::string nextScanBaseName(const ConnectionState &state)
{
    std::string baseName = ScanBaseName(state.scanDir, static_cast<int>(getpid()), filename_index);
    ++filename_index;
    return baseName;
}

// Starts the data process of a scan the scanner accepted. Returns the result
// the start response reports.
int launchDataProcess(int result, void (*body)(void *), void *context)
{
    if (result != SANE_STATUS_GOOD)
        return result;
    pid_t child = StartDataProcess(body, context);
    if (child < 0) {
        RuvoErrLog("create data proc err");
        return SANE_STATUS_NO_MEM;
    }
    dataProcPid = child;
    return result;
}

// Sends the start response, and only then lets the data process send records.
template <typename Response>
void answerScanStart(int fd, Response &response, int result, const char *channel)
{
    response.result = result;
    bool sent = sendRecord(fd, response);
    ReleaseDataProcess();
    if (!sent) {
        RuvoErrLog("send ScanStartReq result err");
        return;
    }
    RuvoInfoLog("%s scanstart main process exit:%d pid:%d", channel, result, static_cast<int>(getpid()));
}

// Ends the running scan's data process before its page files go, so none is
// written again after the removal.
void discardScan(const ConnectionState &state, const char *fileName)
{
    StopDataProcess();
    deleteFileList(state.scanDir.c_str(), fileName);
}

void handleFindDevice(ConnectionState &state)
{
    USBFindDevReq request;
    if (!receiveRequest(state.fd, request, "recv FindDevReq err"))
        return;
    std::vector<RUVO_USB_DEV> table(kMaxUsbDevices);
    std::memset(table.data(), 0, table.size() * sizeof(RUVO_USB_DEV));
    int32_t count = ruvo_find_device(static_cast<uint16_t>(request.vid), static_cast<uint16_t>(request.pid),
                                     table.data(), request.compareWithPID);
    for (int i = 0; i < count; ++i)
        state.handles.add(table[static_cast<size_t>(i)].fd);
    if (!sendResult(state.fd, count)) {
        RuvoErrLog("send dev count err");
        return;
    }
    for (int i = 0; i < count; ++i) {
        const RUVO_USB_DEV &device = table[static_cast<size_t>(i)];
        USBFindDevRes description = converToDevRes(device.fd, device.dev_des);
        if (!sendRecord(state.fd, description)) {
            RuvoErrLog("send FindDevRes err");
            return;
        }
    }
}

void handleReopen(ConnectionState &state)
{
    USBReopenDevReq request;
    USBReopenDevRes response{SANE_STATUS_IO_ERROR, 0};
    if (!receiveRequest(state.fd, request, "recv USBReopenDevReq err")) {
        serverTcpSendWithRetry(state.fd, &response, sizeof(response), 0);
        return;
    }
    TerminateTextField(request.SerialNumber, sizeof(request.SerialNumber));
    if (!ownsHandle(state, request.devfd)) {
        response.ret = SANE_STATUS_INVAL;
        serverTcpSendWithRetry(state.fd, &response, sizeof(response), 0);
        return;
    }
    std::vector<RUVO_USB_DEV> table(kMaxUsbDevices);
    std::memset(table.data(), 0, table.size() * sizeof(RUVO_USB_DEV));
    int count = ruvo_find_device(static_cast<uint16_t>(request.vid), static_cast<uint16_t>(request.pid), table.data(),
                                 true);
    int taken = -1;
    for (int i = 0; i < count; ++i) {
        const RUVO_USB_DEV &device = table[static_cast<size_t>(i)];
        if (taken < 0) {
            USBFindDevRes description = converToDevRes(device.fd, device.dev_des);
            if (std::strcmp(description.SerialNumber, request.SerialNumber) == 0) {
                taken = device.fd;
                continue;
            }
        }
        // Handles of the search that are not taken would otherwise stay open
        // with no way for the client to name them.
        ruvo_close_device(device.fd);
    }
    if (taken >= 0) {
        ruvo_close_device(request.devfd);
        state.handles.remove(request.devfd);
        state.handles.add(taken);
        response.fd = taken;
        response.ret = ruvo_init(taken);
    }
    serverTcpSendWithRetry(state.fd, &response, sizeof(response), 0);
}

void handleUsbScanStart(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state.fd, request, "recv ScanStartReq err"))
        return;
    USBScanStartRes response;
    std::memset(&response, 0, sizeof(response));
    if (!ownsHandle(state, request.devfd)) {
        response.result = SANE_STATUS_INVAL;
        answerRecord(state.fd, response, "send ScanStartReq result err");
        return;
    }
    int result = ScanStart(request.devfd);
    std::string baseName = nextScanBaseName(state);
    std::snprintf(response.fileName, sizeof(response.fileName), "%s", baseName.c_str());
    UsbScanContext context{state.fd, request.devfd, baseName};
    result = launchDataProcess(result, usbDataProcess, &context);
    answerScanStart(state.fd, response, result, "usb");
}

void handleUsbScanAbort(ConnectionState &state)
{
    USBScanAbortReq request;
    if (!receiveRequest(state.fd, request, "recv ScanAbortReq err"))
        return;
    TerminateTextField(request.fileName, sizeof(request.fileName));
    int result = SANE_STATUS_INVAL;
    if (ownsHandle(state, request.devfd)) {
        result = ScanAbort(request.devfd);
        discardScan(state, request.fileName);
    }
    answerResult(state.fd, result, "send ScanAbortReq result err");
}

// The commands that take only a devfd and answer a plain result.
void handlePlainDeviceCommand(ConnectionState &state, int command)
{
    struct Messages {
        const char *receiveError;
        const char *sendError; // null: not logged
    };
    Messages messages{};
    switch (command) {
    case USB_OPEN_DEV: messages = {"recv OpenDevReq err", nullptr}; break;
    case USB_CLOSE_DEV: messages = {"recv CloseDevReq err", "send CloseDevReq result err"}; break;
    case USB_SCAN_UNLOCK: messages = {"recv ScanUnlockReq err", "send ScanUnlockReq result err"}; break;
    case USB_SCAN_POWERON: messages = {"recv ScanPowerOnReq err", "send ScanPowerOnReq result err"}; break;
    case USB_SCAN_GETSIZES: messages = {"recv ScanGetSizesReq err", "send ScanGetSizesReq result err"}; break;
    default: return;
    }
    USBCommonReq request;
    if (!receiveRequest(state.fd, request, messages.receiveError))
        return;
    int result = SANE_STATUS_INVAL;
    if (ownsHandle(state, request.devfd)) {
        switch (command) {
        case USB_OPEN_DEV:
            result = ruvo_init(request.devfd);
            RuvoInfoLog("USB_OPEN_DEV result %d", result);
            break;
        case USB_CLOSE_DEV:
            ruvo_close_device(request.devfd);
            state.handles.remove(request.devfd);
            result = SANE_STATUS_GOOD;
            RuvoInfoLog("USB_CLOSE_DEV result %d", result);
            break;
        case USB_SCAN_UNLOCK: result = ScanUnlock(request.devfd); break;
        case USB_SCAN_POWERON: result = ScanPowerOn(request.devfd); break;
        case USB_SCAN_GETSIZES: result = ScanGetScanSizes(request.devfd); break;
        default: break;
        }
    }
    answerResult(state.fd, result, messages.sendError);
}

void handleEndpointCommand(ConnectionState &state, int command)
{
    bool clear = command == USB_CLEAR_DEV;
    USBClearDevEpReq request;
    if (!receiveRequest(state.fd, request, clear ? "recv ClearDevEpReq err" : "recv ResetDevEpReq err"))
        return;
    int result = SANE_STATUS_INVAL;
    if (ownsHandle(state, request.devfd)) {
        result = clear ? ruvo_clear_halt(request.devfd, request.ep) : ruvo_resetep(request.devfd, request.ep);
        if (clear)
            RuvoInfoLog("USB_CLEAR_DEV result %d", result);
        else
            RuvoInfoLog("USB_RESET_DEVEP result %d", result);
    }
    answerResult(state.fd, result, clear ? "send ClearDevEpReq result err" : "send ResetDevEpReq result err");
}

void handleLock(ConnectionState &state)
{
    USBScanLockReq request;
    if (!receiveRequest(state.fd, request, "recv ScanLockReq err"))
        return;
    int result = SANE_STATUS_INVAL;
    if (ownsHandle(state, request.devfd)) {
        result = ScanLock(request.devfd, request.info);
        RuvoInfoLog("USB_SCAN_LOCK result %d", result);
    }
    answerResult(state.fd, result, "send ScanLockReq result err");
}

void handleUsbAdfStatus(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state.fd, request, "recv ScanAdfStatusReq err"))
        return;
    USBScanAdfStatusRes response{0, SANE_STATUS_INVAL};
    if (ownsHandle(state, request.devfd))
        response.result = ScanADFStatus(request.devfd, &response.st);
    answerRecord(state.fd, response, "send ScanAdfStatusRes err");
}

void handleUsbProperties(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state.fd, request, "recv ScanDevicePropertiesReq err"))
        return;
    USBScanDevicePropertiesRes response;
    std::memset(&response, 0, sizeof(response));
    response.result = SANE_STATUS_INVAL;
    if (ownsHandle(state, request.devfd))
        response.result = ScanDeviceProperties(request.devfd, &response.st);
    answerRecord(state.fd, response, "send ScanDevicePropertiesRes err");
}

void handleDeleteFile(ConnectionState &state)
{
    CmdDeleteFileReq request;
    if (!receiveRequest(state.fd, request, "recv CmdDeleteFileReq err"))
        return;
    TerminateTextField(request.fileName, sizeof(request.fileName));
    DeleteScanFile(state.scanDir, request.fileName);
}

void terminateSocket(RuvoSocket &socket)
{
    TerminateTextField(socket.szScannerIP, sizeof(socket.szScannerIP));
}

void handleSendOsl(ConnectionState &state)
{
    TCPOSLReq request;
    if (!receiveRequest(state.fd, request, "recv TCPOSLReq err"))
        return;
    terminateSocket(request.socket);
    char *reply = nullptr;
    int length = 0;
    int result = ruvo_send_osl(&request.socket, &reply, static_cast<OSL_CMD_TYPE>(request.type), &length);
    if (result != SANE_STATUS_GOOD)
        length = 0;
    TCPOSLRes response{result, length};
    if (!sendRecord(state.fd, response))
        RuvoErrLog("send TCPOSLRes err");
    else if (length > 0 && serverTcpSendWithRetry(state.fd, reply, length, 0) != length)
        RuvoErrLog("send TCPOSLRes reply err");
    std::free(reply);
}

void handleTcpScanStart(ConnectionState &state)
{
    TCPScanStartReq request;
    std::memset(&request, 0, sizeof(request));
    size_t received = RecvWhole(state.fd, &request, sizeof(request), kBodyTimeoutMs);
    if (received != sizeof(request)) {
        RuvoErrLog("recv ScanStartReq err len:%d", static_cast<int>(received));
        return;
    }
    terminateSocket(request.socket);
    int result = ruvo_http_ScanStart(&request.socket, &request.info);
    std::string baseName = nextScanBaseName(state);
    TCPScanStartRes response;
    std::memset(&response, 0, sizeof(response));
    std::snprintf(response.fileName, sizeof(response.fileName), "%s", baseName.c_str());
    response.socketDataFd = request.socket.tcpFromScanner;
    TcpScanContext context{state.fd, request.socket, baseName};
    result = launchDataProcess(result, tcpDataProcess, &context);
    answerScanStart(state.fd, response, result, "tcp");
}

void handleTcpScanAbort(ConnectionState &state)
{
    TCPScanAbortReq request;
    if (!receiveRequest(state.fd, request, "recv TCPScanAbortReq err"))
        return;
    terminateSocket(request.socket);
    TerminateTextField(request.fileName, sizeof(request.fileName));
    int result = ruvo_http_ScanAbort(&request.socket);
    discardScan(state, request.fileName);
    answerResult(state.fd, result, "send TCPScanAbortReq err");
}

void handleTcpAdfStatus(ConnectionState &state)
{
    TCPCommonReq request;
    if (!receiveRequest(state.fd, request, "recv TCPADFStatusReq err"))
        return;
    terminateSocket(request.socket);
    ADFStatus status = static_cast<ADFStatus>(0);
    int result = ruvo_http_adfstatus(&request.socket, &status);
    TCPADFStatusRes response{result, status};
    answerRecord(state.fd, response, "send TCPADFStatusRes err");
}

void handleTcpProperties(ConnectionState &state)
{
    TCPCommonReq request;
    if (!receiveRequest(state.fd, request, "recv ScanDevicePropertiesReq err"))
        return;
    terminateSocket(request.socket);
    TCPDevPropertiesRes response;
    std::memset(&response, 0, sizeof(response));
    response.result = ruvo_http_DeviceProperties(&request.socket, &response.devPro);
    answerRecord(state.fd, response, "send ScanDevicePropertiesRes err");
}

// Returns false for a command value this daemon does not serve.
bool dispatch(ConnectionState &state, int command)
{
    switch (command) {
    case USB_FIND_DEV: handleFindDevice(state); return true;
    case USB_OPEN_DEV:
    case USB_CLOSE_DEV:
    case USB_SCAN_UNLOCK:
    case USB_SCAN_POWERON:
    case USB_SCAN_GETSIZES: handlePlainDeviceCommand(state, command); return true;
    case USB_CLEAR_DEV:
    case USB_RESET_DEVEP: handleEndpointCommand(state, command); return true;
    case USB_SCAN_START: handleUsbScanStart(state); return true;
    case USB_SCAN_ABORT: handleUsbScanAbort(state); return true;
    case USB_SCAN_LOCK: handleLock(state); return true;
    case USB_SCAN_ADFSTATUS: handleUsbAdfStatus(state); return true;
    case USB_SCAN_DEVPROPERTIES: handleUsbProperties(state); return true;
    case USB_REOPEN_DEV: handleReopen(state); return true;
    case CMD_DELETE_FILE: handleDeleteFile(state); return true;
    case TCP_SEND_OSL: handleSendOsl(state); return true;
    case TCP_SCAN_START: handleTcpScanStart(state); return true;
    case TCP_SCAN_ABORT: handleTcpScanAbort(state); return true;
    case TCP_SCAN_ADFST: handleTcpAdfStatus(state); return true;
    case TCP_SCAN_DEVPROPERTIES: handleTcpProperties(state); return true;
    default: return false;
    }
}

} // namespace

// ---- reusable pieces ----

size_t RecvWhole(int fd, void *buffer, size_t length, int timeoutMs)
{
    auto *bytes = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < length) {
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            if (!flag)
                break;
            continue;
        }
        if (ready <= 0)
            break;
        ssize_t got = recv(fd, bytes + done, length - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

int serverTcpSendWithRetry(int fd, const void *buf, int n, int flags)
{
    const auto *bytes = static_cast<const uint8_t *>(buf);
    int done = 0;
    // A client that went away must end the sender with an error, not SIGPIPE.
    for (int attempt = 0; attempt < kSendAttempts && done < n; ++attempt) {
        ssize_t sent = send(fd, bytes + done, static_cast<size_t>(n - done), flags | MSG_NOSIGNAL);
        if (sent > 0)
            done += static_cast<int>(sent);
    }
    return done == n ? n : -1;
}

int deleteFileList(const char *basePath, const char *subStr)
{
    if (!subStr || subStr[0] == '\0') {
        RuvoInfoLog("subStr isEmpty");
        return 0;
    }
    DIR *directory = opendir(basePath);
    if (!directory)
        return -1;
    while (dirent *entry = readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (isLogFileName(entry->d_name))
            continue;
        char path[4096 + 256];
        std::snprintf(path, sizeof(path), "%s/%s", basePath, entry->d_name);
        struct stat info;
        // lstat: a symbolic link is never followed, so only files really in
        // the scan directory go.
        if (lstat(path, &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        if (std::strstr(path, subStr)) {
            RuvoInfoLog("delete file:%s", path);
            unlink(path);
        }
    }
    closedir(directory);
    return 0;
}

bool IsScanDirectoryEntryName(const std::string &scanDir, const std::string &name)
{
    std::string prefix = scanDir + "/";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string entry = name.substr(prefix.size());
    if (entry.find('/') != std::string::npos || entry == "." || entry == "..")
        return false;
    return !isLogFileName(entry.c_str());
}

bool DeleteScanFile(const std::string &scanDir, const std::string &name)
{
    if (!IsScanDirectoryEntryName(scanDir, name)) {
        RuvoErrLog("refuse to delete file outside the scan directory:%s", name.c_str());
        return false;
    }
    struct stat info;
    if (lstat(name.c_str(), &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode)) {
        RuvoErrLog("refuse to delete a file that is not a regular file:%s", name.c_str());
        return false;
    }
    return unlink(name.c_str()) == 0;
}

std::string ScanBaseName(const std::string &scanDir, int processId, int index)
{
    char name[kFileNameSize];
    std::snprintf(name, sizeof(name), "%s/ruvoscandata_%d_%d", scanDir.c_str(), processId, index);
    return name;
}

std::string PageFileName(const std::string &baseName, int page)
{
    char name[kFileNameSize + 32];
    std::snprintf(name, sizeof(name), "%s_%d.tmp", baseName.c_str(), page);
    return name;
}

void TerminateTextField(char *field, size_t size)
{
    if (size > 0)
        field[size - 1] = '\0';
}

pid_t StartDataProcess(void (*body)(void *), void *context)
{
    int gate[2];
    if (pipe2(gate, O_CLOEXEC) != 0)
        return -1;
    pid_t child = fork();
    if (child < 0) {
        close(gate[0]);
        close(gate[1]);
        return -1;
    }
    if (child == 0) {
        close(gate[1]);
        char ignored;
        // Returns when the parent has sent the start response and closed its end.
        while (read(gate[0], &ignored, 1) < 0 && errno == EINTR) {
        }
        close(gate[0]);
        body(context);
        _exit(0);
    }
    close(gate[0]);
    if (s_dataGateFd >= 0)
        close(s_dataGateFd);
    s_dataGateFd = gate[1];
    return child;
}

void ReleaseDataProcess()
{
    if (s_dataGateFd >= 0) {
        close(s_dataGateFd);
        s_dataGateFd = -1;
    }
}

void StopDataProcess()
{
    if (dataProcPid <= 0)
        return;
    kill(dataProcPid, SIGKILL);
    // Children are reaped by the system (SIGCHLD ignored): waitpid returns once
    // the process is gone, so no record of it can follow what is sent next.
    while (waitpid(dataProcPid, nullptr, 0) < 0 && errno == EINTR) {
    }
    dataProcPid = 0;
}

void ServeConnection(int fd, const std::string &scanDir)
{
    ConnectionState state{fd, scanDir, {}};
    while (flag) {
        int32_t command = 0;
        ssize_t got = recv(fd, &command, sizeof(command), MSG_WAITALL);
        logReceivedSignal();
        if (got < static_cast<ssize_t>(sizeof(command))) {
            RuvoInfoLog("pid:%d DISCONNECT FROM SERVER", static_cast<int>(getpid()));
            break;
        }
        RuvoInfoLog("pid:%d recv scanCommandType %d", static_cast<int>(getpid()), command);
        if (!dispatch(state, command))
            RuvoErrLog("undefined scanCommandType %d", command);
    }
}

// ---- process entry ----

void handler(int sig)
{
    s_receivedSignal = sig;
    flag = 0;
}

void create_daemon()
{
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    for (int round = 0; round < 2; ++round) {
        pid_t child = fork();
        if (child < 0) {
            std::printf("fork error\n");
            std::exit(1);
        }
        if (child > 0)
            _exit(0);
        if (round == 0 && setsid() < 0) {
            std::printf("setsid error\n");
            std::exit(1);
        }
    }
    if (chdir("/") != 0) {
        // Nothing relies on the working directory; carry on.
    }
    // Standard descriptors point at /dev/null rather than being closed, so no
    // socket, log or device can ever get descriptor 0, 1 or 2.
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2)
            close(null);
    }
    umask(0);
    signal(SIGCHLD, SIG_IGN);
}

int mainProc(int port)
{
    std::string scanDir = ruvo_paths::kScanDir;
    makeScanDirectory(scanDir);
    RuvoInitDbg(scanDir.c_str());

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        RuvoErrLog("bind err");
        return 1;
    }
    int reuse = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    RuvoErrLog("bind port:%d", port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    // Clients and the page files they read are on this machine.
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        RuvoErrLog("bind err");
        close(listener);
        return 1;
    }
    if (listen(listener, kListenBacklog) != 0) {
        RuvoErrLog("listen err");
        close(listener);
        return 1;
    }

    while (flag) {
        int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        logReceivedSignal();
        if (connection < 0) {
            RuvoErrLog("accept err");
            continue;
        }
        int flags = fcntl(connection, F_GETFL);
        if (flags >= 0)
            fcntl(connection, F_SETFL, flags & ~O_NONBLOCK);
        // The connection carries 16-byte records and small answers. A bounded
        // send buffer makes the data process of a client that stops reading
        // wait for it, instead of the kernel queueing megabytes of records.
        int sendBuffer = kClientSendBuffer;
        setsockopt(connection, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
        pid_t child = fork();
        if (child < 0) {
            RuvoErrLog("fork pro err");
            close(connection);
            continue;
        }
        if (child == 0) {
            close(listener);
            signal(SIGCHLD, SIG_IGN);
            RuvoReopenDbg();
            ServeConnection(connection, scanDir);
            close(connection);
            _exit(0);
        }
        RuvoInfoLog("new conn pid:%d", static_cast<int>(child));
        close(connection);
    }
    RuvoInfoLog("parent pro exit");
    close(listener);
    return 0;
}
