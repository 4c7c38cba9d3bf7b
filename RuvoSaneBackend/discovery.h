#pragma once
// Which scanners there are: the USB scanners the daemon finds, the network
// scanners of ruvo.conf and of the product's printer list, and the device
// names a front end hands back.

#include "daemon_link.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct USBFindDevRes;

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
// known form, and for a network scanner nobody configured or listed.
std::optional<DeviceEntry> EntryFromName(const std::string &name);
// Where ruvo.conf is read from: the folders of SANE_CONFIG_DIR, then /etc/sane.d.
std::vector<std::string> ConfigFolders();
// How ruvo.conf says the daemon is reached (its local socket unless it names TCP).
DaemonRoute ConfiguredDaemonRoute();

// Asks the daemon for the scanners of `productId` (0: every product of the
// maker). The handles it opens for them stay open in its connection process.
bool FindUsbScanners(DaemonLink &link, uint16_t productId, std::vector<USBFindDevRes> &found);
// A found scanner's serial number fit for a device name: printable ASCII.
std::string CleanSerial(const USBFindDevRes &device);

// A text field of a wire record, which need not end in a zero byte.
std::string FieldText(const char *field, size_t size);

} // namespace ruvo_sane
