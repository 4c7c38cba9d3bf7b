#include "UsbPrinterEmulator.h"

#include <umockdev.h>

#include <linux/capability.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace usbemu {

namespace {

constexpr uint8_t kBlockLead = 0xA5;
constexpr size_t kBlockSize = 64;
constexpr size_t kBlockHeaderSize = 5;
constexpr uint16_t kSourceTag = 0x4010;
constexpr uint16_t kFirstAddressTag = 0x4011;
constexpr int kAddressCount = 7;
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION
                                   | USBDEVFS_CAP_NO_PACKET_SIZE_LIM
                                   | USBDEVFS_CAP_BULK_SCATTER_GATHER;

void PutTag(Bytes &out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

// One reply item: tag, `skipped` filler bytes, value length, then the value
// zero-padded to `fieldSize` bytes as the firmware stores it.
void PutItem(Bytes &out, uint16_t tag, size_t skipped, const std::string &value, size_t fieldSize)
{
    PutTag(out, tag);
    for (size_t i = 0; i < skipped; ++i)
        out.push_back(static_cast<uint8_t>(i == 0 ? 0x01 : 0x00));
    const size_t size = value.size() > fieldSize ? value.size() : fieldSize;
    PutTag(out, static_cast<uint16_t>(size));
    out.insert(out.end(), value.begin(), value.end());
    out.insert(out.end(), size - value.size(), 0);
}

std::string HexUpper(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

Bytes DescriptorsFor(const PrinterConfig &config)
{
    const uint8_t serialIndex = config.serial.empty() ? 0 : 3;
    Bytes d = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
               static_cast<uint8_t>(config.vendorId & 0xFF), static_cast<uint8_t>(config.vendorId >> 8),
               static_cast<uint8_t>(config.productId & 0xFF), static_cast<uint8_t>(config.productId >> 8),
               0x00, 0x01, 0x01, 0x02, serialIndex, 0x01};
    const uint8_t interfaceClass = config.bPrinterInterface ? 0x07 : 0xFF;
    const Bytes configuration = {
        0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xC0, 0x32,
        0x09, 0x04, 0x00, 0x00, 0x02, interfaceClass, 0x01, 0x02, 0x00,
        0x07, 0x05, config.outEndpoint, 0x02, 0x00, 0x02, 0x00,
        0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00,
    };
    d.insert(d.end(), configuration.begin(), configuration.end());
    return d;
}

Bytes StringDescriptor(const std::string &text)
{
    Bytes d = {static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

} // namespace

Bytes EncodeSettingsReply(const NetworkSettings &settings)
{
    // Item layer: six leading bytes the host does not look at, then the items.
    Bytes payload = {0x00, 0x00, 0xB2, 0x02, 0x00, 0x08};
    PutItem(payload, kSourceTag, 14, settings.bStatic ? "Static" : "DHCP", 8);
    for (int i = 0; i < kAddressCount; ++i)
        PutItem(payload, static_cast<uint16_t>(kFirstAddressTag + i), 10, settings.addresses[i], 16);

    // Block layer: every 64-byte block opens with a 5-byte header.
    Bytes reply;
    size_t taken = 0;
    while (taken < payload.size()) {
        const size_t room = kBlockSize - kBlockHeaderSize;
        const size_t chunk = payload.size() - taken < room ? payload.size() - taken : room;
        reply.push_back(kBlockLead);
        reply.push_back(0x00);
        reply.push_back(static_cast<uint8_t>(chunk + 2));
        reply.push_back(0x50);
        reply.push_back(0xE0);
        reply.insert(reply.end(), payload.begin() + static_cast<std::ptrdiff_t>(taken),
                     payload.begin() + static_cast<std::ptrdiff_t>(taken + chunk));
        taken += chunk;
    }
    return reply;
}

bool ApplySettingsWrite(const Bytes &frame, NetworkSettings &settings)
{
    static const Bytes header = {0xA5, 0x00, 0x48, 0x50, 0xE0, 0xB2, 0x03, 0x00, 0x09};
    if (frame.size() != 75 || !std::equal(header.begin(), header.end(), frame.begin()))
        return false;
    NetworkSettings updated = settings;
    size_t at = header.size();
    while (at + 4 <= frame.size()) {
        const uint16_t tag = static_cast<uint16_t>(frame[at] << 8 | frame[at + 1]);
        const size_t length = static_cast<size_t>(frame[at + 2] << 8 | frame[at + 3]);
        at += 4;
        if (at + length > frame.size())
            return false;
        if (tag == kSourceTag && length == 1) {
            updated.bStatic = frame[at] == 1;
        } else if (tag >= kFirstAddressTag && tag < kFirstAddressTag + kAddressCount && length == 4) {
            std::ostringstream text;
            text << int(frame[at]) << '.' << int(frame[at + 1]) << '.' << int(frame[at + 2]) << '.'
                 << int(frame[at + 3]);
            updated.addresses[tag - kFirstAddressTag] = text.str();
        } else if (tag != 0x401F) {
            return false;
        }
        at += length;
    }
    settings = updated;
    return true;
}

bool WritePrinterList(const std::string &path, const std::vector<PrinterListEntry> &entries)
{
    std::ofstream out(path, std::ios::trunc);
    if (!out)
        return false;
    out << "[Main]\nCount=" << entries.size() << "\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        const PrinterListEntry &e = entries[i];
        out << "\n[printer_" << i << "]\nName=" << e.name << "\nModel=" << e.model
            << "\nConnectType=" << e.connectType << "\nPort=" << e.port << "\nURI=" << e.uri << "\n";
    }
    return static_cast<bool>(out);
}

// One emulated printer. Everything below m_mutex is guarded by it: the test
// bed's thread runs the handlers while tests read the records.
struct Printer {
    PrinterConfig config;
    std::string node;       // "/dev/bus/usb/001/00N"
    std::string nodeFile;   // the node's file inside the test bed
    UMockdevIoctlBase *handler = nullptr;

    std::mutex mutex;
    int opens = 0;
    int outAttempts = 0;
    bool bDriverAttached = false;
    NetworkSettings settings;
    std::vector<Bytes> outTransfers;
    std::deque<Bytes> replies;          // answers waiting for an IN transfer
    bool bRawReplyArmed = false;
    Bytes rawReply;
    std::deque<UMockdevIoctlData *> ready;    // URBs to be reaped (owned refs)
    std::deque<UMockdevIoctlData *> waiting;  // IN URBs without an answer yet
    std::deque<UMockdevIoctlData *> stalledOut; // OUT URBs the printer does not read
    long long bytesThisOpen = 0;
    bool bGone = false;                 // pulled out: everything answers ENODEV
    bool bRemoveRequested = false;      // the handler asked the unplugger to take the node away
    bool bPresent = true;               // sysfs entries and node are there
    std::string syspath;
    std::string description;
    std::condition_variable changed;
    std::thread unplugger;
    bool bStopping = false;
};

struct Emulator::Impl {
    UMockdevTestbed *testbed = nullptr;
    std::vector<std::unique_ptr<Printer>> printers;
};

namespace {

// The ioctl argument is the client's pointer: the structure behind it is
// fetched by resolving it (an owned reference, or nullptr).
UMockdevIoctlData *Resolve(UMockdevIoctlData *arg, size_t size)
{
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    g_clear_error(&error);
    return data;
}

void SetUrbResult(UMockdevIoctlData *urb, int status, int actual)
{
    umockdev_ioctl_data_update(urb, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8 *>(&status),
                               sizeof status);
    umockdev_ioctl_data_update(urb, offsetof(usbdevfs_urb, actual_length),
                               reinterpret_cast<guint8 *>(&actual), sizeof actual);
}

// Answers one waiting IN URB with `reply`; the caller holds the printer's mutex.
void AnswerIn(Printer &printer, UMockdevIoctlData *urb, const Bytes &reply)
{
    usbdevfs_urb header;
    memcpy(&header, urb->data, sizeof header);
    const int count = static_cast<int>(reply.size() < size_t(header.buffer_length) ? reply.size()
                                                                                  : size_t(header.buffer_length));
    if (count > 0) {
        GError *error = nullptr;
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(urb, offsetof(usbdevfs_urb, buffer),
                                                                header.buffer_length, &error);
        if (buffer) {
            umockdev_ioctl_data_update(buffer, 0, const_cast<guint8 *>(reply.data()), count);
            g_object_unref(buffer);
        } else {
            g_clear_error(&error);
        }
    }
    SetUrbResult(urb, 0, count);
    printer.ready.push_back(urb);
}

void HandleControl(Printer &printer, UMockdevIoctlData *urb, const usbdevfs_urb &header)
{
    GError *error = nullptr;
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(urb, offsetof(usbdevfs_urb, buffer),
                                                            header.buffer_length, &error);
    if (!buffer || header.buffer_length < 8) {
        g_clear_error(&error);
        if (buffer)
            g_object_unref(buffer);
        SetUrbResult(urb, -EPIPE, 0);
        printer.ready.push_back(urb);
        return;
    }
    const uint8_t *setup = buffer->data;
    const int wanted = setup[6] | setup[7] << 8;
    Bytes answer;
    bool known = false;
    if (setup[0] == 0x80 && setup[1] == 0x06 && setup[3] == 0x03) { // string descriptor
        const uint8_t index = setup[2];
        if (index == 0) {
            answer = {0x04, 0x03, 0x09, 0x04};
            known = true;
        } else if (index == 3 && !printer.config.serial.empty()) {
            answer = StringDescriptor(printer.config.serial);
            known = true;
        } else if (index == 1) {
            answer = StringDescriptor("Ruvo");
            known = true;
        } else if (index == 2) {
            answer = StringDescriptor("Ruvo Printer");
            known = true;
        }
    }
    if (!known) {
        g_object_unref(buffer);
        SetUrbResult(urb, -EPIPE, 0);
        printer.ready.push_back(urb);
        return;
    }
    int count = static_cast<int>(answer.size());
    if (count > wanted)
        count = wanted;
    if (count > header.buffer_length - 8)
        count = header.buffer_length - 8;
    umockdev_ioctl_data_update(buffer, 8, answer.data(), count);
    g_object_unref(buffer);
    SetUrbResult(urb, 0, count);
    printer.ready.push_back(urb);
}

void HandleBulkOut(Printer &printer, UMockdevIoctlData *urb, const usbdevfs_urb &header)
{
    ++printer.outAttempts;
    if (printer.config.stallOutAfterBytes >= 0 && printer.bytesThisOpen >= printer.config.stallOutAfterBytes) {
        printer.stalledOut.push_back(urb);
        return;
    }
    if (printer.config.outDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(printer.config.outDelayMs));
    if (printer.config.bFailBulkOut) {
        SetUrbResult(urb, -EPIPE, 0);
        printer.ready.push_back(urb);
        return;
    }
    Bytes data;
    if (header.buffer_length > 0) {
        GError *error = nullptr;
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(urb, offsetof(usbdevfs_urb, buffer),
                                                                header.buffer_length, &error);
        if (!buffer) {
            g_clear_error(&error);
            SetUrbResult(urb, -EPROTO, 0);
            printer.ready.push_back(urb);
            return;
        }
        data.assign(buffer->data, buffer->data + header.buffer_length);
        g_object_unref(buffer);
    }
    int accepted = static_cast<int>(data.size()) - printer.config.shortWriteBy;
    if (accepted < 0)
        accepted = 0;
    data.resize(static_cast<size_t>(accepted));
    printer.bytesThisOpen += accepted;

    // The printer answers its two network commands; anything else is image data.
    static const Bytes readRequest = {0xA5, 0x00, 0x19, 0x50, 0xE0, 0xB2, 0x02};
    if (printer.bRawReplyArmed && data.size() >= 7 && data[0] == 0xA5) {
        printer.replies.push_back(printer.rawReply);
        printer.bRawReplyArmed = false;
    } else if (data.size() == 28 && std::equal(readRequest.begin(), readRequest.end(), data.begin())) {
        printer.replies.push_back(EncodeSettingsReply(printer.settings));
    } else if (ApplySettingsWrite(data, printer.settings)) {
        printer.replies.push_back({0xA5, 0x00, 0x06, 0x50, 0xE0, 0xB2, 0x03, 0x00, 0x00});
    }
    printer.outTransfers.push_back(std::move(data));
    SetUrbResult(urb, 0, accepted);
    printer.ready.push_back(urb);

    while (!printer.waiting.empty() && !printer.replies.empty() && !printer.config.bReplyNever) {
        UMockdevIoctlData *in = printer.waiting.front();
        printer.waiting.pop_front();
        AnswerIn(printer, in, printer.replies.front());
        printer.replies.pop_front();
    }
}

// Every transfer still with the printer ends as on a vanished device, and
// the answers it had not sent yet are lost with its power.
void FailPendingAsGone(Printer &printer)
{
    printer.replies.clear();
    for (std::deque<UMockdevIoctlData *> *pending : {&printer.waiting, &printer.stalledOut}) {
        for (UMockdevIoctlData *urb : *pending) {
            SetUrbResult(urb, -ENODEV, 0);
            printer.ready.push_back(urb);
        }
        pending->clear();
    }
}

void HandleSubmit(Printer &printer, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    if (printer.config.vanishAfterOpens >= 0 && printer.opens > printer.config.vanishAfterOpens) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    // The URB stays with us until it is reaped; the reap hands back its address.
    UMockdevIoctlData *urb = Resolve(arg, sizeof(usbdevfs_urb));
    if (!urb) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb header;
    memcpy(&header, urb->data, sizeof header);
    if (header.type == USBDEVFS_URB_TYPE_CONTROL) {
        HandleControl(printer, urb, header);
    } else if (header.type == USBDEVFS_URB_TYPE_BULK && header.buffer_length >= c_iUsbfsMemoryLimit) {
        g_object_unref(urb);
        umockdev_ioctl_client_complete(client, -1, ENOMEM);
        return;
    } else if (header.type == USBDEVFS_URB_TYPE_BULK && !(header.endpoint & 0x80)
               && printer.config.unplugAtOutTransfer >= 0 && printer.outAttempts >= printer.config.unplugAtOutTransfer) {
        // The cable is pulled as this transfer starts: it stays pending until
        // the unplugger has told the host's hot-plug listeners, then fails.
        printer.config.unplugAtOutTransfer = -1;
        printer.stalledOut.push_back(urb);
        printer.bRemoveRequested = true;
        printer.changed.notify_all();
    } else if (header.type == USBDEVFS_URB_TYPE_BULK && !(header.endpoint & 0x80)) {
        HandleBulkOut(printer, urb, header);
    } else if (header.type == USBDEVFS_URB_TYPE_BULK) {
        if (!printer.replies.empty() && !printer.config.bReplyNever) {
            AnswerIn(printer, urb, printer.replies.front());
            printer.replies.pop_front();
        } else {
            printer.waiting.push_back(urb);
        }
    } else {
        g_object_unref(urb);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

gboolean HandleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    Printer &printer = *static_cast<Printer *>(data);
    std::lock_guard<std::mutex> lock(printer.mutex);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    // A vanished device still hands back the transfers it completed.
    const bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (printer.bGone && !(reap && !printer.ready.empty()) && request != USBDEVFS_DISCARDURB) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        // libusb asks once per open: count the opens here.
        ++printer.opens;
        printer.bytesThisOpen = 0;
        if (printer.config.openableTimes >= 0 && printer.opens >= printer.config.openableTimes)
            chmod(printer.nodeFile.c_str(), 0);
        uint32_t caps = kCapabilities;
        UMockdevIoctlData *target = Resolve(arg, sizeof caps);
        if (target) {
            umockdev_ioctl_data_update(target, 0, reinterpret_cast<guint8 *>(&caps), sizeof caps);
            g_object_unref(target);
        }
        umockdev_ioctl_client_complete(client, target ? 0 : -1, target ? 0 : EFAULT);
        return TRUE;
    }
    case USBDEVFS_SUBMITURB:
        HandleSubmit(printer, client, arg);
        return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        if (printer.ready.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        UMockdevIoctlData *slot = Resolve(arg, sizeof(void *));
        if (!slot) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        UMockdevIoctlData *urb = printer.ready.front();
        printer.ready.pop_front();
        umockdev_ioctl_data_set_ptr(slot, 0, urb);
        g_object_unref(urb);
        g_object_unref(slot);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        // Only one transfer is ever outstanding (the host's calls are
        // synchronous): the cancel is for it.
        std::deque<UMockdevIoctlData *> &pending = printer.stalledOut.empty() ? printer.waiting : printer.stalledOut;
        if (pending.empty()) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        UMockdevIoctlData *urb = pending.front();
        pending.pop_front();
        SetUrbResult(urb, -ENOENT, 0);
        printer.ready.push_back(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        bool busy = false;
        switch (printer.config.claim) {
        case ClaimBehaviour::Free:
            break;
        case ClaimBehaviour::HeldByKernelDriver:
            busy = printer.bDriverAttached;
            break;
        case ClaimBehaviour::AlwaysBusyAfterDetach:
        case ClaimBehaviour::AlwaysBusyNoDriver:
            busy = true;
            break;
        }
        umockdev_ioctl_client_complete(client, busy ? -1 : 0, busy ? EBUSY : 0);
        return TRUE;
    }
    case USBDEVFS_RELEASEINTERFACE:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER: {
        if (!printer.bDriverAttached) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return TRUE;
        }
        char name[] = "usblp";
        UMockdevIoctlData *target = Resolve(arg, sizeof(usbdevfs_getdriver));
        if (target) {
            umockdev_ioctl_data_update(target, offsetof(usbdevfs_getdriver, driver),
                                       reinterpret_cast<guint8 *>(name), sizeof name);
            g_object_unref(target);
        }
        umockdev_ioctl_client_complete(client, target ? 0 : -1, target ? 0 : EFAULT);
        return TRUE;
    }
    case USBDEVFS_IOCTL: {
        usbdevfs_ioctl command;
        UMockdevIoctlData *source = Resolve(arg, sizeof command);
        if (!source) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        memcpy(&command, source->data, sizeof command);
        g_object_unref(source);
        if (command.ioctl_code == int(USBDEVFS_DISCONNECT)) {
            if (!printer.bDriverAttached) {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return TRUE;
            }
            printer.bDriverAttached = false;
        } else if (command.ioctl_code == int(USBDEVFS_CONNECT)) {
            printer.bDriverAttached = printer.config.claim != ClaimBehaviour::Free
                                      && printer.config.claim != ClaimBehaviour::AlwaysBusyNoDriver;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    default:
        fprintf(stderr, "usb-printer-emulator: unhandled ioctl 0x%lx on %s\n", request,
                umockdev_ioctl_client_get_devnode(client));
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

// The kernel's printer driver takes a printer of these kinds when it is plugged in.
bool DriverBindsAtPlugIn(const PrinterConfig &config)
{
    return config.claim == ClaimBehaviour::HeldByKernelDriver || config.claim == ClaimBehaviour::AlwaysBusyAfterDetach;
}

// Takes the node away when the handler asked for it, and brings it back
// after the configured delay.
void RunUnplugger(UMockdevTestbed *testbed, Printer &printer)
{
    std::unique_lock<std::mutex> lock(printer.mutex);
    for (;;) {
        printer.changed.wait(lock, [&] { return printer.bRemoveRequested || printer.bStopping; });
        if (printer.bStopping)
            return;
        lock.unlock();
        // The uevent goes out while the host's transfer is still pending, so
        // its library context (and the hot-plug listener in it) is alive.
        umockdev_testbed_uevent(testbed, printer.syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed, printer.syspath.c_str());
        lock.lock();
        printer.bGone = true;
        FailPendingAsGone(printer);
        printer.bPresent = false;
        printer.bRemoveRequested = false;
        printer.changed.notify_all();
        if (printer.config.replugAfterMs < 0)
            continue;
        if (printer.changed.wait_for(lock, std::chrono::milliseconds(printer.config.replugAfterMs),
                                     [&] { return printer.bStopping; }))
            return;
        lock.unlock();
        GError *error = nullptr;
        const bool added = umockdev_testbed_add_from_string(testbed, printer.description.c_str(), &error);
        g_clear_error(&error);
        lock.lock();
        if (added) {
            printer.bGone = false;
            printer.bPresent = true;
            printer.bytesThisOpen = 0;
            printer.bDriverAttached = DriverBindsAtPlugIn(printer.config);
            printer.changed.notify_all();
        }
    }
}

} // namespace

Emulator::Emulator() : m_impl(std::make_unique<Impl>())
{
    m_impl->testbed = umockdev_testbed_new();
}

Emulator::~Emulator()
{
    if (!m_impl->testbed)
        return;
    for (auto &printer : m_impl->printers) {
        {
            std::lock_guard<std::mutex> lock(printer->mutex);
            printer->bStopping = true;
            printer->changed.notify_all();
        }
        if (printer->unplugger.joinable())
            printer->unplugger.join();
    }
    for (auto &printer : m_impl->printers) {
        GError *error = nullptr;
        umockdev_testbed_detach_ioctl(m_impl->testbed, printer->node.c_str(), &error);
        g_clear_error(&error);
        if (printer->handler)
            g_object_unref(printer->handler);
        std::lock_guard<std::mutex> lock(printer->mutex);
        for (UMockdevIoctlData *urb : printer->ready)
            g_object_unref(urb);
        for (UMockdevIoctlData *urb : printer->waiting)
            g_object_unref(urb);
        for (UMockdevIoctlData *urb : printer->stalledOut)
            g_object_unref(urb);
    }
    g_object_unref(m_impl->testbed);
}

bool Emulator::IsValid() const
{
    return m_impl->testbed != nullptr;
}

int Emulator::AddPrinter(const PrinterConfig &config)
{
    auto printer = std::make_unique<Printer>();
    printer->config = config;
    printer->bDriverAttached = DriverBindsAtPlugIn(config);
    const int index = static_cast<int>(m_impl->printers.size());
    const int devnum = index + 2;
    char node[64];
    snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    printer->node = node;

    std::ostringstream description;
    description << "P: /devices/pci0000:00/0000:00:14.0/usb1/1-" << devnum << "\n"
                << "N: bus/usb/001/" << (node + 17) << "\n"
                << "E: DEVNAME=" << node << "\n"
                << "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: DRIVER=usb\n"
                << "E: BUSNUM=001\nE: DEVNUM=" << (node + 17) << "\n"
                << "E: MAJOR=189\nE: MINOR=" << devnum - 1 << "\n"
                << "A: busnum=1\nA: devnum=" << devnum << "\nA: speed=480\n"
                << "A: bConfigurationValue=1\nA: bNumConfigurations=1\n"
                << "A: idVendor=" << std::hex << config.vendorId << "\nA: idProduct=" << config.productId
                << std::dec << "\n"
                << "H: descriptors=" << HexUpper(DescriptorsFor(config)) << "\n";
    printer->syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(devnum);
    printer->description = description.str();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_impl->testbed, description.str().c_str(), &error)) {
        fprintf(stderr, "usb-printer-emulator: %s\n", error ? error->message : "cannot add device");
        g_clear_error(&error);
        return -1;
    }
    gchar *root = umockdev_testbed_get_root_dir(m_impl->testbed);
    printer->nodeFile = std::string(root) + node;
    g_free(root);

    printer->handler = umockdev_ioctl_base_new();
    g_signal_connect(printer->handler, "handle-ioctl", G_CALLBACK(HandleIoctl), printer.get());
    if (!umockdev_testbed_attach_ioctl(m_impl->testbed, node, printer->handler, &error)) {
        fprintf(stderr, "usb-printer-emulator: %s\n", error ? error->message : "cannot attach");
        g_clear_error(&error);
        return -1;
    }
    if (config.bUnopenable)
        chmod(printer->nodeFile.c_str(), 0);
    printer->unplugger = std::thread(RunUnplugger, m_impl->testbed, std::ref(*printer));
    m_impl->printers.push_back(std::move(printer));
    return index;
}

std::string Emulator::RootDir() const
{
    gchar *root = umockdev_testbed_get_root_dir(m_impl->testbed);
    std::string text(root);
    g_free(root);
    return text;
}

std::string Emulator::DeviceNode(int printer) const
{
    return m_impl->printers.at(static_cast<size_t>(printer))->node;
}

std::vector<Bytes> Emulator::OutTransfers(int printer) const
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.outTransfers;
}

int Emulator::OutTransferAttempts(int printer) const
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.outAttempts;
}

int Emulator::Opens(int printer) const
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.opens;
}

