#pragma once
// Fixed-layout records and constants of the scan daemon: the client protocol on
// port 7000 and the USB scanner's command frames. Every record here is the exact
// byte image that goes over the wire (little-endian, no hidden padding); the
// static_asserts below pin sizes and offsets so a compiler change cannot move a
// field silently. One-byte flags that arrive from clients or the device are
// uint8_t, not bool: a peer may send any byte there, and a bool holding 2 is
// undefined behaviour.
//
// The network scanner code (RuvoScanDaemon/network/) includes this header for
// SettingInfo, ScanStatus, ADFStatus, the result codes, RuvoSocket and
// ScannerCapabilities, and scan_log.h for the "[RuvoScanSDK] " logs. It does not
// redefine any of these records.

#include <cstddef>
#include <cstdint>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the wire records are little-endian byte images; a big-endian host needs explicit encoding"
#endif

// ---- result codes ----
// The values every answer of the daemon carries in its result field. They are
// the numbers the scanner backend hands on to its front ends, so they never
// change; the names are the daemon's own, kept apart from any front end's.
namespace ruvo_wire {
enum Result : int32_t {
    RESULT_GOOD = 0,
    RESULT_UNSUPPORTED = 1,
    RESULT_CANCELLED = 2,
    RESULT_BUSY = 3,
    RESULT_INVALID = 4,
    RESULT_END_OF_SCAN = 5,
    RESULT_JAMMED = 6,
    RESULT_NO_DOCUMENTS = 7,
    RESULT_COVER_OPEN = 8,
    RESULT_IO_ERROR = 9,
    RESULT_NO_MEMORY = 10,
    RESULT_ACCESS_DENIED = 11,
};
} // namespace ruvo_wire

// ---- client protocol (port 7000) ----
inline constexpr int kScanDaemonPort = 7000;

enum scanCommandType : int32_t {
    USB_FIND_DEV = 0,
    USB_OPEN_DEV = 1,
    USB_CLOSE_DEV = 2,
    USB_CLEAR_DEV = 3,
    USB_RESET_DEVEP = 4,
    USB_SCAN_START = 5,
    USB_SCAN_ABORT = 6,
    USB_SCAN_LOCK = 7,
    USB_SCAN_UNLOCK = 8,
    USB_SCAN_ADFSTATUS = 9,
    USB_SCAN_POWERON = 10,
    USB_SCAN_GETSIZES = 11,
    USB_SCAN_DEVPROPERTIES = 12,
    TCP_SEND_OSL = 13,
    TCP_SCAN_START = 14,
    TCP_SCAN_ABORT = 15,
    TCP_SCAN_ADFST = 16,
    TCP_SCAN_DEVPROPERTIES = 17,
    USB_REOPEN_DEV = 18,
    CMD_DELETE_FILE = 19,
};

// ---- scan settings and states ----
enum CompressionType : int32_t {
    COMPRESSION_NONE = 0,
    COMPRESSION_WICKED = 1,
    COMPRESSION_JPEG = 2,
};

enum ScanStatus : int32_t {
    SCAN_STATUS_OPERATION_CONTINUOUS = 0,
    SCAN_STATUS_END_OF_DATA = 1,
    SCAN_STATUS_ABORTED_OUT_OF_MEMORY = 2,
    SCAN_STATUS_ABORTED_BY_REQUEST = 3,
    SCAN_STATUS_ABORTED_BY_DEVICE = 4,
    SCAN_STATUS_ABORTED_PAPER_JAM = 5,
    SCAN_STATUS_END_OF_PAGE = 7,
    SCAN_STATUS_BEGIN_OF_SCAN = 8,
    SCAN_STATUS_BEGIN_OF_PAGE = 9,
};

enum ADFStatus : int32_t {
    ADF_STATUS_EMPTY = 1,
    ADF_STATUS_LOADED = 2,
    ADF_STATUS_PAPER_JAM = 3,
};

enum ScanSource : uint8_t {
    SCAN_SOURCE_FLATBED_SINGLE_PAGE = 1,
    SCAN_SOURCE_ADF_MULTI_PAGE = 3,
    SCAN_SOURCE_ADF_SINGLE_PAGE = 4,
};

