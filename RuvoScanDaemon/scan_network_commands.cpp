// The commands a client sends for a network scanner: the scanner's own
// requests passed on, and a network scan's start and abort. Every one names
// the scanner's address, which must be a terminated text.
#include "scan_connection_state.h"

#include "ruvo_network.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

bool takeScannerAddress(ConnectionState &state, const RuvoSocket &socket)
{
    return takeField(state, socket.szScannerIP, sizeof(socket.szScannerIP), "szScannerIP").has_value();
}

void handleSendOsl(ConnectionState &state)
{
    TCPOSLReq request;
    if (!receiveRequest(state, request, "recv TCPOSLReq err"))
        return;
    char *reply = nullptr;
    int length = 0;
    int result = ruvo_wire::RESULT_INVALID;
    if (takeScannerAddress(state, request.socket))
        result = ruvo_send_osl(&request.socket, &reply, static_cast<OSL_CMD_TYPE>(request.type), &length);
    std::unique_ptr<char, decltype(&std::free)> replyOwner(reply, &std::free);
    if (result != ruvo_wire::RESULT_GOOD)
        length = 0;
    TCPOSLRes response{result, length};
    if (!sendRecord(state, response))
        RuvoErrLog("send TCPOSLRes err");
    else if (length > 0 && !SendToClient(state.fd, reply, static_cast<size_t>(length), state.limits.sendStallMs))
        RuvoErrLog("send TCPOSLRes reply err");
}

void handleTcpScanStart(ConnectionState &state)
{
    TCPScanStartReq request;
    std::memset(&request, 0, sizeof(request));
    size_t received = receiveFromClient(state, &request, sizeof(request));
    if (received != sizeof(request)) {
        noteMalformed(state, "recv ScanStartReq err len:" + std::to_string(received));
        return;
    }
    std::string baseName = nextScanBaseName(state);
    TCPScanStartRes response;
    std::memset(&response, 0, sizeof(response));
    std::snprintf(response.fileName, sizeof(response.fileName), "%s", baseName.c_str());
    response.socketDataFd = -1;
    int result = ruvo_wire::RESULT_INVALID;
    if (takeScannerAddress(state, request.socket)) {
        if (ownerUnknown(state)) {
            result = ruvo_wire::RESULT_ACCESS_DENIED;
        } else if (scanRunning(state)) {
            result = ruvo_wire::RESULT_BUSY;
        } else {
            result = ruvo_http_ScanStart(&request.socket, &request.info);
            response.socketDataFd = request.socket.tcpFromScanner;
            if (result == ruvo_wire::RESULT_GOOD) {
                RuvoSocket socket = request.socket;
                bool started = startRecordLoop(state, baseName, RecordLayout::Network,
                                               [socket] { return NetworkRecordSource(socket); });
                if (started) {
                    // The data process owns the record channel from now on: when
                    // it ends, for whatever reason, the scanner sees it closed.
                    ruvo_tcp_ReleaseRecordChannel();
                } else {
                    RuvoErrLog("create data proc err");
                    // Nobody would read the channel: close it and stop the scanner.
                    ruvo_http_ScanAbort(&request.socket);
                    result = ruvo_wire::RESULT_NO_MEMORY;
                }
            }
        }
    }
    answerScanStart(state, response, result, "tcp");
}

void handleTcpScanAbort(ConnectionState &state)
{
    TCPScanAbortReq request;
    if (!receiveRequest(state, request, "recv TCPScanAbortReq err"))
        return;
    std::optional<std::string> fileName = takeField(state, request.fileName, sizeof(request.fileName), "fileName");
    int result = ruvo_wire::RESULT_INVALID;
    if (fileName && takeScannerAddress(state, request.socket)) {
        result = ruvo_http_ScanAbort(&request.socket);
        state.data.stop();
        settleUsbScan(state);
        deletePagesOfScan(state, *fileName);
    }
    answerResult(state, result, "send TCPScanAbortReq err");
}

void handleTcpAdfStatus(ConnectionState &state)
{
    TCPCommonReq request;
    if (!receiveRequest(state, request, "recv TCPADFStatusReq err"))
        return;
    ADFStatus status = static_cast<ADFStatus>(0);
    int result = ruvo_wire::RESULT_INVALID;
    if (takeScannerAddress(state, request.socket))
        result = ruvo_http_adfstatus(&request.socket, &status);
    TCPADFStatusRes response{result, status};
    answerRecord(state, response, "send TCPADFStatusRes err");
}

void handleTcpProperties(ConnectionState &state)
{
    TCPCommonReq request;
    if (!receiveRequest(state, request, "recv ScanDevicePropertiesReq err"))
        return;
    TCPDevPropertiesRes response;
    std::memset(&response, 0, sizeof(response));
    response.result = ruvo_wire::RESULT_INVALID;
    if (takeScannerAddress(state, request.socket))
        response.result = ruvo_http_DeviceProperties(&request.socket, &response.devPro);
    answerRecord(state, response, "send ScanDevicePropertiesRes err");
}

} // namespace

bool DispatchNetworkCommand(ConnectionState &state, int command)
{
    switch (command) {
    case TCP_SEND_OSL: handleSendOsl(state); return true;
    case TCP_SCAN_START: handleTcpScanStart(state); return true;
    case TCP_SCAN_ABORT: handleTcpScanAbort(state); return true;
    case TCP_SCAN_ADFST: handleTcpAdfStatus(state); return true;
    case TCP_SCAN_DEVPROPERTIES: handleTcpProperties(state); return true;
    default: return false;
    }
}
