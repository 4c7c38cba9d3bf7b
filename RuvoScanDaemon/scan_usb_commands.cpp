// The commands a client sends for a USB scanner: search and reopen, the
// device commands, the scanner's lock between connections, and a USB scan's
// start and abort.
#include "scan_connection_state.h"

#include "ruvo_usb.h"
#include "scan_protocol.h"

#include <cstdio>
#include <vector>

namespace {

void handleFindDevice(ConnectionState &state)
{
    USBFindDevReq request;
    if (!receiveRequest(state, request, "recv FindDevReq err"))
        return;
    std::vector<RUVO_USB_DEV> table(kMaxUsbDevices);
    std::memset(table.data(), 0, table.size() * sizeof(RUVO_USB_DEV));
    int32_t count = ruvo_find_device(static_cast<uint16_t>(request.vid), static_cast<uint16_t>(request.pid),
                                     table.data(), request.compareWithPID);
    std::vector<USBFindDevRes> descriptions;
    for (int i = 0; i < count; ++i) {
        const RUVO_USB_DEV &device = table[static_cast<size_t>(i)];
        // The strings are read through the new handle, never through one that
        // a running scan may be using.
        USBFindDevRes description = converToDevRes(device.fd, device.dev_des);
        std::optional<DeviceNodeId> node = DeviceNodeOf(device.fd);
        if (std::optional<int> held = state.handles.find(node)) {
            // A device node this connection already holds: the same handle
            // again, so repeated searches do not pile up descriptors.
            ruvo_close_device(device.fd);
            description.fd = *held;
        } else {
            state.handles.add(device.fd, node);
        }
        descriptions.push_back(description);
    }
    if (!sendResult(state, count)) {
        RuvoErrLog("send dev count err");
        return;
    }
    for (const USBFindDevRes &description : descriptions) {
        if (!sendRecord(state, description)) {
            RuvoErrLog("send FindDevRes err");
            return;
        }
    }
}

void forgetHandle(ConnectionState &state, int devfd)
{
    state.handles.remove(devfd);
    state.locked.erase(devfd);
    if (state.usbScanHandle == devfd)
        state.usbScanHandle = -1;
}

void handleReopen(ConnectionState &state)
{
    USBReopenDevReq request;
    USBReopenDevRes response{ruvo_wire::RESULT_IO_ERROR, 0};
    if (!receiveRequest(state, request, "recv USBReopenDevReq err")) {
        sendRecord(state, response);
        return;
    }
    std::optional<std::string> serial = takeField(state, request.SerialNumber, sizeof(request.SerialNumber),
                                                  "SerialNumber");
    if (!serial || !ownsHandle(state, request.devfd)) {
        response.ret = ruvo_wire::RESULT_INVALID;
        sendRecord(state, response);
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
            if (*serial == description.SerialNumber) {
                taken = device.fd;
                continue;
            }
        }
        // Handles of the search that are not taken would otherwise stay open
        // with no way for the client to name them.
        ruvo_close_device(device.fd);
    }
    if (taken >= 0) {
        std::optional<DeviceNodeId> node = DeviceNodeOf(taken);
        std::optional<int> held = state.handles.find(node);
        ruvo_close_device(request.devfd);
        forgetHandle(state, request.devfd);
        if (held && *held != request.devfd) {
            ruvo_close_device(taken);
            taken = *held;
        } else {
            state.handles.add(taken, node);
        }
        response.fd = taken;
        response.ret = ruvo_init(taken);
    }
    sendRecord(state, response);
}

// Starts the scanner and the data process that reads it.
int startUsbScan(ConnectionState &state, int devfd, const std::string &baseName)
{
    int result = ScanStart(devfd);
    if (result != ruvo_wire::RESULT_GOOD)
        return result;
    if (!startRecordLoop(state, baseName, RecordLayout::Usb, [devfd] { return UsbRecordSource(devfd); })) {
        RuvoErrLog("create data proc err");
        // Nobody would read what the scanner sends.
        ScanAbort(devfd);
        return ruvo_wire::RESULT_NO_MEMORY;
    }
    state.usbScanHandle = devfd;
    state.usbScanInDataProcess = true;
    state.usbScanSettled = false;
    return result;
}

void handleUsbScanStart(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state, request, "recv ScanStartReq err"))
        return;
    USBScanStartRes response;
    std::memset(&response, 0, sizeof(response));
    std::string baseName = nextScanBaseName(state);
    std::snprintf(response.fileName, sizeof(response.fileName), "%s", baseName.c_str());
    int result = withScannerClaim(state, request.devfd, USB_SCAN_START, [&](ScannerClaim &) {
        if (ownerUnknown(state))
            return static_cast<int>(ruvo_wire::RESULT_ACCESS_DENIED);
        if (scanRunning(state))
            return static_cast<int>(ruvo_wire::RESULT_BUSY);
        return startUsbScan(state, request.devfd, baseName);
    });
    answerScanStart(state, response, result, "usb");
}

void handleUsbScanAbort(ConnectionState &state)
{
    USBScanAbortReq request;
    if (!receiveRequest(state, request, "recv ScanAbortReq err"))
        return;
    std::optional<std::string> fileName = takeField(state, request.fileName, sizeof(request.fileName), "fileName");
    int result = ruvo_wire::RESULT_INVALID;
    if (fileName)
        result = withScannerClaim(state, request.devfd, USB_SCAN_ABORT, [&](ScannerClaim &) {
            // The data process ends first, between two of its transfers: only one
            // process may talk to the scanner, and the abort's own exchange must
            // not reach the data process. Its pages then go, so none is written
            // again after the removal, and no record follows the abort result.
            state.data.interrupt(state.limits.stopGraceMs);
            settleUsbScan(state);
            int aborted = ScanAbort(request.devfd);
            if (state.usbScanHandle == request.devfd)
                state.usbScanSettled = true;
            deletePagesOfScan(state, *fileName);
            return aborted;
        });
    answerResult(state, result, "send ScanAbortReq result err");
}