struct SettingInfo {
    uint8_t bitDepth;
    uint8_t pad0[3];
    int32_t compType;
    uint32_t width;
    uint32_t height;
    uint32_t xStart;
    uint32_t yStart;
    uint16_t xResolution;
    uint16_t yResolution;
    uint8_t feederEnabled; // a wire bool: any value not 0 is true
    uint8_t backgroundRemoval;
    uint8_t backgroundRemovalParam;
    uint8_t BrightnessParam;
    uint8_t ContrastParam;
    uint8_t isClient;
    uint8_t pad1[2];
};
static_assert(sizeof(SettingInfo) == 36);
static_assert(offsetof(SettingInfo, compType) == 4);
static_assert(offsetof(SettingInfo, width) == 8);
static_assert(offsetof(SettingInfo, xResolution) == 24);
static_assert(offsetof(SettingInfo, feederEnabled) == 28);
static_assert(offsetof(SettingInfo, isClient) == 33);

// ---- network scanner records shared with the client protocol ----
struct RuvoSocket {
    int32_t tcpFromScanner;
    char szScannerIP[16];
};
static_assert(sizeof(RuvoSocket) == 20);
static_assert(offsetof(RuvoSocket, szScannerIP) == 4);

struct ScannerCapabilities {
    uint8_t duplex; // wire bools: any value not 0 is true
    uint8_t color;
    uint8_t pad0[2];
    uint32_t minres;
    uint32_t maxres;
    uint32_t width_format;
    uint32_t family;
    uint8_t permprofiles; // wire bools
    uint8_t profile;
    uint8_t pad1[2];
    uint32_t maxWidth;
    uint32_t maxHeight;
    uint32_t basicres;
};
static_assert(sizeof(ScannerCapabilities) == 36);
static_assert(offsetof(ScannerCapabilities, minres) == 4);
static_assert(offsetof(ScannerCapabilities, permprofiles) == 20);
static_assert(offsetof(ScannerCapabilities, maxWidth) == 24);
static_assert(offsetof(ScannerCapabilities, basicres) == 32);

enum OSL_CMD_TYPE : int32_t {
    OSL_CMD_FAMILYTYPE = 0,
    OSL_CMD_GETLIST = 1,
    OSL_CMD_SUMMARY = 2,
};

// ---- USB scanner command frames (bulk OUT 0x02 / IN 0x82) ----
inline constexpr uint8_t kScanEndpointOut = 0x02;
inline constexpr uint8_t kScanEndpointIn = 0x82;

enum CommandType : int32_t {
    CMD_TYPE_SCAN_START = 0,
    CMD_TYPE_SCAN_DEVICE_PROPERTIES = 1,
    CMD_TYPE_SCAN_ADF_STATUS = 2,
    CMD_TYPE_SCAN_LOCK = 3,
    CMD_TYPE_SCAN_UNLOCK = 4,
    CMD_TYPE_SCAN_GET_SCAN_SIZES = 5,
    CMD_TYPE_SCAN_ABORT = 6,
    CMD_TYPE_SCAN_POWER_ON_COMMAND = 7,
    CMD_TYPE_SCAN_RECORD = 8,
};

inline constexpr uint8_t kFrameStart = 0x1B;
inline constexpr uint8_t kClassScan = 0x53;
inline constexpr uint8_t kClassPower = 0x44;
inline constexpr uint8_t kCodeScanStart = 0x01;
inline constexpr uint8_t kCodeScanRecord = 0x02;
inline constexpr uint8_t kCodeDeviceProperties = 0x03;
inline constexpr uint8_t kCodeAdfStatus = 0x04;
inline constexpr uint8_t kCodeLock = 0x05;
inline constexpr uint8_t kCodeUnlock = 0x06;
inline constexpr uint8_t kCodeGetScanSizes = 0x0A;
inline constexpr uint8_t kCodeAbort = 0x0F;
inline constexpr uint8_t kCodePowerOn = 0x04;
inline constexpr uint8_t kRequestFlags = 0x80;

// Response flags of the device.
inline constexpr uint8_t kFlagSuccess = 0x80;

