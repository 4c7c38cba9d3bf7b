// usb-scanner-emulator: emulated USB scanners for tests and demonstrations.
//
//   usb-scanner-emulator [options] -- <command> [arguments...]
//
// Creates a umockdev test bed with one or more scanner device nodes under
// /dev/bus/usb, runs <command> with the test bed's preload environment, and
// stays until every process started from it has ended (it adopts processes that
// detach, such as the scan daemon). Each reaped process is reported on standard
// output as "reaped <pid> <status>". SIGTERM or SIGINT ends all of them first.
//
// Options:
//   --device VID:PID:SERIAL   a scanner (hex ids); repeat for more (default 1a2b:0c01:RS000001)
//   --pages N --page-bytes N --chunk-bytes N    the scan every start produces
//   --lock-busy --unknown-flag --oversize-response --abort-during-scan
//   --stray-record (a leftover scan record and abort frame before the lock answer)
//   --stall-after-pages N --endless
//   --record-dir DIR          keeps the sent page bytes and the lock frame there
//   --chart                   scans the test chart as the lock frame asks (docs/scan-page-format.md);
//                             --pages is then the number of sheets in the feeder
//   --sheet-length-mm N --boundary N --no-feeder --jam-on-page N   (chart scans)
//   --unplug-at-page N        the scanner is pulled out instead of beginning page N (0-based) of a scan
//   --unplug-after-bytes N    ... once N bytes of a scan have gone to the host
//   --replug-after-ms N       and plugged back, as a freshly powered device, N ms later
//                             (stays gone without it); "unplugged <node>" and "replugged <node>"
//                             are reported on standard output

#include "emulated_scanner.h"

#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <memory>
#include <map>
#include <mutex>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

struct EmulatedDevice {
    uint16_t vendor = 0x1a2b;
    uint16_t product = 0x0c01;
    std::string serial = "RS000001";
    std::string node;
    std::string syspath;
    std::string description;
    std::unique_ptr<EmulatedScanner> scanner;
    std::mutex mutex; // guards everything below and scanner: ioctl handlers run on the test bed's thread

    // Pulling the cable. Every open of the node is one client; a client opened
    // before an unplug belongs to a device that no longer exists, so it keeps
    // failing with ENODEV after the replug, as a stale usbfs descriptor does.
    int unplugAtPage = -1;
    long unplugAfterBytes = -1;
    bool scanSeen = false;
    int pagesBegun = 0;
    long scanBytes = 0;
    bool present = true;
    bool unplugRequested = false;
    bool stopping = false;
    int generation = 0;
    std::map<UMockdevIoctlClient *, int> clientGeneration; // holds a reference to each client
    std::condition_variable unplugged;
};

volatile sig_atomic_t s_stopRequested = 0;

void onStopSignal(int)
{
    s_stopRequested = 1;
}

std::vector<uint8_t> deviceDescriptor(const EmulatedDevice &device)
{
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64,
            static_cast<uint8_t>(device.vendor & 0xFF), static_cast<uint8_t>(device.vendor >> 8),
            static_cast<uint8_t>(device.product & 0xFF), static_cast<uint8_t>(device.product >> 8),
            0x00, 0x01, 1, 2, 3, 1};
}

