#pragma once
// The page files of the scan directory: how a data process creates and fills
// them, who may read them, which of them a client may have deleted, and the
// sweep of old ones.

#include "unique_fd.h"
#include "scan_names.h"
#include "scan_types.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>

// The user whose client started a scan, when the daemon could learn it.
struct PageOwner {
    bool known = false;
    uid_t uid = 0;
};

// The page files of one scan. Each is created afresh with mode 0600 and given
// to the owner (a page that cannot be given ends the scan); the scan's page bytes are capped, and a page never grows once
// the scan directory's file system is down to its free-space floor.
class PageFiles {
public:
    PageFiles(std::string baseName, PageOwner owner, uint64_t byteCap);

    bool open() const { return m_file.valid(); }
    // Page files created so far.
    int count() const { return m_count; }
    // Closes the page being written and creates the next. False when it cannot
    // be created.
    bool begin();
    // Appends to the open page: ruvo_wire::RESULT_GOOD; ruvo_wire::RESULT_IO_ERROR when
    // bytes stay unwritten; ruvo_wire::RESULT_NO_MEMORY (nothing written) when the scan
    // would pass its byte cap or the file system its floor.
    int append(const uint8_t *bytes, size_t length);
    // Moves `length` bytes from the socket `channel` to the open page through
    // a pipe, never through this process's memory; the results of append, or
    // kChannelFailed when the channel ended or stalled first (the page then
    // keeps none of these bytes).
    int appendFromChannel(int channel, size_t length);
    static constexpr int kChannelFailed = -1;

private:
    bool giveToOwner(int fd);
    // ruvo_wire::RESULT_GOOD when `length` more bytes fit the cap and the floor.
    int roomFor(size_t length);
    void wrote(uint64_t bytes);

    std::string m_baseName;
    PageOwner m_owner;
    uint64_t m_byteCap;
    uint64_t m_written = 0;
    // Bytes that may still be written before the free-space floor, as last
    // measured minus what was written since; re-measured every so often.
    uint64_t m_headroom = 0;
    uint64_t m_sinceMeasured = 0;
    bool m_measured = false;
    UniqueFd m_file;
    int m_count = 0;
    // The pipe that carries channel data to the page, made at the first use.
    UniqueFd m_pipeOut;
    UniqueFd m_pipeIn;
    size_t m_pipeCapacity = 0;
};

// Removes the pages "<baseName>_<digits>.tmp" that lie directly in `basePath`
// as regular files, where baseName is "<basePath>/ruvoscandata_<pid>_<index>";
// any other base name removes nothing. Returns 0, or -1 when the directory
// cannot be opened.
int deleteFileList(const char *basePath, const char *baseName);

// Removes `name` when it is "<scanDir>/ruvoscandata_<pid>_<n>_<m>.tmp", a
// regular file (never through a link), and either <pid> is `ownProcessId` (the
// connection that made it) or the page is `user`'s (its owner, or the reader
// its access list names). Returns true when a file was removed.
bool DeleteScanFile(const std::string &scanDir, const std::string &name, pid_t ownProcessId,
                    std::optional<uid_t> user);

// True when a page file of the scan "<pid>_<index>" lies in `scanDir` already
// (a leftover of an earlier process with the same id).
bool ScanBaseInUse(const std::string &scanDir, int processId, int index);

// Removes page files last written before `before`. Returns how many went.
int SweepOldPages(const std::string &scanDir, time_t before);
