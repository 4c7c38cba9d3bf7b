#pragma once
// The daemon's side of a network scanner: its web server on port 80 (scan start,
// abort, capabilities, feeder status), its XML method service on port 5000 and
// the record channel on port 2080 that carries the scan data.
//
// Every function returns an int result code (ruvo_wire::Result from
// scan_types.h) or, where noted, a descriptor or -1; nothing throws. Each
// exchange opens its own connection and closes it before returning, except the
// record channel, which a scan start leaves open in RuvoSocket::tcpFromScanner
// for ruvo_tcp_ScanRecord.
//
// Descriptors in RuvoSocket::tcpFromScanner come back from clients; the library
// only ever closes or reads the descriptor that it opened itself as the record
// channel of this process, so a client cannot make it touch any other. A scan
// start or an abort closes that channel whatever the record names.

#include "scan_types.h"

#include <cstddef>

inline constexpr int kScannerWebPort = 80;
inline constexpr int kScannerXmlPort = 5000;
inline constexpr int kScannerRecordPort = 2080;

// Connects to `ip` (dotted IPv4 text) on `port` with 5-second send and receive
// timeouts. Returns the connected descriptor (close-on-exec), or -1.
int ruvo_init_tcp(const char *ip, int port);

// Closes `fd` (nothing when it is negative).
void ruvo_close_tcp(int fd);

// Receives exactly `length` bytes into `buffer` in at most 4 receive calls.
// Returns 0 when all arrived, else -1.
int ruvo_tcp_recv_with_retry(int fd, void *buffer, size_t length);

// One "getAttribute" call on the scanner's XML service (port 5000). On success
// *reply is a malloc'ed buffer of *replyLength bytes (not NUL-terminated; null
// when the length is 0) that the caller releases with free(). Results:
// ruvo_wire::RESULT_GOOD; ruvo_wire::RESULT_IO_ERROR on any exchange failure or a reply
// longer than 8192 bytes; ruvo_wire::RESULT_INVALID for an unknown `type` or a scanner
// address that is not dotted IPv4 text; ruvo_wire::RESULT_NO_MEMORY out of memory.
int ruvo_send_osl(const RuvoSocket *socket, char **reply, OSL_CMD_TYPE type, int *replyLength);

// Posts the scan settings, checks the device's "RESULT" line, opens the record
// channel (left in socket->tcpFromScanner) and reads its opening block.
// Results: ruvo_wire::RESULT_GOOD; ruvo_wire::RESULT_BUSY when busy or no "RESULT="
// in the reply; ruvo_wire::RESULT_INVALID when refused or for a bad scanner address;
// ruvo_wire::RESULT_IO_ERROR on an exchange failure; ruvo_wire::RESULT_NO_MEMORY out of memory.
int ruvo_http_ScanStart(RuvoSocket *socket, const SettingInfo *settings);

// Closes this process's copy of the record channel once a data process that
// inherited it owns the transfer: the channel then closes when that process
// ends, and the scanner stops sending.
void ruvo_tcp_ReleaseRecordChannel();

// The result of a scan-start reply (headers and body): ruvo_wire::RESULT_GOOD,
// ruvo_wire::RESULT_BUSY or ruvo_wire::RESULT_INVALID.
int ruvo_http_ScanStartResult(const char *reply);

// Reads one block of the record channel. A new-page marker gives
// SCAN_STATUS_BEGIN_OF_PAGE and no data; a data block gives
// SCAN_STATUS_OPERATION_CONTINUOUS and *dataLength bytes in *data (grown with
// realloc when too small, *dataSize updated; the caller frees it); the end
// marker gives SCAN_STATUS_END_OF_DATA with result ruvo_wire::RESULT_END_OF_SCAN and closes
// the channel. Any failure closes the channel: ruvo_wire::RESULT_IO_ERROR for I/O or
// a malformed header, ruvo_wire::RESULT_NO_MEMORY out of memory or a block over the size
// limit.
int ruvo_tcp_ScanRecord(RuvoSocket *socket, ScanStatus *status, unsigned char **data, int *dataSize,
                        int *dataLength);

// ruvo_tcp_ScanRecord without reading a data block's bytes: they wait in the
// channel (socket->tcpFromScanner), *pendingLength of them, for the caller to
// move straight into a page file. When moving them fails on the channel's
// side, the caller ends the channel with ruvo_tcp_RecordDataFailed.
int ruvo_tcp_ScanRecordHeader(RuvoSocket *socket, ScanStatus *status, uint32_t *pendingLength);
void ruvo_tcp_RecordDataFailed(RuvoSocket *socket);

// Closes the record channel of the running scan and posts "SCANTYPE=4".
// Results: ruvo_wire::RESULT_GOOD, ruvo_wire::RESULT_IO_ERROR, or ruvo_wire::RESULT_INVALID for a
// bad scanner address.
int ruvo_http_ScanAbort(RuvoSocket *socket);

// Fetches and parses the scanner's capabilities. Results: ruvo_wire::RESULT_GOOD,
// ruvo_wire::RESULT_IO_ERROR, or ruvo_wire::RESULT_INVALID for a bad scanner address.
int ruvo_http_DeviceProperties(const RuvoSocket *socket, ScannerCapabilities *capabilities);

// Fills `capabilities` from the key=value lines of a capabilities reply. Returns 0.
int ruvo_ParseScanCapabilities(ScannerCapabilities *capabilities, const char *reply);

// Sets the one field named by `key` from `value`; other keys are ignored. Returns 0.
int ruvo_SetScanCapabilities(ScannerCapabilities *capabilities, const char *key, const char *value);

// Asks for the document feeder state; *status is set only when the reply's last
// byte names one. Results: ruvo_wire::RESULT_GOOD, ruvo_wire::RESULT_IO_ERROR, or
// ruvo_wire::RESULT_INVALID for a bad scanner address.
int ruvo_http_adfstatus(const RuvoSocket *socket, ADFStatus *status);

// Writes the first usable IPv4 address of this machine (up, running, broadcast
// and multicast, not 127.0.0.1) as dotted text into `buffer`. Returns 0 (the
// buffer stays empty when there is none), or -1 when the text does not fit.
int GetHostIPAddress(char *buffer, size_t bufferSize);