bool Emulator::KernelDriverAttached(int printer) const
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.bDriverAttached;
}

NetworkSettings Emulator::Settings(int printer) const
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.settings;
}

void Emulator::SetSettings(int printer, const NetworkSettings &settings)
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    p.settings = settings;
}

void Emulator::SetRawReply(int printer, const Bytes &reply)
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    p.rawReply = reply;
    p.bRawReplyArmed = true;
}

void Emulator::ClearRecords(int printer)
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    p.outTransfers.clear();
    p.outAttempts = 0;
    p.opens = 0;
}

const char *PreloadLibrary()
{
    return RUVO_UMOCKDEV_PRELOAD;
}

void EnsurePreloaded(int argc, char **argv)
{
    (void)argc;
    const char *current = getenv("LD_PRELOAD");
    if (current && strstr(current, "libumockdev-preload"))
        return;
    std::string preload = PreloadLibrary();
    if (current && *current)
        preload += std::string(":") + current;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // A sanitizer runtime linked into the program would refuse to start
    // behind another preloaded library.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += asan.empty() ? "verify_asan_link_order=0" : ":verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
    execv("/proc/self/exe", argv);
    perror("usb-printer-emulator: re-executing with the preload");
    _exit(127);
}

namespace {

bool ThreadCapabilities(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data) == 0;
}

