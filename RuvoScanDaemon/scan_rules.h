#pragma once
// Rules of the scan daemon over names and text only (no files, sockets or
// processes), so tests and fuzz targets reach them directly: which names are
// scan files, which client owns a connection, what a page file may cost.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The base name a scan start hands out: "<scanDir>/ruvoscandata_<pid>_<index>".
struct ScanBase {
    int processId;
    int index;
};
// Exactly that shape, numbers written as the daemon writes them (decimal, no
// sign, no leading zero); anything else, a trailing "/" or "_0" included, is not.
std::optional<ScanBase> ParseScanBaseName(std::string_view scanDir, std::string_view name);

// A page file's entry in the scan directory: "ruvoscandata_<pid>_<index>_<page>.tmp".
struct PageEntry {
    int processId;
    int index;
    int page;
};
std::optional<PageEntry> ParsePageFileEntry(std::string_view entry);

// The owner (uid) of the loopback peer of a TCP connection, from the text of
// the kernel's socket table (/proc/net/tcp): the line whose local end is the
// peer's address and port and whose remote end is this daemon's. Addresses as
// they lie in sockaddr_in (network byte order), ports in host order.
std::optional<uid_t> LoopbackPeerUid(std::string_view socketTable, uint32_t peerAddress, uint16_t peerPort,
                                     uint32_t daemonAddress, uint16_t daemonPort);

// The "system.posix_acl_access" value that lets the file's owner read and
// write, `reader` read, and nobody else anything.
std::vector<uint8_t> OwnerAndReaderAcl(uid_t reader);

// Bytes the scan directory's file system keeps free: a page stops growing
// before the free space falls below this (a twentieth of the file system, at
// most 1 GiB).
uint64_t FreeSpaceFloor(uint64_t fileSystemBytes);
