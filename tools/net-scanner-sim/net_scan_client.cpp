// net-scan-client: drives the scan daemon's network scanner commands from the
// command line, over the same client connection class as scan-client.
//
//   net-scan-client [--port N] scan IP [--single-page]   scans every page, prints the page files
//   net-scan-client [--port N] caps IP                   prints the scanner's capabilities
//   net-scan-client [--port N] adf IP                    prints the document feeder state
//   net-scan-client [--port N] osl IP TYPE               prints the reply of an XML call (TYPE 0..2)

#include "scan_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: net-scan-client [--port N] scan IP [--single-page]\n"
                         "       net-scan-client [--port N] caps IP | adf IP | osl IP TYPE\n");
    return 2;
}

RuvoSocket scannerSocket(const std::string &address)
{
    RuvoSocket socket{};
    socket.tcpFromScanner = -1;
    std::snprintf(socket.szScannerIP, sizeof(socket.szScannerIP), "%s", address.c_str());
    return socket;
}

int scan(ScanClient &client, const std::string &address, bool singlePage)
{
    TCPScanStartReq request{};
    request.socket = scannerSocket(address);
    request.info = DefaultScanSettings();
    request.info.feederEnabled = true;
    request.info.isClient = singlePage ? 0 : 1;
    TCPScanStartRes start{};
    if (!client.sendCommand(TCP_SCAN_START, &request, sizeof(request)) || !client.receive(&start, sizeof(start))) {
        std::fprintf(stderr, "net-scan-client: the daemon did not answer the scan start\n");
        return 1;
    }
    if (start.result != 0) {
        std::fprintf(stderr, "net-scan-client: scan start failed (%d)\n", start.result);
        return 1;
    }
    std::string baseName = FieldText(start.fileName, sizeof(start.fileName));
    int pages = 0;
    long long bytes = 0;
    TCPRecordRes record{};
    while (client.receive(&record, sizeof(record))) {
        if (record.st == SCAN_STATUS_BEGIN_OF_PAGE)
            pages = record.fileIndex + 1;
        if (record.bufferLen > 0)
            bytes += record.bufferLen;
        if (record.result != 0)
            break;
    }
    return ReportScanEnd(record.result, pages, bytes, baseName);
}

int capabilities(ScanClient &client, const std::string &address)
{
    TCPCommonReq request{scannerSocket(address)};
    TCPDevPropertiesRes response{};
    if (!client.sendCommand(TCP_SCAN_DEVPROPERTIES, &request, sizeof(request)) ||
        !client.receive(&response, sizeof(response)))
        return 1;
    const ScannerCapabilities &c = response.devPro;
    std::printf("result %d\nduplex %d color %d minres %u maxres %u width_format %u family %u\n"
                "permprofiles %d profile %d maxWidth %u maxHeight %u basicres %u\n",
                response.result, c.duplex, c.color, c.minres, c.maxres, c.width_format, c.family, c.permprofiles,
                c.profile, c.maxWidth, c.maxHeight, c.basicres);
    return response.result == 0 ? 0 : 1;
}

int feeder(ScanClient &client, const std::string &address)
{
    TCPCommonReq request{scannerSocket(address)};
    TCPADFStatusRes response{};
    if (!client.sendCommand(TCP_SCAN_ADFST, &request, sizeof(request)) || !client.receive(&response, sizeof(response)))
        return 1;
    std::printf("result %d feeder status %d\n", response.result, response.st);
    return response.result == 0 ? 0 : 1;
}

int xmlCall(ScanClient &client, const std::string &address, int type)
{
    TCPOSLReq request{scannerSocket(address), type};
    TCPOSLRes response{};
    if (!client.sendCommand(TCP_SEND_OSL, &request, sizeof(request)) || !client.receive(&response, sizeof(response)))
        return 1;
    std::printf("result %d length %d\n", response.result, response.bufferLen);
    if (response.bufferLen > 0) {
        std::vector<char> text(static_cast<size_t>(response.bufferLen));
        if (!client.receive(text.data(), text.size()))
            return 1;
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::printf("\n");
    }
    return response.result == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const ClientCommandLine line = ParseClientCommandLine(argc, argv);
    const int first = line.first;
    if (argc - first < 2)
        return usage();
    std::string action = argv[first];
    std::string address = argv[first + 1];
    ScanClient client;
    if (!ConnectToDaemon(client, line.port, "net-scan-client"))
        return 1;
    if (action == "scan")
        return scan(client, address, argc - first > 2 && std::strcmp(argv[first + 2], "--single-page") == 0);
    if (action == "caps")
        return capabilities(client, address);
    if (action == "adf")
        return feeder(client, address);
    if (action == "osl" && argc - first > 2)
        return xmlCall(client, address, std::atoi(argv[first + 2]));
    return usage();
}
