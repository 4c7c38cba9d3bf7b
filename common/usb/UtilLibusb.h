#pragma once
// One request to one USB printer per call: every operation starts the library,
// finds the printer by model and serial number, claims its printer-class
// interface, does its bulk transfers and releases everything again, giving
// the printer back to its kernel driver when the operation took it away.
#include <QString>

#include <libusb.h>

#include <cstdint>
#include <functional>

#include "UsbDevice.h"

// Result codes of both operations.
enum enUsbResult {
    USB_RESULT_OK = 0,
    USB_RESULT_INIT = -1,
    USB_RESULT_SEARCH = -2,
    USB_RESULT_INTERFACE = -3,
    USB_RESULT_OPEN = -4,
    USB_RESULT_CLAIM = -5,
    USB_RESULT_TRANSFER = -7,
};

// A one-way send goes out in pieces of this size. Every bulk packet size
// (64, 512 or 1024 bytes) divides it, so the printer sees the same packets as
// from one call of the whole image, and no piece comes near the kernel's
// limit on one request (16 MiB by default).
constexpr int c_iOneWayPieceSize = 64 * 1024;
// A piece the printer has not taken within this time fails the send: a printer
// that stops reading must not hold the program for ever.
constexpr unsigned int c_uOneWayPieceTimeoutMs = 30000;

struct stOneWayOptions {
    int iPieceSize = c_iOneWayPieceSize;
    unsigned int uPieceTimeoutMs = c_uOneWayPieceTimeoutMs;
    // Called on the sending thread after each piece the printer took.
    std::function<void(qint64 sent, qint64 total)> progress;
    // Set when a piece failed because the printer is no longer attached
    // (pulled out or switched off): sending again cannot succeed.
    bool *pDeviceGone = nullptr;
};

// The printer's own serial as the printer list names it: the ten characters
// after the first "serial=" of `port`.
QString SerialFromPort(const QString &port);
// Compares the printer list's serial with the device's serial-number string
// (its first ten characters) without regard to case.
bool SerialMatches(const QString &portSerial, const QByteArray &deviceSerial);

int init_libusb();
int get_device_descriptor(libusb_device_descriptor *descriptor, userDevice *device, QString port);
int match_with_endpoint(const libusb_interface_descriptor *setting, userDevice *device);
int get_device_endpoint(libusb_device_descriptor *descriptor, userDevice *device);

// Writes `sendLength` bytes, then reads one reply of at most `recvCapacity`
// bytes; 3000 ms limit on each transfer.
int USBSendRecvData(int vid, int pid, QString port, unsigned char *sendData, int sendLength,
                    unsigned char *recvBuffer, int recvCapacity, int *recvLength);
// Writes `length` bytes in pieces, each within its time limit; reads nothing.
// An empty buffer goes out as one zero-length transfer.
int FWUpdateTask(int vid, int pid, QString port, char *data, int length);
int FWUpdateTask(int vid, int pid, const QString &port, const char *data, int length,
                 const stOneWayOptions &options);
