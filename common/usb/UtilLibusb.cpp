#include "UtilLibusb.h"

#include "UtilLog.h"

#include <cstring>

namespace {

constexpr int kSerialBufferSize = 64;
constexpr int kSerialCompareLength = 10;
constexpr unsigned int kExchangeTimeoutMs = 3000;
constexpr uint8_t kPrinterInterfaceClass = 7;
constexpr uint8_t kBulkTransferType = 2;
constexpr uint8_t kRequiredOutEndpoint = 0x01;

// Reads the device's serial-number string; false when it has none or the read fails.
bool ReadDeviceSerial(libusb_device_handle *handle, const libusb_device_descriptor &descriptor,
                      QByteArray &serial)
{
    unsigned char buffer[kSerialBufferSize];
    memset(buffer, 0, sizeof buffer);
    const int count = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, buffer,
                                                         sizeof buffer);
    if (count < 0)
        return false;
    // The buffer may be filled to the last byte: never read past it.
    serial = QByteArray(reinterpret_cast<const char *>(buffer),
                        static_cast<int>(strnlen(reinterpret_cast<const char *>(buffer), sizeof buffer)));
    return true;
}

enum class enTransferMode { Exchange, OneWay };

struct stTransferRequest {
    enTransferMode enMode;
    unsigned char *pSend;
    int iSendLength;
    unsigned char *pRecv;
    int iRecvCapacity;
    int *pRecvLength;
};

// The common body of both operations; `FUNCTION` names the public operation in
// the log lines it writes.
int RunOperation(const char *function, int vid, int pid, const QString &port,
                 const stTransferRequest &request)
{
    userDevice device;
    device.vid = static_cast<uint16_t>(vid);
    device.pid = static_cast<uint16_t>(pid);
    device.interfaceClass = kPrinterInterfaceClass;
    device.transferType = kBulkTransferType;

    if (init_libusb() != 0) {
        WriteStringLog(__FILE__, __LINE__, function, "*** init_libusb failed! \n");
        return USB_RESULT_INIT;
    }

    libusb_device_descriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    libusb_device_handle *handle = nullptr;
    int result = USB_RESULT_OK;
    int failedCode = 0;
    bool logFailedCode = false;

    const int searchResult = get_device_descriptor(&descriptor, &device, port);
    if (searchResult != 0) {
        WriteStringLog(__FILE__, __LINE__, function, "*** get_device_descriptor failed! \n");
        result = USB_RESULT_SEARCH;
        failedCode = searchResult;
        logFailedCode = true;
    }

    if (result == USB_RESULT_OK) {
        const int endpointResult = get_device_endpoint(&descriptor, &device);
        if (endpointResult != 0) {
            WriteStringLog(__FILE__, __LINE__, function, "*** get_device_endpoint failed! rv:%d \n",
                           endpointResult);
            result = USB_RESULT_INTERFACE;
            failedCode = endpointResult;
            logFailedCode = true;
        }
    }

    if (result == USB_RESULT_OK) {
        if (libusb_open(device.device, &handle) != 0 || handle == nullptr) {
            handle = nullptr;
            WriteStringLog(__FILE__, __LINE__, function,
                           "*** Permission denied or Can not find the USB board (Maybe the USB driver "
                           "has not been installed correctly), quit!\n");
            result = USB_RESULT_OPEN;
        }
    }

    if (result == USB_RESULT_OK) {
        int claim = libusb_claim_interface(handle, device.interfaceNumber);
        if (claim != 0) {
            const int detach = libusb_detach_kernel_driver(handle, device.interfaceNumber);
            if (detach != 0) {
                WriteStringLog(__FILE__, __LINE__, function,
                               "*** libusb_detach_kernel_driver failed! rv%d\n", detach);
                result = USB_RESULT_CLAIM;
                failedCode = detach;
                logFailedCode = true;
            } else {
                claim = libusb_claim_interface(handle, device.interfaceNumber);
                if (claim != 0) {
                    WriteStringLog(__FILE__, __LINE__, function,
                                   "*** libusb_claim_interface failed! rv%d\n", claim);
                    result = USB_RESULT_CLAIM;
                    failedCode = claim;
                    logFailedCode = true;
                }
            }
        }
    }

    if (result == USB_RESULT_OK) {
        int written = 0;
        const unsigned int timeout =
            request.enMode == enTransferMode::OneWay ? 0 : kExchangeTimeoutMs;
        const int write = libusb_bulk_transfer(handle, device.endpointOut, request.pSend,
                                               request.iSendLength, &written, timeout);
        if (write != 0 || written < request.iSendLength) {
            WriteStringLog(__FILE__, __LINE__, function, "*** bulk_transfer failed! \n");
            result = USB_RESULT_TRANSFER;
            if (write != 0) {
                failedCode = write;
                logFailedCode = true;
            }
        } else if (request.enMode == enTransferMode::OneWay) {
            WriteStringLog(__FILE__, __LINE__, function, "*** length = %d \n", request.iSendLength);
        }
    }

    if (result == USB_RESULT_OK && request.enMode == enTransferMode::Exchange) {
        int received = 0;
        const int read = libusb_bulk_transfer(handle, device.endpointIn, request.pRecv,
                                              request.iRecvCapacity, &received, kExchangeTimeoutMs);
        if (request.pRecvLength)
            *request.pRecvLength = received;
        if (read != 0) {
            WriteStringLog(__FILE__, __LINE__, function, "*** bulk_transfer failed! \n");
            result = USB_RESULT_TRANSFER;
            failedCode = read;
            logFailedCode = true;
        } else {
            WriteStringLog(__FILE__, __LINE__, function, "*** iRecvSize = %d \n", received);
        }
    }

    if (logFailedCode)
        WriteStringLog(__FILE__, __LINE__, function, "*** error=%s \n", libusb_error_name(failedCode));

    if (device.deviceList) {
        libusb_free_device_list(device.deviceList, 1);
        device.deviceList = nullptr;
    }
    if (handle) {
        // The interface may never have been claimed; the result does not matter.
        libusb_release_interface(handle, device.interfaceNumber);
        libusb_close(handle);
    }
    libusb_exit(nullptr);
    WriteStringLog(__FILE__, __LINE__, function, "*** success! \n");
    return result;
}

} // namespace

