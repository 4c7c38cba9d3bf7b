#include "ruvo_usb.h"

#include "scan_log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

const char *const usbpath[2] = {"/dev/bus/usb", "/proc/bus/usb"};

namespace {

constexpr int kStringTimeoutMs = 1000;
constexpr int kPathMax = 4096;

bool beginsWithDigit(const char *name)
{
    return name[0] >= '0' && name[0] <= '9';
}

// Reads the whole descriptor even if the file hands it out in parts.
ssize_t readDescriptor(int fd, UsbDeviceDescriptor &descriptor)
{
    unsigned char bytes[sizeof(UsbDeviceDescriptor)] = {};
    ssize_t total = 0;
    while (total < static_cast<ssize_t>(sizeof(bytes))) {
        ssize_t got = read(fd, bytes + total, sizeof(bytes) - static_cast<size_t>(total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        total += got;
    }
    std::memcpy(&descriptor, bytes, sizeof(bytes));
    return total;
}

// Adds the matching devices of one bus folder to `table` from entry `count`
// on; returns the new count. Each kept entry holds its open handle.
int collectBus(const char *busPath, uint16_t idVendor, uint16_t idProduct, RUVO_USB_DEV *table, bool compareWithPID,
               int count)
{
    DIR *busDir = opendir(busPath);
    if (!busDir) {
        RuvoErrLog("open dir err:%s", busPath);
        return count;
    }
    // Entries are judged by name and by opening, not by d_type: some file
    // systems report device files as regular files in their listings.
    while (count < kMaxUsbDevices) {
        dirent *deviceEntry = readdir(busDir);
        if (!deviceEntry)
            break;
        if (!beginsWithDigit(deviceEntry->d_name))
            continue;
        char devicePath[kPathMax + 256];
        std::snprintf(devicePath, sizeof(devicePath), "%s/%s", busPath, deviceEntry->d_name);
        int fd = open(devicePath, O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            RuvoErrLog("open usb err:%s", devicePath);
            continue;
        }
        RUVO_USB_DEV &entry = table[count];
        ssize_t got = readDescriptor(fd, entry.dev_des);
        bool keep = got > 0 && entry.dev_des.idVendor == idVendor &&
                    (!compareWithPID || entry.dev_des.idProduct == idProduct);
        if (keep) {
            entry.fd = fd;
            ++count;
        } else {
            std::memset(&entry, 0, sizeof(entry));
            close(fd);
        }
    }
    closedir(busDir);
    return count;
}

} // namespace

int ruvo_find_device_in(const char *const *roots, int rootCount, uint16_t idVendor, uint16_t idProduct,
                        RUVO_USB_DEV *table, bool compareWithPID)
{
    RuvoInfoLog("** %s", "ruvo_find_device");
    if (!table) {
        RuvoInfoLog("dev_des is NULL ");
        return -1;
    }
    DIR *rootDir = nullptr;
    const char *root = nullptr;
    for (int i = 0; i < rootCount && !rootDir; ++i) {
        root = roots[i];
        rootDir = opendir(root);
        if (!rootDir)
            RuvoErrLog("open dir err:%s", root);
    }
    if (!rootDir) {
        RuvoErrLog("find busdir err:%s", root ? root : "");
        return -1;
    }
    int count = 0;
    while (count < kMaxUsbDevices) {
        dirent *busEntry = readdir(rootDir);
        if (!busEntry)
            break;
        if (!beginsWithDigit(busEntry->d_name))
            continue;
        char busPath[kPathMax];
        std::snprintf(busPath, sizeof(busPath), "%s/%s", root, busEntry->d_name);
        count = collectBus(busPath, idVendor, idProduct, table, compareWithPID, count);
    }
    closedir(rootDir);
    return count;
}

int ruvo_find_device(uint16_t idVendor, uint16_t idProduct, RUVO_USB_DEV *table, bool compareWithPID)
{
    return ruvo_find_device_in(usbpath, 2, idVendor, idProduct, table, compareWithPID);
}

USBFindDevRes converToDevRes(int handle, const UsbDeviceDescriptor &descriptor)
{
    RUVO_LOG_ENTER();
    USBFindDevRes result;
    std::memset(&result, 0, sizeof(result));
    result.fd = handle;
    result.vid = descriptor.idVendor;
    result.pid = descriptor.idProduct;
    if (descriptor.iManufacturer != 0 &&
        ruvo_get_string_simple(handle, descriptor.iManufacturer, result.Manufacturer, sizeof(result.Manufacturer)) > 0)
        RuvoInfoLog("- Manufacturer : %s", RuvoLogText(result.Manufacturer).c_str());
    if (descriptor.iProduct != 0 &&
        ruvo_get_string_simple(handle, descriptor.iProduct, result.Product, sizeof(result.Product)) > 0)
        RuvoInfoLog("- Product : %s", RuvoLogText(result.Product).c_str());
    if (descriptor.iSerialNumber != 0 &&
        ruvo_get_string_simple(handle, descriptor.iSerialNumber, result.SerialNumber, sizeof(result.SerialNumber)) > 0)
        RuvoInfoLog("- Serial Number: %s", RuvoLogText(result.SerialNumber).c_str());
    return result;
}

int ruvo_control_msg(int fd, int requesttype, int request, int value, int index, unsigned char *bytes, int size,
                     int timeout)
{
    RUVO_LOG_ENTER();
    usbdevfs_ctrltransfer transfer{};
    transfer.bRequestType = static_cast<uint8_t>(requesttype);
    transfer.bRequest = static_cast<uint8_t>(request);
    transfer.wValue = static_cast<uint16_t>(value);
    transfer.wIndex = static_cast<uint16_t>(index);
    transfer.wLength = static_cast<uint16_t>(size);
    transfer.timeout = static_cast<uint32_t>(timeout);
    transfer.data = bytes;
    int result = ioctl(fd, USBDEVFS_CONTROL, &transfer);
    if (result < 0)
        RuvoErrLog("USB error: error sending control message");
    return result;
}

int ruvo_get_string(int fd, int index, int langid, unsigned char *buffer, int length)
{
    RUVO_LOG_ENTER();
    return ruvo_control_msg(fd, 0x80, 6, 0x0300 + index, langid, buffer, length, kStringTimeoutMs);
}

int DecodeStringDescriptor(const unsigned char *descriptor, int received, char *buffer, size_t buflen)
{
    if (received < 2 || descriptor[1] != 3)
        return -5;
    int declared = descriptor[0];
    if (received < declared)
        return -27;
    if (buflen == 0)
        return 0;
    size_t stored = 0;
    for (int offset = 2; offset + 1 < declared && stored < buflen - 1; offset += 2) {
        buffer[stored++] = descriptor[offset + 1] == 0 ? static_cast<char>(descriptor[offset]) : '?';
    }
    buffer[stored] = '\0';
    return static_cast<int>(stored);
}

int ruvo_get_string_simple(int fd, int index, char *buffer, size_t buflen)
{
    RUVO_LOG_ENTER();
    unsigned char work[255] = {};
    int result = ruvo_get_string(fd, 0, 0, work, sizeof(work));
    if (result < 0)
        return result;
    if (result < 4)
        return -5;
    int langid = work[2] | (work[3] << 8);
    std::memset(work, 0, sizeof(work));
    result = ruvo_get_string(fd, index, langid, work, sizeof(work));
    if (result < 0)
        return result;
    return DecodeStringDescriptor(work, result, buffer, buflen);
}

int usb_bulk_pieces(int ep, int size, const std::function<int(int offset, int length)> &piece,
                    const std::function<int()> &probe)
{
    int done = 0;
    while (done < size) {
        int length = size - done < kUsbPieceSize ? size - done : kUsbPieceSize;
        int moved = piece(done, length);
        if (moved < 0) {
            int probeResult = probe();
            if (probeResult >= 0)
                return 0;
            RuvoErrLog("** ruvo_get_string ret:%d", probeResult);
            return probeResult;
        }
        done += moved;
        if (ep == kScanEndpointIn && moved < length)
            break;
    }
    return done;
}

int usb_bulk(int fd, int ep, unsigned char *bytes, int size, int timeout)
{
    RUVO_LOG_ENTER();
    auto piece = [&](int offset, int length) {
        usbdevfs_bulktransfer transfer{};
        transfer.ep = static_cast<unsigned int>(ep);
        transfer.len = static_cast<unsigned int>(length);
        transfer.timeout = static_cast<unsigned int>(timeout);
        transfer.data = bytes + offset;
        return ioctl(fd, USBDEVFS_BULK, &transfer);
    };
    auto probe = [&]() {
        unsigned char languages[256];
        return ruvo_get_string(fd, 0, 0, languages, sizeof(languages));
    };
    return usb_bulk_pieces(ep, size, piece, probe);
}

int ruvo_bulk_write(int fd, const unsigned char *bytes, int size, int timeout)
{
    RUVO_LOG_ENTER();
    if (fd <= 0 || !bytes)
        return -1;
    // usbfs only reads from the buffer on the OUT endpoint.
    return usb_bulk(fd, kScanEndpointOut, const_cast<unsigned char *>(bytes), size, timeout);
}

int ruvo_bulk_read(int fd, unsigned char *bytes, int size, int timeout)
{
    RUVO_LOG_ENTER();
    if (fd <= 0 || !bytes)
        return -1;
    return usb_bulk(fd, kScanEndpointIn, bytes, size, timeout);
}

int ruvo_resetep(int fd, unsigned int ep)
{
    unsigned int endpoint = ep;
    return ioctl(fd, USBDEVFS_RESETEP, &endpoint) != 0 ? ruvo_wire::RESULT_IO_ERROR : ruvo_wire::RESULT_GOOD;
}

int ruvo_clear_halt(int fd, unsigned int ep)
{
    unsigned int endpoint = ep;
    int result = ioctl(fd, USBDEVFS_CLEAR_HALT, &endpoint);
    RuvoInfoLog("ruvo_clear_halt ret:%d", result);
    return result != 0 ? ruvo_wire::RESULT_IO_ERROR : ruvo_wire::RESULT_GOOD;
}

int ruvo_reset_device(int fd)
{
    RUVO_LOG_ENTER();
    return ioctl(fd, USBDEVFS_RESET, nullptr);
}

int ruvo_init(int fd)
{
    RUVO_LOG_ENTER();
    (void)fd;
    return 0;
}

int ruvo_open_device(int fd)
{
    RUVO_LOG_ENTER();
    (void)fd;
    return 0;
}

void ruvo_close_device(int fd)
{
    RUVO_LOG_ENTER();
    if (fd != 0)
        close(fd);
}

int ruvo_claim_interface(int fd)
{
    RUVO_LOG_ENTER();
    unsigned int interface = 0;
    return ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface);
}

int ruvo_release_interface(int fd)
{
    RUVO_LOG_ENTER();
    unsigned int interface = 0;
    return ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
}

int ruvo_detach_driver(int fd)
{
    RUVO_LOG_ENTER();
    usbdevfs_ioctl command{};
    command.ifno = 0;
    command.ioctl_code = USBDEVFS_DISCONNECT;
    command.data = nullptr;
    return ioctl(fd, USBDEVFS_IOCTL, &command);
}
