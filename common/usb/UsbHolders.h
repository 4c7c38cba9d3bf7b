#pragma once
// One small owner per libusb resource that an operation acquires. Declared in
// the order of acquisition, they release in the reverse order on every path:
// interface released, kernel driver given back, handle closed, device list
// freed, library shut down. None of them can be copied or moved: each lives in
// the frame of the one operation that acquired its resource.
#include <libusb.h>

#include <cstdint>

#include "UsbDevice.h"

namespace usbhold {

// The library on its default context, started by init_libusb.
class DefaultContext {
public:
    DefaultContext() = default; // adopts a started library
    ~DefaultContext() { libusb_exit(nullptr); }
    DefaultContext(const DefaultContext &) = delete;
    DefaultContext &operator=(const DefaultContext &) = delete;
};

// The enumeration that the device search leaves in a userDevice, freed (with
// its device references) whatever the search made of it.
class DeviceList {
public:
    explicit DeviceList(userDevice &device) : m_device(device) {}
    ~DeviceList()
    {
        if (m_device.deviceList)
            libusb_free_device_list(m_device.deviceList, 1);
        m_device.deviceList = nullptr;
    }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;

private:
    userDevice &m_device;
};

// An open device handle, closed on release.
class OpenHandle {
public:
    OpenHandle() = default;
    ~OpenHandle()
    {
        if (m_handle)
            libusb_close(m_handle);
    }
    OpenHandle(const OpenHandle &) = delete;
    OpenHandle &operator=(const OpenHandle &) = delete;

    // True when the device opened; the handle is this object's from then on.
    bool Open(libusb_device *device)
    {
        libusb_device_handle *handle = nullptr;
        if (libusb_open(device, &handle) != 0 || handle == nullptr)
            return false;
        m_handle = handle;
        return true;
    }
    libusb_device_handle *Get() const { return m_handle; }

private:
    libusb_device_handle *m_handle = nullptr;
};

// One configuration descriptor, freed on release.
class ConfigDescriptor {
public:
    ConfigDescriptor() = default;
    ~ConfigDescriptor()
    {
        if (m_config)
            libusb_free_config_descriptor(m_config);
    }
    ConfigDescriptor(const ConfigDescriptor &) = delete;
    ConfigDescriptor &operator=(const ConfigDescriptor &) = delete;

    bool Read(libusb_device *device, uint8_t index)
    {
        return libusb_get_config_descriptor(device, index, &m_config) == 0 && m_config != nullptr;
    }
    const libusb_config_descriptor *operator->() const { return m_config; }

private:
    libusb_config_descriptor *m_config = nullptr;
};

// A kernel driver that this operation detached from the printer interface:
// attached again on release, so the printer's own device node (/dev/usb/lp*)
// comes back for every other program.
class DetachedKernelDriver {
public:
    DetachedKernelDriver() = default;
    ~DetachedKernelDriver()
    {
        if (m_handle)
            libusb_attach_kernel_driver(m_handle, m_interface);
    }
    DetachedKernelDriver(const DetachedKernelDriver &) = delete;
    DetachedKernelDriver &operator=(const DetachedKernelDriver &) = delete;

    // Returns libusb's code; on success the driver is this object's to give back.
    int Detach(libusb_device_handle *handle, uint8_t interface)
    {
        const int result = libusb_detach_kernel_driver(handle, interface);
        if (result == 0) {
            m_handle = handle;
            m_interface = interface;
        }
        return result;
    }

private:
    libusb_device_handle *m_handle = nullptr;
    uint8_t m_interface = 0;
};

// A claimed interface, released on release (before the driver can go back).
class ClaimedInterface {
public:
    ClaimedInterface() = default;
    ~ClaimedInterface()
    {
        if (m_handle)
            libusb_release_interface(m_handle, m_interface);
    }
    ClaimedInterface(const ClaimedInterface &) = delete;
    ClaimedInterface &operator=(const ClaimedInterface &) = delete;

    // Returns libusb's code; on success the claim is this object's to release.
    int Claim(libusb_device_handle *handle, uint8_t interface)
    {
        const int result = libusb_claim_interface(handle, interface);
        if (result == 0) {
            m_handle = handle;
            m_interface = interface;
        }
        return result;
    }

private:
    libusb_device_handle *m_handle = nullptr;
    uint8_t m_interface = 0;
};

} // namespace usbhold