// What the commands that take only a devfd and answer a plain result log.
struct PlainCommandTexts {
    const char *receiveError;
    const char *sendError; // null: not logged
};

std::optional<PlainCommandTexts> plainCommandTexts(int command)
{
    switch (command) {
    case USB_OPEN_DEV: return PlainCommandTexts{"recv OpenDevReq err", nullptr};
    case USB_CLOSE_DEV: return PlainCommandTexts{"recv CloseDevReq err", "send CloseDevReq result err"};
    case USB_SCAN_UNLOCK: return PlainCommandTexts{"recv ScanUnlockReq err", "send ScanUnlockReq result err"};
    case USB_SCAN_POWERON: return PlainCommandTexts{"recv ScanPowerOnReq err", "send ScanPowerOnReq result err"};
    case USB_SCAN_GETSIZES: return PlainCommandTexts{"recv ScanGetSizesReq err", "send ScanGetSizesReq result err"};
    default: return std::nullopt;
    }
}

int unlockScanner(ConnectionState &state, int devfd)
{
    ScannerClaim claim(state, devfd);
    if (lockedByAnother(claim, USB_SCAN_UNLOCK))
        return ruvo_wire::RESULT_BUSY;
    int result = ScanUnlock(devfd);
    if (state.locked.erase(devfd) != 0)
        flock(devfd, LOCK_UN);
    return result;
}

// Runs a plain command on one of this connection's handles.
int runPlainDeviceCommand(ConnectionState &state, int command, int devfd)
{
    int result = ruvo_wire::RESULT_INVALID;
    switch (command) {
    case USB_OPEN_DEV:
        result = ruvo_init(devfd);
        RuvoInfoLog("USB_OPEN_DEV result %d", result);
        break;
    case USB_CLOSE_DEV:
        ruvo_close_device(devfd);
        forgetHandle(state, devfd);
        result = ruvo_wire::RESULT_GOOD;
        RuvoInfoLog("USB_CLOSE_DEV result %d", result);
        break;
    case USB_SCAN_UNLOCK: result = unlockScanner(state, devfd); break;
    case USB_SCAN_POWERON: result = ScanPowerOn(devfd); break;
    case USB_SCAN_GETSIZES: result = ScanGetScanSizes(devfd); break;
    default: break;
    }
    return result;
}

void handlePlainDeviceCommand(ConnectionState &state, int command)
{
    std::optional<PlainCommandTexts> texts = plainCommandTexts(command);
    if (!texts)
        return;
    USBCommonReq request;
    if (!receiveRequest(state, request, texts->receiveError))
        return;
    int result = ruvo_wire::RESULT_INVALID;
    if (ownsHandle(state, request.devfd))
        result = runPlainDeviceCommand(state, command, request.devfd);
    answerResult(state, result, texts->sendError);
}

void handleEndpointCommand(ConnectionState &state, int command)
{
    bool clear = command == USB_CLEAR_DEV;
    USBClearDevEpReq request;
    if (!receiveRequest(state, request, clear ? "recv ClearDevEpReq err" : "recv ResetDevEpReq err"))
        return;
    int result = withScannerClaim(state, request.devfd, command, [&](ScannerClaim &) {
        int done = clear ? ruvo_clear_halt(request.devfd, request.ep) : ruvo_resetep(request.devfd, request.ep);
        RuvoInfoLog(clear ? "USB_CLEAR_DEV result %d" : "USB_RESET_DEVEP result %d", done);
        return done;
    });
    answerResult(state, result, clear ? "send ClearDevEpReq result err" : "send ResetDevEpReq result err");
}

void handleLock(ConnectionState &state)
{
    USBScanLockReq request;
    if (!receiveRequest(state, request, "recv ScanLockReq err"))
        return;
    int result = withScannerClaim(state, request.devfd, USB_SCAN_LOCK, [&](ScannerClaim &claim) {
        int locked = ScanLock(request.devfd, request.info);
        RuvoInfoLog("USB_SCAN_LOCK result %d", locked);
        if (locked == ruvo_wire::RESULT_GOOD) {
            claim.keep();
            state.locked.insert(request.devfd);
        }
        return locked;
    });
    answerResult(state, result, "send ScanLockReq result err");
}

void handleUsbAdfStatus(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state, request, "recv ScanAdfStatusReq err"))
        return;
    USBScanAdfStatusRes response{0, ruvo_wire::RESULT_INVALID};
    if (ownsHandle(state, request.devfd))
        response.result = ScanADFStatus(request.devfd, &response.st);
    answerRecord(state, response, "send ScanAdfStatusRes err");
}

void handleUsbProperties(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state, request, "recv ScanDevicePropertiesReq err"))
        return;
    USBScanDevicePropertiesRes response;
    std::memset(&response, 0, sizeof(response));
    response.result = ruvo_wire::RESULT_INVALID;
    if (ownsHandle(state, request.devfd))
        response.result = ScanDeviceProperties(request.devfd, &response.st);
    answerRecord(state, response, "send ScanDevicePropertiesRes err");
}

} // namespace

bool DispatchUsbCommand(ConnectionState &state, int command)
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
    default: return false;
    }
}