std::vector<uint8_t> stringDescriptor(const std::string &text)
{
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

// True when `client` speaks to the device as it is plugged in now.
bool reachable(EmulatedDevice &device, UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> lock(device.mutex);
    auto known = device.clientGeneration.find(client);
    if (known == device.clientGeneration.end()) {
        g_object_ref(client); // keeps the pointer from being reused by a later open
        known = device.clientGeneration.emplace(client, device.generation).first;
    }
    return device.present && known->second == device.generation;
}

void requestUnplug(EmulatedDevice &device)
{
    device.present = false;
    device.unplugRequested = true;
    device.unplugged.notify_all();
}

// Watches what goes to the host during a scan: a scan record begins with
// 1B 53 02 and carries its status at byte 8 (9: begin of page).
// Returns false when the device is pulled out instead of sending `answer`.
bool passesBeforeUnplug(EmulatedDevice &device, const std::vector<uint8_t> &answer)
{
    bool record = answer.size() > 8 && answer[0] == 0x1B && answer[1] == 0x53 && answer[2] == 0x02;
    if (record)
        device.scanSeen = true;
    if (record && answer[8] == 9) {
        if (device.unplugAtPage >= 0 && device.pagesBegun >= device.unplugAtPage) {
            requestUnplug(device);
            return false;
        }
        ++device.pagesBegun;
    }
    if (!device.scanSeen || device.unplugAfterBytes < 0)
        return true;
    if (device.scanBytes + static_cast<long>(answer.size()) > device.unplugAfterBytes) {
        requestUnplug(device);
        return false;
    }
    device.scanBytes += static_cast<long>(answer.size());
    return true;
}

gboolean handleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer userData)
{
    auto *device = static_cast<EmulatedDevice *>(userData);
    if (!reachable(*device, client)) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    GError *error = nullptr;

    if (request == USBDEVFS_BULK) {
        // The argument is the client's pointer to the transfer record.
        argument = umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_bulktransfer), &error);
        if (!argument) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto *transfer = reinterpret_cast<usbdevfs_bulktransfer *>(argument->data);
        unsigned int endpoint = transfer->ep;
        unsigned int length = transfer->len;
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(argument, offsetof(usbdevfs_bulktransfer, data), length, &error);
        if (!data) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        std::lock_guard<std::mutex> lock(device->mutex);
        if ((endpoint & 0x80) == 0) {
            device->scanner->write(data->data, length);
            umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
            return TRUE;
        }
        std::vector<uint8_t> answer;
        if (!device->scanner->read(length, answer)) {
            umockdev_ioctl_client_complete(client, -1, ETIMEDOUT);
            return TRUE;
        }
        if (!passesBeforeUnplug(*device, answer)) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        umockdev_ioctl_data_update(data, 0, answer.data(), static_cast<gint>(answer.size()));
        umockdev_ioctl_client_complete(client, static_cast<glong>(answer.size()), 0);
        return TRUE;
    }
    if (request == USBDEVFS_CONTROL) {
        argument = umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_ctrltransfer), &error);
        if (!argument) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto *transfer = reinterpret_cast<usbdevfs_ctrltransfer *>(argument->data);
        uint16_t length = transfer->wLength;
        uint16_t value = transfer->wValue;
        bool getStringDescriptor = transfer->bRequestType == 0x80 && transfer->bRequest == 6 && (value >> 8) == 3;
        if (!getStringDescriptor) {
            umockdev_ioctl_client_complete(client, -1, EPIPE);
            return TRUE;
        }
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(argument, offsetof(usbdevfs_ctrltransfer, data), length, &error);
        if (!data) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        std::vector<uint8_t> descriptor;
        switch (value & 0xFF) {
        case 0: descriptor = {4, 3, 0x09, 0x04}; break;
        case 1: descriptor = stringDescriptor("Ruvo"); break;
        case 2: descriptor = stringDescriptor("Ruvo K40 MFP Scanner"); break;
        case 3: descriptor = stringDescriptor(device->serial); break;
        default: umockdev_ioctl_client_complete(client, -1, EPIPE); return TRUE;
        }
        if (descriptor.size() > length)
            descriptor.resize(length);
        umockdev_ioctl_data_update(data, 0, descriptor.data(), static_cast<gint>(descriptor.size()));
        umockdev_ioctl_client_complete(client, static_cast<glong>(descriptor.size()), 0);
        return TRUE;
    }
    if (request == USBDEVFS_RESET) {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->scanner->reset();
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    if (request == USBDEVFS_RESETEP || request == USBDEVFS_CLEAR_HALT || request == USBDEVFS_CLAIMINTERFACE ||
        request == USBDEVFS_RELEASEINTERFACE || request == USBDEVFS_IOCTL) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    return FALSE;
}

// The device file begins with the device descriptor.
gboolean handleRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer userData)
{
    auto *device = static_cast<EmulatedDevice *>(userData);
    if (!reachable(*device, client)) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    UMockdevIoctlData *argument = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> descriptor = deviceDescriptor(*device);
    size_t count = std::min(descriptor.size(), static_cast<size_t>(argument->data_len));
    umockdev_ioctl_data_update(argument, 0, descriptor.data(), static_cast<gint>(count));
    umockdev_ioctl_client_complete(client, static_cast<glong>(count), 0);
    return TRUE;
}

