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

void handleUsbScanStart(ConnectionState &state)
{
    USBCommonReq request;
    if (!receiveRequest(state, request, "recv ScanStartReq err"))
        return;
    USBScanStartRes response;
    std::memset(&response, 0, sizeof(response));
    std::string baseName = nextScanBaseName(state);
    std::snprintf(response.fileName, sizeof(response.fileName), "%s", baseName.c_str());
    int result = ruvo_wire::RESULT_INVALID;
    if (ownsHandle(state, request.devfd)) {
        ScannerClaim claim(state, request.devfd);
        if (lockedByAnother(claim, USB_SCAN_START)) {
            result = ruvo_wire::RESULT_BUSY;
        } else if (ownerUnknown(state)) {
            result = ruvo_wire::RESULT_ACCESS_DENIED;
        } else if (scanRunning(state)) {
            result = ruvo_wire::RESULT_BUSY;
        } else {
            result = ScanStart(request.devfd);
            if (result == ruvo_wire::RESULT_GOOD) {
                int devfd = request.devfd;
                bool started = startRecordLoop(state, baseName, RecordLayout::Usb,
                                               [devfd] { return UsbRecordSource(devfd); });
                if (started) {
                    state.usbScanHandle = devfd;
                    state.usbScanInDataProcess = true;
                    state.usbScanSettled = false;
                } else {
                    RuvoErrLog("create data proc err");
                    // Nobody would read what the scanner sends.
                    ScanAbort(devfd);
                    result = ruvo_wire::RESULT_NO_MEMORY;
                }
            }
        }
    }
    answerScanStart(state, response, result, "usb");
}

void handleUsbScanAbort(ConnectionState &state)
{
    USBScanAbortReq request;
    if (!receiveRequest(state, request, "recv ScanAbortReq err"))
        return;
    std::optional<std::string> fileName = takeField(state, request.fileName, sizeof(request.fileName), "fileName");
    int result = ruvo_wire::RESULT_INVALID;
    std::optional<ScannerClaim> claim;
    if (fileName && ownsHandle(state, request.devfd))
        claim.emplace(state, request.devfd);
    if (claim && lockedByAnother(*claim, USB_SCAN_ABORT)) {
        result = ruvo_wire::RESULT_BUSY;
    } else if (claim) {
        // The data process ends first, between two of its transfers: only one
        // process may talk to the scanner, and the abort's own exchange must not
        // reach the data process. Its pages then go, so none is written again
        // after the removal, and no record follows the abort result.
        state.data.interrupt(state.limits.stopGraceMs);
        settleUsbScan(state);
        result = ScanAbort(request.devfd);
        if (state.usbScanHandle == request.devfd)
            state.usbScanSettled = true;
        deletePagesOfScan(state, *fileName);
    }
    answerResult(state, result, "send ScanAbortReq result err");
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
    if (!receiveRequest(state, request, messages.receiveError))
        return;
    int result = ruvo_wire::RESULT_INVALID;
    if (ownsHandle(state, request.devfd)) {
        switch (command) {
        case USB_OPEN_DEV:
            result = ruvo_init(request.devfd);
            RuvoInfoLog("USB_OPEN_DEV result %d", result);
            break;
        case USB_CLOSE_DEV:
            ruvo_close_device(request.devfd);
            forgetHandle(state, request.devfd);
            result = ruvo_wire::RESULT_GOOD;
            RuvoInfoLog("USB_CLOSE_DEV result %d", result);
            break;
        case USB_SCAN_UNLOCK: {
            ScannerClaim claim(state, request.devfd);
            if (lockedByAnother(claim, command)) {
                result = ruvo_wire::RESULT_BUSY;
                break;
            }
            result = ScanUnlock(request.devfd);
            if (state.locked.erase(request.devfd) != 0)
                flock(request.devfd, LOCK_UN);
            break;
        }
        case USB_SCAN_POWERON: result = ScanPowerOn(request.devfd); break;
        case USB_SCAN_GETSIZES: result = ScanGetScanSizes(request.devfd); break;
        default: break;
        }
    }
    answerResult(state, result, messages.sendError);
}

void handleEndpointCommand(ConnectionState &state, int command)
{
    bool clear = command == USB_CLEAR_DEV;
    USBClearDevEpReq request;
    if (!receiveRequest(state, request, clear ? "recv ClearDevEpReq err" : "recv ResetDevEpReq err"))
        return;
    int result = ruvo_wire::RESULT_INVALID;
    std::optional<ScannerClaim> claim;
    if (ownsHandle(state, request.devfd))
        claim.emplace(state, request.devfd);
    if (claim && lockedByAnother(*claim, command)) {
        result = ruvo_wire::RESULT_BUSY;
    } else if (claim) {
        result = clear ? ruvo_clear_halt(request.devfd, request.ep) : ruvo_resetep(request.devfd, request.ep);
        if (clear)
            RuvoInfoLog("USB_CLEAR_DEV result %d", result);
        else
            RuvoInfoLog("USB_RESET_DEVEP result %d", result);
    }
    answerResult(state, result, clear ? "send ClearDevEpReq result err" : "send ResetDevEpReq result err");
}

void handleLock(ConnectionState &state)
{
    USBScanLockReq request;
    if (!receiveRequest(state, request, "recv ScanLockReq err"))
        return;
    int result = ruvo_wire::RESULT_INVALID;
    std::optional<ScannerClaim> claim;
    if (ownsHandle(state, request.devfd))
        claim.emplace(state, request.devfd);
    if (claim && lockedByAnother(*claim, USB_SCAN_LOCK)) {
        result = ruvo_wire::RESULT_BUSY;
    } else if (claim) {
        result = ScanLock(request.devfd, request.info);
        RuvoInfoLog("USB_SCAN_LOCK result %d", result);
        if (result == ruvo_wire::RESULT_GOOD) {
            claim->keep();
            state.locked.insert(request.devfd);
        }
    }
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
