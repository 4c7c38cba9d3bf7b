#include "discovery.h"

#include "backend_config.h"
#include "debug_log.h"
#include "model_rows.h"
#include "product_paths.h"
#include "scan_types.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sys/stat.h>

namespace ruvo_sane {

namespace {


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

} // namespace

std::string FieldText(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}


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

} // namespace

bool FindUsbScanners(DaemonLink &link, uint16_t productId, std::vector<USBFindDevRes> &found)
{
    USBFindDevReq request{};
    request.vid = ruvo_models::kVendorId;
    request.pid = productId;
    request.compareWithPID = productId != 0;
    return link.command(USB_FIND_DEV, &request, sizeof(request)) &&
           ruvo_wire::ReceiveFoundDevices(link.descriptor(), ruvo_wire::DeadlineIn(kAnswerTimeoutMs), found);
}

std::string CleanSerial(const USBFindDevRes &device)
{
    std::string serial = FieldText(device.SerialNumber, sizeof(device.SerialNumber));
    serial.erase(std::remove_if(serial.begin(), serial.end(), [](char c) { return c <= ' ' || c > '~'; }),
                 serial.end());
    return serial.substr(0, 64);
}

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
        if (!FindUsbScanners(link, 0, found))
            Debug(kDebugError, "the scan daemon did not answer the USB scanner search");
        for (const USBFindDevRes &device : found) {
            const ruvo_models::ModelRow *row =
                ruvo_models::FindByUsbIds(static_cast<uint16_t>(device.vid), static_cast<uint16_t>(device.pid));
            if (row)
                devices.push_back(usbEntry(row->productId, CleanSerial(device), row->code));
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

} // namespace ruvo_sane