bool SetThreadCapabilities(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capset, &header, data) == 0;
}

constexpr uint32_t kFileOverrideMask = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

} // namespace

ScopedOrdinaryFileAccess::ScopedOrdinaryFileAccess()
{
    __user_cap_data_struct data[2] = {};
    if (!ThreadCapabilities(data))
        return;
    data[0].effective &= ~kFileOverrideMask;
    m_bDropped = SetThreadCapabilities(data);
}

ScopedOrdinaryFileAccess::~ScopedOrdinaryFileAccess()
{
    __user_cap_data_struct data[2] = {};
    if (!m_bDropped || !ThreadCapabilities(data))
        return;
    data[0].effective |= kFileOverrideMask & data[0].permitted;
    SetThreadCapabilities(data);
}

} // namespace usbemu

namespace usbemu {

void Emulator::Unplug(int printer)
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.bGone || p.bRemoveRequested)
        return;
    p.bRemoveRequested = true;
    p.changed.notify_all();
}

void Emulator::UnplugAtOutTransfer(int printer, int fromNow)
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    p.config.unplugAtOutTransfer = p.outAttempts + fromNow;
}

void Emulator::PlugBack(int printer)
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    if (!WaitUntilPresent(printer, false, 10000))
        return;
    GError *error = nullptr;
    const bool added = umockdev_testbed_add_from_string(m_impl->testbed, p.description.c_str(), &error);
    g_clear_error(&error);
    std::lock_guard<std::mutex> lock(p.mutex);
    if (added) {
        p.bGone = false;
        p.bPresent = true;
        p.bytesThisOpen = 0;
        p.bDriverAttached = DriverBindsAtPlugIn(p.config);
        p.changed.notify_all();
    }
}

void Emulator::SetReplyNever(int printer, bool never)
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    p.config.bReplyNever = never;
}

bool Emulator::Present(int printer) const
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.bPresent && !p.bGone;
}

bool Emulator::WaitUntilPresent(int printer, bool present, int limitMs) const
{
    Printer &p = *m_impl->printers.at(static_cast<size_t>(printer));
    std::unique_lock<std::mutex> lock(p.mutex);
    return p.changed.wait_for(lock, std::chrono::milliseconds(limitMs), [&] {
        return present ? p.bPresent && !p.bGone : !p.bPresent && !p.bRemoveRequested;
    });
}

} // namespace usbemu