bool parseDevice(const char *text, EmulatedDevice &device)
{
    unsigned vendor = 0, product = 0;
    char serial[128] = {};
    if (std::sscanf(text, "%x:%x:%127s", &vendor, &product, serial) != 3)
        return false;
    device.vendor = static_cast<uint16_t>(vendor);
    device.product = static_cast<uint16_t>(product);
    device.serial = serial;
    return true;
}

pid_t parentOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return -1;
    char state = 0;
    int parent = -1;
    std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent);
    return parent;
}

// Every process whose chain of parents leads to this one.
std::set<pid_t> descendants()
{
    std::set<pid_t> found;
    pid_t self = getpid();
    bool grew = true;
    while (grew) {
        grew = false;
        DIR *proc = opendir("/proc");
        if (!proc)
            return found;
        while (dirent *entry = readdir(proc)) {
            pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (pid <= 0 || found.count(pid))
                continue;
            pid_t parent = parentOf(pid);
            if (parent == self || found.count(parent)) {
                found.insert(pid);
                grew = true;
            }
        }
        closedir(proc);
    }
    return found;
}

void killDescendants()
{
    for (int round = 0; round < 50; ++round) {
        std::set<pid_t> all = descendants();
        if (all.empty())
            return;
        for (pid_t pid : all)
            kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(-1, &status, WNOHANG) > 0) {
        }
        usleep(20000);
    }
}

// Pulls the device out when its handler asks for it (the remove uevent first,
// so that hot-plug listeners hear of it, then the sysfs entries and the node),
// and plugs it back after `replugAfterMs` unless that is negative.
void unplugWhenAsked(UMockdevTestbed *testbed, EmulatedDevice &device, int replugAfterMs, const ScannerKnobs &knobs)
{
    std::unique_lock<std::mutex> lock(device.mutex);
    device.unplugged.wait(lock, [&] { return device.unplugRequested || device.stopping; });
    if (device.stopping)
        return;
    lock.unlock();
    umockdev_testbed_uevent(testbed, device.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, device.syspath.c_str());
    std::printf("unplugged %s\n", device.node.c_str());
    std::fflush(stdout);
    if (replugAfterMs < 0)
        return;
    lock.lock();
    if (device.unplugged.wait_for(lock, std::chrono::milliseconds(replugAfterMs), [&] { return device.stopping; }))
        return;
    // Back as a freshly powered device: no lock, no scan, and it stays in.
    device.scanner = std::make_unique<EmulatedScanner>(knobs, device.serial);
    device.unplugAtPage = -1;
    device.unplugAfterBytes = -1;
    ++device.generation;
    device.present = true;
    lock.unlock();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, device.description.c_str(), &error)) {
        std::fprintf(stderr, "usb-scanner-emulator: cannot plug %s back: %s\n", device.node.c_str(),
                     error ? error->message : "unknown error");
        g_clear_error(&error);
        return;
    }
    std::printf("replugged %s\n", device.node.c_str());
    std::fflush(stdout);
}

