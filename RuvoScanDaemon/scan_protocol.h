#pragma once
// The USB scanner's command protocol: 8-byte command frames on bulk OUT 0x02,
// responses and scan records on bulk IN 0x82.

#include "scan_types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr int kResponseBufferSize = 200;
inline constexpr int kRecordBufferSize = 512;

// ---- frames and decoding, no device involved ----
std::array<uint8_t, sizeof(ReqCommon)> BuildCommandFrame(uint8_t commandClass, uint8_t commandCode);
std::array<uint8_t, kLockFrameSize> BuildLockFrame(const SettingInfo &settings);

int ConvertResponseFlagToErrorCode(uint8_t flag, CommandType type);

// What one read of the IN endpoint during a scan means.
struct ScanRecordDecision {
    enum Kind { AbortFromDevice, Empty, Record } kind = Empty;
    int status = 0;      // the record's status byte (Record only)
    int imageBytes = 0;  // image bytes that follow (status 0 only)
    int result = 0;      // result code unless image bytes must be read first
    bool readImage = false;
};
// `bytes` is what the record read returned (`received` bytes, at least 0).
ScanRecordDecision DecodeScanRecord(const uint8_t *bytes, int received);

// Classifies a response read: returns the result code for a response header in
// `bytes` (`received` bytes) of the given command type, not counting stray
// records and abort frames, which the caller skips before.
int DecodeResponse(const uint8_t *bytes, int received, CommandType type);
bool IsScanRecordFrame(const uint8_t *bytes, int received);
bool IsAbortFrame(const uint8_t *bytes, int received);

// ---- operations on a device handle ----
int RequestScanner(int handle, const uint8_t *frame, int length);
int ResponseScanner(int handle, CommandType type);
int ReadWithRetry(int handle, uint8_t *buffer, int count);

int ScanLock(int handle, const SettingInfo &settings);
int ScanStart(int handle);
int ScanUnlock(int handle);
int ScanGetScanSizes(int handle);
int ScanPowerOn(int handle);
int ScanAbort(int handle);
int ScanADFStatus(int handle, int32_t *status);
int ScanDeviceProperties(int handle, ResScanDeviceProperties *properties);
// Reads one scan record and, for a data record, its image bytes into `buffer`,
// which grows on demand. `status` keeps its value for an empty read.
int ScanRecord(int handle, int32_t *status, std::vector<uint8_t> &buffer, uint16_t *readSize);

// The last response read by this process (tests and the properties copy).
const uint8_t *ResponseBuffer();
