#pragma once
// An emulated USB printer (or several) on a umockdev test bed. libusb in a
// process that carries the umockdev preload sees the printers as real devices:
// it enumerates them, reads their descriptors and serial numbers, claims the
// printer interface and exchanges bulk data. The printer answers a read of its
// network settings, applies a write of them, and takes anything else (a
// firmware image) as opaque data; every byte sent to it is recorded.
//
// The handlers run on the test bed's own thread; everything here may be
// called from any thread.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace usbemu {

using Bytes = std::vector<uint8_t>;

enum class ClaimBehaviour {
    Free,                 // the claim succeeds
    HeldByKernelDriver,   // the printer driver holds it until it is detached
    AlwaysBusyAfterDetach,// the driver detaches, yet the claim still fails
    AlwaysBusyNoDriver,   // the claim fails and there is no driver to detach
};

// The printer's network settings as its firmware keeps them (texts as sent).
struct NetworkSettings {
    bool bStatic = false;
    // address, subnet, gateway, primary DNS, secondary DNS, primary WINS, secondary WINS
    std::array<std::string, 7> addresses{"192.168.0.50", "255.255.255.0", "192.168.0.1",
                                         "192.168.0.1", "8.8.8.8", "0.0.0.0", "0.0.0.0"};
};

struct PrinterConfig {
    uint16_t vendorId = 0x7A3E;
    uint16_t productId = 0x0402;         // "Ruvo K400N"
    std::string serial = "RV40N00001";   // empty: the device names no serial string
    bool bPrinterInterface = true;       // false: vendor-class interface only
    uint8_t outEndpoint = 0x01;
    ClaimBehaviour claim = ClaimBehaviour::Free;
    bool bUnopenable = false;            // node mode 000 (effective for clients without DAC override)
    int openableTimes = -1;              // node becomes unopenable after this many opens
    bool bReplyNever = false;            // reads are answered by nothing (they time out)
    int shortWriteBy = 0;                // OUT transfers accept this many bytes fewer
    bool bFailBulkOut = false;           // OUT transfers stall
    int vanishAfterOpens = -1;           // later opens find a device that is gone
    long long stallOutAfterBytes = -1;   // per open: once this many bytes were taken, the printer
                                         // stops reading (OUT transfers stay pending until cancelled)
    int outDelayMs = 0;                  // each OUT transfer is taken this much later (a slow printer)
    int unplugAtOutTransfer = -1;        // pulled out when the host submits this OUT transfer (0-based,
                                         // counted over all opens); Unplug() below then follows by itself
    int replugAfterMs = -1;              // and plugged back this much later (stays out when negative)
};

// Like the kernel (usbfs_memory_mb, 16 MiB by default), the emulated usbfs
// refuses with ENOMEM a request whose buffer does not fit its memory limit.
constexpr int c_iUsbfsMemoryLimit = 16 * 1024 * 1024;

// Builds the printer's answer to a network-settings read: the item layer cut
// into 64-byte blocks, each starting with a 5-byte block header.
Bytes EncodeSettingsReply(const NetworkSettings &settings);
// Applies a 75-byte write frame; false when the frame is not one.
bool ApplySettingsWrite(const Bytes &frame, NetworkSettings &settings);

struct PrinterListEntry {
    std::string name;
    std::string model;
    int connectType = 1;
    std::string port;
    std::string uri;
};
// Writes a printer list file in the suite's INI format.
bool WritePrinterList(const std::string &path, const std::vector<PrinterListEntry> &entries);

class Emulator {
public:
    Emulator();
    ~Emulator();
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    bool IsValid() const;
    // Adds a printer on its own device node; returns its index or -1.
    int AddPrinter(const PrinterConfig &config);
    std::string RootDir() const;
    std::string DeviceNode(int printer) const; // "/dev/bus/usb/001/00N"

    // Every OUT bulk transfer the printer accepted, in order, with its bytes.
    std::vector<Bytes> OutTransfers(int printer) const;
    int OutTransferAttempts(int printer) const; // submitted, accepted or not
    int Opens(int printer) const;
    bool KernelDriverAttached(int printer) const;
    NetworkSettings Settings(int printer) const;
    void SetSettings(int printer, const NetworkSettings &settings);
    // The next read is answered with these bytes instead of the settings.
    void SetRawReply(int printer, const Bytes &reply);
    void ClearRecords(int printer);

    // Pulls the printer out (on the emulator's own thread, soon after the
    // call): hot-plug listeners get the "remove" uevent, the node and sysfs
    // entries go, and then every transfer fails with ENODEV, pending ones
    // included. PlugBack waits for that and adds it again ("add" uevent).
    void Unplug(int printer);
    // Pulls the printer out when the host submits the OUT transfer this many
    // after the ones submitted so far (0: the next one), as unplugAtOutTransfer.
    void UnplugAtOutTransfer(int printer, int fromNow);
    void PlugBack(int printer);
    bool Present(int printer) const;
    // Switches bReplyNever: a printer that answered nothing answers again.
    void SetReplyNever(int printer, bool never);
    // Waits up to `limitMs` for the printer to be out (or, with false, back in).
    bool WaitUntilPresent(int printer, bool present, int limitMs) const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The preload library that lets a process see the test bed.
const char *PreloadLibrary();
// For tests that call libusb in their own process: re-executes the program
// with the preload when it is not loaded yet. Returns only when loaded.
void EnsurePreloaded(int argc, char **argv);

// While alive, the calling thread opens files under their permission bits
// like an ordinary user would (root's override is dropped for this thread).
class ScopedOrdinaryFileAccess {
public:
    ScopedOrdinaryFileAccess();
    ~ScopedOrdinaryFileAccess();
    ScopedOrdinaryFileAccess(const ScopedOrdinaryFileAccess &) = delete;
    ScopedOrdinaryFileAccess &operator=(const ScopedOrdinaryFileAccess &) = delete;

private:
    bool m_bDropped = false;
};

} // namespace usbemu
