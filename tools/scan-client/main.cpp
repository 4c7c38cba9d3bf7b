// scan-client: talks to the scan daemon from the command line.
//
//   scan-client [--port N] list VID [PID]       lists the scanners of a vendor (hex ids)
//   scan-client [--port N] scan VID PID         scans every page and prints the page files
//   scan-client [--port N] abort VID PID        starts a scan and aborts it at the first page
//
// Without --port it talks over the daemon's local socket (RUVO_SCAN_SOCKET, or
// the installed path) and only once the scan service is found to hold it;
// --port N goes to loopback TCP, where nothing tells who listens.
//
// Page files stay in the scan directory; the daemon's client removes them with
// the delete command when it is done with them.

#include "scan_client.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: scan-client [--port N] list VID [PID]\n"
                 "       scan-client [--port N] scan VID PID\n"
                 "       scan-client [--port N] abort VID PID\n");
    return 2;
}

uint16_t hexId(const char *text)
{
    return static_cast<uint16_t>(std::strtoul(text, nullptr, 16));
}

int list(ScanClient &client, uint16_t vendor, uint16_t product, bool compareProduct)
{
    int32_t count = 0;
    std::vector<USBFindDevRes> devices;
    if (!client.findDevices(vendor, product, compareProduct, count, devices)) {
        std::fprintf(stderr, "scan-client: the daemon did not answer\n");
        return 1;
    }
    std::printf("%d scanner(s)\n", count);
    for (const USBFindDevRes &device : devices)
        std::printf("handle %d  %04x:%04x  %s | %s | serial %s\n", device.fd, device.vid, device.pid,
                    FieldText(device.Manufacturer, sizeof(device.Manufacturer)).c_str(),
                    FieldText(device.Product, sizeof(device.Product)).c_str(),
                    FieldText(device.SerialNumber, sizeof(device.SerialNumber)).c_str());
    return count > 0 ? 0 : 1;
}

int scan(ScanClient &client, uint16_t vendor, uint16_t product, bool abortAtFirstPage)
{
    int32_t count = 0;
    std::vector<USBFindDevRes> devices;
    if (!client.findDevices(vendor, product, true, count, devices) || devices.empty()) {
        std::fprintf(stderr, "scan-client: no scanner %04x:%04x\n", vendor, product);
        return 1;
    }
    int32_t devfd = devices.front().fd;
    int32_t result = 0;
    if (!client.plainCommand(USB_OPEN_DEV, devfd, result) || result != 0) {
        std::fprintf(stderr, "scan-client: open failed (%d)\n", result);
        return 1;
    }
    if (!client.lock(devfd, DefaultScanSettings(), result) || result != 0) {
        std::fprintf(stderr, "scan-client: lock failed (%d)\n", result);
        return 1;
    }
    USBScanStartRes start{};
    if (!client.scanStart(devfd, start) || start.result != 0) {
        std::fprintf(stderr, "scan-client: start failed (%d)\n", start.result);
        client.plainCommand(USB_SCAN_UNLOCK, devfd, result);
        return 1;
    }
    std::string baseName = FieldText(start.fileName, sizeof(start.fileName));
    int pages = 0;
    long long bytes = 0;
    USBScanRecordRes record{};
    while (client.nextRecord(record)) {
        if (record.st == SCAN_STATUS_BEGIN_OF_PAGE)
            pages = record.fileIndex + 1;
        bytes += record.dataSize;
        if (abortAtFirstPage && record.st == SCAN_STATUS_BEGIN_OF_PAGE) {
            client.abort(devfd, baseName, result);
            std::printf("aborted (result %d); page files of %s removed\n", result, baseName.c_str());
            client.plainCommand(USB_CLOSE_DEV, devfd, result);
            return 0;
        }
        if (record.result != 0)
            break;
    }
    client.plainCommand(USB_SCAN_UNLOCK, devfd, result);
    client.plainCommand(USB_CLOSE_DEV, devfd, result);
    return ReportScanEnd(record.result, pages, bytes, baseName);
}

} // namespace

int main(int argc, char **argv)
{
    const ClientCommandLine line = ParseClientCommandLine(argc, argv);
    const int first = line.first;
    if (argc - first < 2)
        return usage();
    std::string action = argv[first];
    ScanClient client;
    if (!ConnectToDaemon(client, line.port, "scan-client"))
        return 1;
    if (action == "list")
        return list(client, hexId(argv[first + 1]), argc - first > 2 ? hexId(argv[first + 2]) : 0, argc - first > 2);
    if (argc - first < 3)
        return usage();
    if (action == "scan")
        return scan(client, hexId(argv[first + 1]), hexId(argv[first + 2]), false);
    if (action == "abort")
        return scan(client, hexId(argv[first + 1]), hexId(argv[first + 2]), true);
    return usage();
}
