#include "UtilLibusb.h"

#include "UsbHolders.h"
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
    const unsigned char *pSend;
    int iSendLength;
    unsigned char *pRecv;
    int iRecvCapacity;
    int *pRecvLength;
    const stOneWayOptions *pOneWay; // the one-way send's pieces and limits
};

// How a step ended: a result code, and the code of the failed call when the
// "*** error=" line names it.
struct stStepOutcome {
    int iResult = USB_RESULT_OK;
    int iFailedCode = 0;
    bool bLogFailedCode = false;

    bool Failed() const { return iResult != USB_RESULT_OK; }
};

stStepOutcome Failure(int result)
{
    return {result, 0, false};
}

stStepOutcome Failure(int result, int failedCode)
{
    return {result, failedCode, true};
}

// Each step below writes its own failure line under the public operation's
// name (`function`).

stStepOutcome FindPrinter(const char *function, libusb_device_descriptor &descriptor, userDevice &device,
                          const QString &port)
{
    const int searchResult = get_device_descriptor(&descriptor, &device, port);
    if (searchResult == 0)
        return {};
    WriteStringLog(__FILE__, __LINE__, function, "*** get_device_descriptor failed! \n");
    return Failure(USB_RESULT_SEARCH, searchResult);
}

stStepOutcome FindPrinterInterface(const char *function, libusb_device_descriptor &descriptor,
                                   userDevice &device)
{
    const int endpointResult = get_device_endpoint(&descriptor, &device);
    if (endpointResult == 0)
        return {};
    WriteStringLog(__FILE__, __LINE__, function, "*** get_device_endpoint failed! rv:%d \n", endpointResult);
    return Failure(USB_RESULT_INTERFACE, endpointResult);
}

stStepOutcome OpenPrinter(const char *function, const userDevice &device, usbhold::OpenHandle &handle)
{
    if (handle.Open(device.device))
        return {};
    WriteStringLog(__FILE__, __LINE__, function,
                   "*** Permission denied or Can not find the USB board (Maybe the USB driver "
                   "has not been installed correctly), quit!\n");
    return Failure(USB_RESULT_OPEN);
}

// Claims the printer interface; when the kernel's printer driver holds it, the
// driver is detached first (and `driver` gives it back at clean-up).
stStepOutcome ClaimPrinterInterface(const char *function, libusb_device_handle *handle, uint8_t interface,
                                    usbhold::DetachedKernelDriver &driver, usbhold::ClaimedInterface &claimed)
{
    if (claimed.Claim(handle, interface) == 0)
        return {};
    const int detach = driver.Detach(handle, interface);
    if (detach != 0) {
        WriteStringLog(__FILE__, __LINE__, function, "*** libusb_detach_kernel_driver failed! rv%d\n", detach);
        return Failure(USB_RESULT_CLAIM, detach);
    }
    const int claim = claimed.Claim(handle, interface);
    if (claim != 0) {
        WriteStringLog(__FILE__, __LINE__, function, "*** libusb_claim_interface failed! rv%d\n", claim);
        return Failure(USB_RESULT_CLAIM, claim);
    }
    return {};
}

// One bulk OUT transfer of `length` bytes; a short write fails as a transfer
// error but names no code (the call itself succeeded).
stStepOutcome WriteBulk(const char *function, libusb_device_handle *handle, uint8_t endpoint,
                        const unsigned char *data, int length, unsigned int timeoutMs)
{
    int written = 0;
    // libusb never writes into an OUT buffer; its signature is shared with IN.
    const int write = libusb_bulk_transfer(handle, endpoint, const_cast<unsigned char *>(data), length, &written,
                                           timeoutMs);
    if (write == 0 && written >= length)
        return {};
    WriteStringLog(__FILE__, __LINE__, function, "*** bulk_transfer failed! \n");
    return write != 0 ? Failure(USB_RESULT_TRANSFER, write) : Failure(USB_RESULT_TRANSFER);
}

// The one-way send: the buffer in pieces, each within its own time limit.
stStepOutcome WriteInPieces(const char *function, libusb_device_handle *handle, uint8_t endpoint,
                            const unsigned char *data, int length, const stOneWayOptions &options)
{
    if (length == 0) {
        static const unsigned char nothing = 0;
        return WriteBulk(function, handle, endpoint, data ? data : &nothing, 0, options.uPieceTimeoutMs);
    }
    const int pieceSize = options.iPieceSize > 0 ? options.iPieceSize : c_iOneWayPieceSize;
    for (int offset = 0; offset < length;) {
        const int piece = length - offset < pieceSize ? length - offset : pieceSize;
        const stStepOutcome outcome =
            WriteBulk(function, handle, endpoint, data + offset, piece, options.uPieceTimeoutMs);
        if (outcome.Failed()) {
            if (options.pDeviceGone && outcome.bLogFailedCode && outcome.iFailedCode == LIBUSB_ERROR_NO_DEVICE)
                *options.pDeviceGone = true;
            return outcome;
        }
        offset += piece;
        if (options.progress)
            options.progress(offset, length);
    }
    return {};
}