int usage()
{
    std::fprintf(stderr, "usage: usb-scanner-emulator [--device VID:PID:SERIAL]... [knobs] -- command [args]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    ScannerKnobs knobs;
    std::vector<std::unique_ptr<EmulatedDevice>> devices;
    int commandIndex = -1;
    int unplugAtPage = -1;
    int unplugAfterBytes = -1;
    int replugAfterMs = -1;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto number = [&](int &target) {
            if (i + 1 >= argc)
                return false;
            target = std::atoi(argv[++i]);
            return true;
        };
        if (option == "--") {
            commandIndex = i + 1;
            break;
        } else if (option == "--device" && i + 1 < argc) {
            auto device = std::make_unique<EmulatedDevice>();
            if (!parseDevice(argv[++i], *device))
                return usage();
            devices.push_back(std::move(device));
        } else if (option == "--pages") {
            if (!number(knobs.pages))
                return usage();
        } else if (option == "--page-bytes") {
            if (!number(knobs.pageBytes))
                return usage();
        } else if (option == "--chunk-bytes") {
            if (!number(knobs.chunkBytes) || knobs.chunkBytes <= 0)
                return usage();
            knobs.chartChunkBytes = knobs.chunkBytes;
        } else if (option == "--stall-after-pages") {
            if (!number(knobs.stallAfterPages))
                return usage();
        } else if (option == "--lock-busy") {
            knobs.lockBusy = true;
        } else if (option == "--unknown-flag") {
            knobs.unknownFlag = true;
        } else if (option == "--oversize-response") {
            knobs.oversizeResponse = true;
        } else if (option == "--abort-during-scan") {
            knobs.abortDuringScan = true;
        } else if (option == "--stray-record") {
            knobs.strayRecord = true;
        } else if (option == "--endless") {
            knobs.endless = true;
        } else if (option == "--chart") {
            knobs.chart = true;
        } else if (option == "--sheet-length-mm") {
            int millimetres = 0;
            if (!number(millimetres) || millimetres <= 0)
                return usage();
            knobs.sheetLength = static_cast<int64_t>(millimetres) * scan_chart::kMicroInch * 10 / 254;
        } else if (option == "--boundary") {
            int boundary = 0;
            if (!number(boundary) || boundary < 0 || boundary > 255)
                return usage();
            knobs.boundary = static_cast<unsigned>(boundary);
        } else if (option == "--no-feeder") {
            knobs.feeder = false;
        } else if (option == "--jam-on-page") {
            if (!number(knobs.jamOnPage))
                return usage();
        } else if (option == "--unplug-at-page") {
            if (!number(unplugAtPage) || unplugAtPage < 0)
                return usage();
        } else if (option == "--unplug-after-bytes") {
            if (!number(unplugAfterBytes) || unplugAfterBytes < 0)
                return usage();
        } else if (option == "--replug-after-ms") {
            if (!number(replugAfterMs) || replugAfterMs < 0)
                return usage();
        } else if (option == "--record-dir" && i + 1 < argc) {
            knobs.recordDirectory = argv[++i];
        } else {
            return usage();
        }
    }
    if (commandIndex < 0 || commandIndex >= argc)
        return usage();
    // The remove uevent is sent through libudev, which finds the device in the
    // test bed's sysfs only under the preload: run ourselves under it too.
    if ((unplugAtPage >= 0 || unplugAfterBytes >= 0) && !std::getenv("RUVO_EMULATOR_PRELOADED")) {
        const char *current = std::getenv("LD_PRELOAD");
        std::string preload = std::string("libumockdev-preload.so.0") + (current && *current ? " " : "") +
                              (current ? current : "");
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("RUVO_EMULATOR_PRELOADED", "1", 1);
        const char *asanOptions = std::getenv("ASAN_OPTIONS");
        std::string options = std::string(asanOptions ? asanOptions : "") + (asanOptions && *asanOptions ? ":" : "") +
                              "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::fprintf(stderr, "usb-scanner-emulator: cannot run under the test bed's preload\n");
        return 1;
    }
    if (devices.empty())
        devices.push_back(std::make_unique<EmulatedDevice>());

    UMockdevTestbed *testbed = umockdev_testbed_new();
    std::vector<UMockdevIoctlBase *> handlers;
    for (size_t index = 0; index < devices.size(); ++index) {
        EmulatedDevice &device = *devices[index];
        device.scanner = std::make_unique<EmulatedScanner>(knobs, device.serial);
        int deviceNumber = static_cast<int>(index) + 2;
        char name[32], node[64], vendor[16], product[16], devnum[16];
        std::snprintf(name, sizeof(name), "1-%d", deviceNumber);
        std::snprintf(node, sizeof(node), "/dev/bus/usb/001/%03d", deviceNumber);
        std::snprintf(vendor, sizeof(vendor), "%04x", device.vendor);
        std::snprintf(product, sizeof(product), "%04x", device.product);
        std::snprintf(devnum, sizeof(devnum), "%d", deviceNumber);
        device.node = node;
        device.unplugAtPage = unplugAtPage;
        device.unplugAfterBytes = unplugAfterBytes;
        std::vector<uint8_t> descriptor = deviceDescriptor(device);
        std::string hex;
        for (uint8_t byte : descriptor) {
            char pair[3];
            std::snprintf(pair, sizeof(pair), "%02X", byte);
            hex += pair;
        }
        // The node's content is the device descriptor, as a usbfs device file's is.
        device.syspath = std::string("/sys/devices/pci0000:00/0000:00:14.0/usb1/") + name;
        std::string description = std::string("P: /devices/pci0000:00/0000:00:14.0/usb1/") + name + "\n" +
                                  "N: " + (node + 5) + "=" + hex + "\n" + "E: DEVNAME=" + node + "\n" +
                                  "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=001\n" + "E: DEVNUM=" +
                                  devnum + "\nE: MAJOR=189\nE: MINOR=" + devnum + "\nA: busnum=1\nA: devnum=" +
                                  devnum + "\nA: speed=480\nA: idVendor=" + vendor + "\nA: idProduct=" + product +
                                  "\nA: serial=" + device.serial + "\nH: descriptors=" + hex + "\n";
        device.description = description;
        GError *addError = nullptr;
        if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &addError)) {
            std::fprintf(stderr, "usb-scanner-emulator: cannot add %s: %s\n", node,
                         addError ? addError->message : "unknown error");
            g_clear_error(&addError);
            return 1;
        }

        UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handleIoctl), &device);
        g_signal_connect(handler, "handle-read", G_CALLBACK(handleRead), &device);
        GError *error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, node, handler, &error)) {
            std::fprintf(stderr, "usb-scanner-emulator: cannot attach %s: %s\n", node,
                         error ? error->message : "unknown error");
            g_clear_error(&error);
            return 1;
        }
        handlers.push_back(handler);
    }

    std::vector<std::thread> unpluggers;
    if (unplugAtPage >= 0 || unplugAfterBytes >= 0)
        for (auto &device : devices)
            unpluggers.emplace_back(unplugWhenAsked, testbed, std::ref(*device), replugAfterMs, std::cref(knobs));

    // Adopt processes that detach (the daemon forks twice), so they stay
    // inside the emulation's lifetime and are reaped here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // A test that dies without stopping us still ends the daemon: our parent's
    // end becomes a stop request.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct sigaction stop;
    std::memset(&stop, 0, sizeof(stop));
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    // The preload goes only into the command's environment.
    std::vector<std::string> environment;
    std::string preload = "libumockdev-preload.so.0";
    for (char **variable = environ; *variable; ++variable) {
        std::string entry = *variable;
        if (entry.rfind("LD_PRELOAD=", 0) == 0)
            preload += " " + entry.substr(std::strlen("LD_PRELOAD="));
        else if (entry.rfind("ASAN_OPTIONS=", 0) != 0)
            environment.push_back(entry);
    }
    environment.push_back("LD_PRELOAD=" + preload);
    // A sanitized program would refuse a preload that comes before its runtime.
    const char *asanOptions = std::getenv("ASAN_OPTIONS");
    environment.push_back(std::string("ASAN_OPTIONS=") + (asanOptions ? asanOptions : "") +
                          (asanOptions && *asanOptions ? ":" : "") + "verify_asan_link_order=0");
    std::vector<char *> environmentPointers;
    for (std::string &entry : environment)
        environmentPointers.push_back(entry.data());
    environmentPointers.push_back(nullptr);

    pid_t command = -1;
    if (posix_spawnp(&command, argv[commandIndex], nullptr, nullptr, &argv[commandIndex], environmentPointers.data()) !=
        0) {
        std::fprintf(stderr, "usb-scanner-emulator: cannot start %s\n", argv[commandIndex]);
        return 127;
    }

    int commandStatus = 0;
    for (;;) {
        if (s_stopRequested) {
            killDescendants();
            break;
        }
        int status = 0;
        pid_t reaped = waitpid(-1, &status, 0);
        if (reaped < 0) {
            if (errno == EINTR)
                continue;
            break; // no process left
        }
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (reaped == command)
            commandStatus = code;
        std::printf("reaped %d %d\n", static_cast<int>(reaped), code);
        std::fflush(stdout);
    }

    for (auto &device : devices) {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->stopping = true;
        device->unplugged.notify_all();
    }
    for (std::thread &unplugger : unpluggers)
        unplugger.join();
    // Nothing may use the device nodes once their handlers are gone.
    for (EmulatedDevice *device : [&] {
             std::vector<EmulatedDevice *> all;
             for (auto &d : devices)
                 all.push_back(d.get());
             return all;
         }())
        umockdev_testbed_detach_ioctl(testbed, device->node.c_str(), nullptr);
    for (UMockdevIoctlBase *handler : handlers)
        g_object_unref(handler);
    for (auto &device : devices)
        for (auto &known : device->clientGeneration)
            g_object_unref(known.first);
    g_object_unref(testbed);
    return commandStatus;
}
