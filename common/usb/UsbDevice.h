#pragma once
// What one operation learns of the printer it searched for, shared by the
// transport and the owners of what the search acquired.
#include <libusb.h>

#include <cstdint>

// Search state of one operation; lives in the operation's frame.
struct userDevice {
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint8_t interfaceClass = 0;   // always 7, the USB printer class
    uint8_t transferType = 0;     // always 2, bulk
    libusb_device *device = nullptr;        // the matched device
    libusb_device **deviceList = nullptr;   // held from enumeration to clean-up
    uint8_t endpointIn = 0;
    uint8_t endpointOut = 0;
    uint8_t interfaceNumber = 0;
};