stStepOutcome ReadReply(const char *function, libusb_device_handle *handle, uint8_t endpoint,
                        const stTransferRequest &request)
{
    int received = 0;
    const int read = libusb_bulk_transfer(handle, endpoint, request.pRecv, request.iRecvCapacity, &received,
                                          kExchangeTimeoutMs);
    if (request.pRecvLength)
        *request.pRecvLength = received;
    if (read != 0) {
        WriteStringLog(__FILE__, __LINE__, function, "*** bulk_transfer failed! \n");
        return Failure(USB_RESULT_TRANSFER, read);
    }
    WriteStringLog(__FILE__, __LINE__, function, "*** iRecvSize = %d \n", received);
    return {};
}

// Everything between starting and shutting down the library. The owners are
// declared in the order of acquisition, so they release in reverse on return.
stStepOutcome RunSteps(const char *function, int vid, int pid, const QString &port,
                       const stTransferRequest &request)
{
    userDevice device;
    device.vid = static_cast<uint16_t>(vid);
    device.pid = static_cast<uint16_t>(pid);
    device.interfaceClass = kPrinterInterfaceClass;
    device.transferType = kBulkTransferType;
    usbhold::DeviceList list(device);

    libusb_device_descriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    stStepOutcome outcome = FindPrinter(function, descriptor, device, port);
    if (outcome.Failed())
        return outcome;
    outcome = FindPrinterInterface(function, descriptor, device);
    if (outcome.Failed())
        return outcome;

    usbhold::OpenHandle handle;
    outcome = OpenPrinter(function, device, handle);
    if (outcome.Failed())
        return outcome;
    usbhold::DetachedKernelDriver driver;
    usbhold::ClaimedInterface claimed;
    outcome = ClaimPrinterInterface(function, handle.Get(), device.interfaceNumber, driver, claimed);
    if (outcome.Failed())
        return outcome;

    if (request.enMode == enTransferMode::OneWay) {
        outcome = WriteInPieces(function, handle.Get(), device.endpointOut, request.pSend, request.iSendLength,
                                *request.pOneWay);
        if (!outcome.Failed())
            WriteStringLog(__FILE__, __LINE__, function, "*** length = %d \n", request.iSendLength);
        return outcome;
    }
    outcome = WriteBulk(function, handle.Get(), device.endpointOut, request.pSend, request.iSendLength,
                        kExchangeTimeoutMs);
    if (outcome.Failed())
        return outcome;
    return ReadReply(function, handle.Get(), device.endpointIn, request);
}

// Both operations: start the library, run the steps, name the failed call,
// shut the library down. Nothing has been acquired when the start fails, so
// that path has no clean-up line.
int RunOperation(const char *function, int vid, int pid, const QString &port, const stTransferRequest &request)
{
    if (init_libusb() != 0) {
        WriteStringLog(__FILE__, __LINE__, function, "*** init_libusb failed! \n");
        return USB_RESULT_INIT;
    }
    stStepOutcome outcome;
    {
        usbhold::DefaultContext context;
        outcome = RunSteps(function, vid, pid, port, request);
        if (outcome.bLogFailedCode)
            WriteStringLog(__FILE__, __LINE__, function, "*** error=%s \n", libusb_error_name(outcome.iFailedCode));
    }
    WriteStringLog(__FILE__, __LINE__, function, "*** success! \n");
    return outcome.iResult;
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

        QByteArray serial;
        bool readable = false;
        {
            usbhold::OpenHandle handle;
            if (!handle.Open(list[i]))
                continue;
            readable = ReadDeviceSerial(handle.Get(), *descriptor, serial);
        }
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
        usbhold::ConfigDescriptor config;
        if (!config.Read(device->device, static_cast<uint8_t>(c))) {
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
                    return 0;
                }
            }
        }
    }
    return -2;
}

int USBSendRecvData(int vid, int pid, QString port, unsigned char *sendData, int sendLength,
                    unsigned char *recvBuffer, int recvCapacity, int *recvLength)
{
    const stTransferRequest request{enTransferMode::Exchange, sendData, sendLength, recvBuffer,
                                    recvCapacity, recvLength, nullptr};
    return RunOperation(__FUNCTION__, vid, pid, port, request);
}

int FWUpdateTask(int vid, int pid, QString port, char *data, int length)
{
    return FWUpdateTask(vid, pid, port, data, length, stOneWayOptions());
}

int FWUpdateTask(int vid, int pid, const QString &port, const char *data, int length,
                 const stOneWayOptions &options)
{
    const stTransferRequest request{enTransferMode::OneWay, reinterpret_cast<const unsigned char *>(data),
                                    length, nullptr, 0, nullptr, &options};
    return RunOperation("FWUpdateTask", vid, pid, port, request);
}