struct ReqCommon {
    uint8_t cmdStart;
    uint8_t cmdClass;
    uint8_t cmdCode;
    uint8_t subCmdCode;
    uint16_t dataSize;
    uint8_t flags;
    uint8_t reserved;
};
using ResCommon = ReqCommon;
static_assert(sizeof(ReqCommon) == 8);
static_assert(offsetof(ReqCommon, dataSize) == 4);
static_assert(offsetof(ReqCommon, flags) == 6);

struct ReqScanLock {
    ReqCommon header;
    uint8_t depth;
    uint8_t compressionMode;
    uint8_t compressionLevel;
    uint8_t filter;
    uint32_t width;
    uint32_t height;
    uint32_t xOffset;
    uint32_t yOffset;
    uint16_t xResolution;
    uint16_t yResolution;
    uint8_t scanSource;
    uint8_t duplex;
    uint8_t mirror;
    uint8_t negative; // a frame bool
    uint8_t useColorDropout; // a frame bool
    uint8_t colorDropoutRed;
    uint8_t colorDropoutBlue;
    uint8_t colorDropoutGreen;
    uint8_t colorDropoutThreshold;
    uint8_t backgroundRemoval; // a frame bool
    uint8_t backgroundRemovalParam;
    uint8_t edit; // a frame bool
    uint8_t descreen;
    uint8_t brightness;
    uint8_t contrast;
    uint8_t originalDocumentSource;
    uint8_t sharpen;
    uint8_t colorTemperature;
    uint8_t colorSaturation;
    uint8_t useColorBalance; // a frame bool
    uint8_t colorBalanceRed;
    uint8_t colorBalanceBlue;
    uint8_t colorBalanceGreen;
} __attribute__((packed));
inline constexpr size_t kLockFrameSize = 55;
static_assert(sizeof(ReqScanLock) == kLockFrameSize);
static_assert(offsetof(ReqScanLock, width) == 12);
static_assert(offsetof(ReqScanLock, xResolution) == 28);
static_assert(offsetof(ReqScanLock, scanSource) == 32);
static_assert(offsetof(ReqScanLock, backgroundRemoval) == 41);
static_assert(offsetof(ReqScanLock, brightness) == 45);
static_assert(offsetof(ReqScanLock, colorBalanceGreen) == 54);

struct ResScanDeviceProperties {
    ResCommon header;
    uint8_t majorVersion;
    uint8_t minorVersion;
    uint8_t customStr; // a wire bool
    uint8_t compression;
    uint8_t boundery24;
    uint8_t boundery8;
    uint8_t pad0[2];
    uint32_t supportProcessing;
    uint16_t deviceCaps;
    uint8_t sources;
    uint8_t pad1;
};
static_assert(sizeof(ResScanDeviceProperties) == 24);
static_assert(offsetof(ResScanDeviceProperties, supportProcessing) == 16);
static_assert(offsetof(ResScanDeviceProperties, deviceCaps) == 20);
static_assert(offsetof(ResScanDeviceProperties, sources) == 22);

struct ResScanGetScanSize {
    ResCommon header;
    uint8_t mumOfList;
};

struct ResScanPowerOnCommand {
    ResCommon header;
    uint8_t timeToScan;
};

// A scan record: the header, then 23 record bytes; dataSize counts those 23
// bytes plus the image bytes that follow in transfers of their own.
inline constexpr uint16_t kScanRecordBytes = 23;
struct ResScanRecord {
    ResCommon header;
    uint8_t status;
    uint8_t flip;  // wire bools
    uint8_t split;
    uint8_t geometry[20];
} __attribute__((packed));
static_assert(sizeof(ResScanRecord) == 8 + kScanRecordBytes);

// ---- client protocol request bodies ----
inline constexpr size_t kTextFieldSize = 1024;
inline constexpr size_t kFileNameSize = 256;

struct USBFindDevReq {
    int32_t vid;
    int32_t pid;
    uint8_t compareWithPID; // a wire bool: any value not 0 is true
    uint8_t pad[3];
};
static_assert(sizeof(USBFindDevReq) == 12);

struct USBCommonReq {
    int32_t devfd;
};
static_assert(sizeof(USBCommonReq) == 4);

struct USBReopenDevReq {
    int32_t devfd;
    int32_t vid;
    int32_t pid;
    char SerialNumber[kTextFieldSize];
};
static_assert(sizeof(USBReopenDevReq) == 1036);