QString SerialFromPort(const QString &port)
{
    // Without "serial=" the position becomes 6, as the printer list's readers
    // have always taken it; such a text matches no device in practice.
    const int start = port.indexOf("serial=") + 7;
    return port.mid(start, kSerialCompareLength);
}

bool SerialMatches(const QString &portSerial, const QByteArray &deviceSerial)
{
    const QString device = QString::fromLatin1(deviceSerial.left(kSerialCompareLength));
    return portSerial.compare(device, Qt::CaseInsensitive) == 0;
}

int init_libusb()
{
    if (libusb_init(nullptr) != 0) {
        RUVO_LOG("*** initial USB lib failed! \n");
        return -1;
    }
    return 0;
}

int get_device_descriptor(libusb_device_descriptor *descriptor, userDevice *device, QString port)
{
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0)
        return static_cast<int>(count);
    device->deviceList = list;

    const QString wanted = SerialFromPort(port);
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_device_descriptor(list[i], descriptor) != 0) {
            RUVO_LOG("*** libusb_get_device_descriptor failed! i:%d \n", static_cast<int>(i + 1));
            return -1;
        }
        if (descriptor->idProduct != device->pid || descriptor->idVendor != device->vid)
            continue;

        libusb_device_handle *handle = nullptr;
        if (libusb_open(list[i], &handle) != 0 || handle == nullptr)
            continue;
        QByteArray serial;
        const bool readable = ReadDeviceSerial(handle, *descriptor, serial);
        libusb_close(handle);
        // Two printers of one model may be attached: a printer whose serial
        // cannot be read or differs is not the chosen one, so the walk goes on.
        if (readable && SerialMatches(wanted, serial)) {
            device->device = list[i];
            return 0;
        }
    }
    return -2;
}

int match_with_endpoint(const libusb_interface_descriptor *setting, userDevice *device)
{
    bool sawIn = false;
    bool sawOut = false;
    for (int e = 0; e < setting->bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor &endpoint = setting->endpoint[e];
        if ((endpoint.bmAttributes & 3) != device->transferType)
            continue;
        if (endpoint.bEndpointAddress & 0x80) {
            device->endpointIn = endpoint.bEndpointAddress;
            sawIn = true;
        } else {
            device->endpointOut = endpoint.bEndpointAddress;
            sawOut = true;
        }
    }
    return sawIn && sawOut ? 1 : 0;
}

int get_device_endpoint(libusb_device_descriptor *descriptor, userDevice *device)
{
    for (int c = 0; c < descriptor->bNumConfigurations; ++c) {
        libusb_config_descriptor *config = nullptr;
        if (libusb_get_config_descriptor(device->device, static_cast<uint8_t>(c), &config) != 0) {
            RUVO_LOG("*** libusb_get_config_descriptor failed! \n");
            return -1;
        }
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface &interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor &setting = interface.altsetting[a];
                if (setting.bInterfaceClass != device->interfaceClass)
                    continue;
                if (match_with_endpoint(&setting, device) && device->endpointOut == kRequiredOutEndpoint) {
                    device->interfaceNumber = setting.bInterfaceNumber;
                    libusb_free_config_descriptor(config);
                    return 0;
                }
            }
        }
        libusb_free_config_descriptor(config);
    }
    return -2;
}

int USBSendRecvData(int vid, int pid, QString port, unsigned char *sendData, int sendLength,
                    unsigned char *recvBuffer, int recvCapacity, int *recvLength)
{
    const stTransferRequest request{enTransferMode::Exchange, sendData, sendLength,
                                    recvBuffer, recvCapacity, recvLength};
    return RunOperation(__FUNCTION__, vid, pid, port, request);
}

int FWUpdateTask(int vid, int pid, QString port, char *data, int length)
{
    const stTransferRequest request{enTransferMode::OneWay, reinterpret_cast<unsigned char *>(data),
                                    length, nullptr, 0, nullptr};
    return RunOperation(__FUNCTION__, vid, pid, port, request);
}
