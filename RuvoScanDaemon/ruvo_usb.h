#pragma once
// Raw USB device layer over usbfs: a device handle is the open descriptor of its
// device file. No USB library: the daemon must run on systems without one.

#include "scan_types.h"

#include <cstddef>
#include <cstdint>
#include <functional>

// Roots searched for bus directories, in this order.
extern const char *const usbpath[2];

inline constexpr int kUsbPieceSize = 512;

int ruvo_find_device(uint16_t idVendor, uint16_t idProduct, RUVO_USB_DEV *table, bool compareWithPID);
// The same search over the given roots (tests point it at a directory of plain
// files that begin with a device descriptor).
int ruvo_find_device_in(const char *const *roots, int rootCount, uint16_t idVendor, uint16_t idProduct,
                        RUVO_USB_DEV *table, bool compareWithPID);

USBFindDevRes converToDevRes(int handle, const UsbDeviceDescriptor &descriptor);

int ruvo_control_msg(int fd, int requesttype, int request, int value, int index, unsigned char *bytes, int size,
                     int timeout);
int ruvo_get_string(int fd, int index, int langid, unsigned char *buffer, int length);
int ruvo_get_string_simple(int fd, int index, char *buffer, size_t buflen);

// Turns a string descriptor (`received` bytes of it) into ASCII text, '?' for
// every character outside ASCII's low byte range; at most buflen - 1 characters.
// Returns the characters stored, -5 for a descriptor that is not a string
// descriptor, -27 when fewer bytes came than the descriptor claims.
int DecodeStringDescriptor(const unsigned char *descriptor, int received, char *buffer, size_t buflen);

// Splits one bulk transfer into pieces of at most 512 bytes. `piece` moves one
// piece and returns the bytes moved or -1; `probe` checks that the device still
// answers (>= 0) after a failed piece. On the IN endpoint a short piece ends the
// transfer. Returns the bytes moved, 0 when a piece failed on a present device,
// or the negative probe result when the device is gone.
int usb_bulk_pieces(int ep, int size, const std::function<int(int offset, int length)> &piece,
                    const std::function<int()> &probe);

int usb_bulk(int fd, int ep, unsigned char *bytes, int size, int timeout);
int ruvo_bulk_write(int fd, const unsigned char *bytes, int size, int timeout);
int ruvo_bulk_read(int fd, unsigned char *bytes, int size, int timeout);
int ruvo_resetep(int fd, unsigned int ep);
int ruvo_clear_halt(int fd, unsigned int ep);
int ruvo_reset_device(int fd);
int ruvo_init(int fd);
int ruvo_open_device(int fd);
void ruvo_close_device(int fd);
int ruvo_claim_interface(int fd);
int ruvo_release_interface(int fd);
int ruvo_detach_driver(int fd);