struct USBClearDevEpReq {
    int32_t devfd;
    uint32_t ep;
};
using USBResetDevEpReq = USBClearDevEpReq;
static_assert(sizeof(USBClearDevEpReq) == 8);

struct USBScanLockReq {
    int32_t devfd;
    SettingInfo info;
};
static_assert(sizeof(USBScanLockReq) == 40);
static_assert(offsetof(USBScanLockReq, info) == 4);

struct USBScanAbortReq {
    int32_t devfd;
    char fileName[kFileNameSize];
};
static_assert(sizeof(USBScanAbortReq) == 260);

struct CmdDeleteFileReq {
    char fileName[kFileNameSize];
};
static_assert(sizeof(CmdDeleteFileReq) == 256);

struct TCPCommonReq {
    RuvoSocket socket;
};
static_assert(sizeof(TCPCommonReq) == 20);

struct TCPOSLReq {
    RuvoSocket socket;
    int32_t type;
};
static_assert(sizeof(TCPOSLReq) == 24);

struct TCPScanStartReq {
    RuvoSocket socket;
    SettingInfo info;
};
static_assert(sizeof(TCPScanStartReq) == 56);
static_assert(offsetof(TCPScanStartReq, info) == 20);

struct TCPScanAbortReq {
    RuvoSocket socket;
    char fileName[kFileNameSize];
};
static_assert(sizeof(TCPScanAbortReq) == 276);

// ---- client protocol responses ----
struct USBFindDevRes {
    int32_t fd;
    int32_t vid;
    int32_t pid;
    char Manufacturer[kTextFieldSize];
    char Product[kTextFieldSize];
    char SerialNumber[kTextFieldSize];
};
static_assert(sizeof(USBFindDevRes) == 3084);
static_assert(offsetof(USBFindDevRes, Product) == 1036);
static_assert(offsetof(USBFindDevRes, SerialNumber) == 2060);

struct USBReopenDevRes {
    int32_t ret;
    int32_t fd;
};
static_assert(sizeof(USBReopenDevRes) == 8);

struct USBScanStartRes {
    int32_t result;
    char fileName[kFileNameSize];
};
static_assert(sizeof(USBScanStartRes) == 260);

struct USBScanRecordRes {
    int32_t st;
    int32_t fileIndex;
    int32_t dataSize;
    int32_t result;
};
static_assert(sizeof(USBScanRecordRes) == 16);

struct USBScanAdfStatusRes {
    int32_t st;
    int32_t result;
};
static_assert(sizeof(USBScanAdfStatusRes) == 8);

struct USBScanDevicePropertiesRes {
    ResScanDeviceProperties st;
    int32_t result;
};
static_assert(sizeof(USBScanDevicePropertiesRes) == 28);
static_assert(offsetof(USBScanDevicePropertiesRes, result) == 24);

struct TCPOSLRes {
    int32_t result;
    int32_t bufferLen;
};
static_assert(sizeof(TCPOSLRes) == 8);

struct TCPScanStartRes {
    int32_t result;
    int32_t socketDataFd;
    char fileName[kFileNameSize];
};
static_assert(sizeof(TCPScanStartRes) == 264);

struct TCPRecordRes {
    int32_t result;
    int32_t bufferLen;
    int32_t fileIndex;
    int32_t st;
};
static_assert(sizeof(TCPRecordRes) == 16);

struct TCPADFStatusRes {
    int32_t result;
    int32_t st;
};
static_assert(sizeof(TCPADFStatusRes) == 8);

struct TCPDevPropertiesRes {
    int32_t result;
    ScannerCapabilities devPro;
};
static_assert(sizeof(TCPDevPropertiesRes) == 40);

// ---- device table of one search ----
inline constexpr int kMaxUsbDevices = 64;

struct UsbDeviceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
static_assert(sizeof(UsbDeviceDescriptor) == 18);
static_assert(offsetof(UsbDeviceDescriptor, idVendor) == 8);
static_assert(offsetof(UsbDeviceDescriptor, iSerialNumber) == 16);

struct RUVO_USB_DEV {
    int fd;
    UsbDeviceDescriptor dev_des;
};
