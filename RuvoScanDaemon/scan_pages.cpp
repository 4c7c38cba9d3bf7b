#include "scan_pages.h"

#include "scan_log.h"
#include "scan_rules.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kFileWriteAttempts = 11;
// The free space is measured again after this many bytes (other writers share
// the file system).
constexpr uint64_t kMeasureEvery = 1024 * 1024;

// Appends all bytes in at most 11 write calls. Returns the bytes left unwritten.
size_t writePageData(int fd, const uint8_t *bytes, size_t length)
{
    size_t done = 0;
    for (int attempt = 0; attempt < kFileWriteAttempts && done < length; ++attempt) {
        ssize_t written = write(fd, bytes + done, length - done);
        if (written > 0)
            done += static_cast<size_t>(written);
    }
    return length - done;
}

// Moves `length` bytes from the socket `channel` to `file`: socket -> pipe ->
// file with splice, so the bytes never pass through this process, or through
// a small buffer where there is no pipe or the descriptors cannot splice. The
// channel gets what its own receive gets: at most 4 calls that bring nothing
// and 20 s in all; the file what a page write gets: at most 11 calls that write
// nothing per piece.
struct ChannelMove {
    size_t written = 0;
    bool channelFailed = false;
    bool pipeSpoilt = false; // bytes may be left in the pipe
};

constexpr int kPipeBytes = 1024 * 1024;
constexpr int kChannelStalls = 4;
constexpr int kChannelSeconds = 4 * 5;

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Empties `count` bytes of the pipe into the file. Returns how many went.
size_t drainPipe(int pipeOut, int file, size_t count)
{
    uint8_t scratch[16384];
    size_t done = 0;
    bool splicing = true;
    for (int idle = 0; done < count && idle < kFileWriteAttempts;) {
        if (!splicing) {
            ssize_t got = read(pipeOut, scratch, std::min(count - done, sizeof(scratch)));
            if (got <= 0)
                break;
            size_t left = writePageData(file, scratch, static_cast<size_t>(got));
            done += static_cast<size_t>(got) - left;
            if (left > 0)
                break;
            continue;
        }
        ssize_t moved = splice(pipeOut, nullptr, file, nullptr, count - done, SPLICE_F_MOVE);
        if (moved > 0)
            done += static_cast<size_t>(moved);
        else if (moved < 0 && errno == EINVAL && done == 0)
            splicing = false; // a file system that cannot splice
        else if (!(moved < 0 && errno == EINTR))
            ++idle;
    }
    return done;
}

ChannelMove moveChannelData(int channel, int file, int pipeIn, int pipeOut, size_t pipeCapacity, size_t length)
{
    ChannelMove move;
    uint8_t scratch[16384];
    bool splicing = pipeIn >= 0;
    const double deadline = monotonicSeconds() + kChannelSeconds;
    size_t left = length;
    for (int stalls = 0; left > 0;) {
        if (stalls >= kChannelStalls || monotonicSeconds() > deadline) {
            move.channelFailed = true;
            break;
        }
        ssize_t got;
        if (splicing) {
            got = splice(channel, nullptr, pipeIn, nullptr, std::min(left, pipeCapacity), SPLICE_F_MOVE);
            if (got < 0 && errno == EINVAL) {
                splicing = false; // not a socket that splices: through the buffer
                continue;
            }
        } else {
            got = recv(channel, scratch, std::min(left, sizeof(scratch)), 0);
        }
        if (got <= 0) {
            if (!(got < 0 && errno == EINTR))
                ++stalls;
            continue;
        }
        left -= static_cast<size_t>(got);
        size_t stored;
        if (splicing) {
            stored = drainPipe(pipeOut, file, static_cast<size_t>(got));
            move.pipeSpoilt = stored != static_cast<size_t>(got);
        } else {
            stored = static_cast<size_t>(got) - writePageData(file, scratch, static_cast<size_t>(got));
        }
        move.written += stored;
        if (stored != static_cast<size_t>(got))
            break; // the file refused bytes: the scan ends with this block short
    }
    return move;
}

// A regular file (not a link, not a directory) directly in the directory `dir`.
bool isRegularEntry(int dir, const char *entry)
{
    struct stat info;
    return fstatat(dir, entry, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

} // namespace

PageFiles::PageFiles(std::string baseName, PageOwner owner, uint64_t byteCap)
    : m_baseName(std::move(baseName)), m_owner(owner), m_byteCap(byteCap)
{
}

bool PageFiles::begin()
{
    m_file.reset();
    std::string path = ruvo_wire::PageFileName(m_baseName, m_count);
    // Never a file that is already there: the scan start chose a base name
    // that no leftover uses, so an existing file is someone else's business.
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file)
        return false;
    if (!giveToOwner(file.get()))
        return false;
    m_file = std::move(file);
    ++m_count;
    return true;
}

// Page files are for the user whose client started the scan and nobody else.
// With CAP_CHOWN (a daemon run as root) the file becomes that user's. Without
// it (the service) the file stays the daemon's with an access list that adds
// read access for that user alone. Where neither works (a file system without
// access lists) the file stays the daemon's, readable by nobody else, and the
// scan ends: a page is never readable by all.
bool PageFiles::giveToOwner(int fd)
{
    if (!m_owner.known) {
        RuvoErrLog("page files of %s refused: the client's user is unknown", RuvoLogText(m_baseName).c_str());
        return false;
    }
    if (m_owner.uid == geteuid() || fchown(fd, m_owner.uid, static_cast<gid_t>(-1)) == 0)
        return true;
    std::vector<uint8_t> acl = OwnerAndReaderAcl(m_owner.uid);
    if (fsetxattr(fd, "system.posix_acl_access", acl.data(), acl.size(), 0) == 0)
        return true;
    RuvoErrLog("scan refused: page files of %s cannot be given to uid %u (no access lists on the scan directory's "
               "file system); they stay the service's",
               RuvoLogText(m_baseName).c_str(), static_cast<unsigned>(m_owner.uid));
    return false;
}

int PageFiles::roomFor(size_t length)
{
    if (m_written + length > m_byteCap) {
        RuvoErrLog("scan data over %llu bytes, scan ended", static_cast<unsigned long long>(m_byteCap));
        return ruvo_wire::RESULT_NO_MEMORY;
    }
    if (!m_measured || m_sinceMeasured >= kMeasureEvery || m_headroom < length) {
        struct statvfs space;
        if (fstatvfs(m_file.get(), &space) == 0) {
            uint64_t total = static_cast<uint64_t>(space.f_blocks) * space.f_frsize;
            uint64_t available = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
            uint64_t floor = FreeSpaceFloor(total);
            m_headroom = available > floor ? available - floor : 0;
        } else {
            m_headroom = UINT64_MAX;
        }
        m_measured = true;
        m_sinceMeasured = 0;
        if (m_headroom < length) {
            RuvoErrLog("scan directory nearly full, scan ended");
            return ruvo_wire::RESULT_NO_MEMORY;
        }
    }
    return ruvo_wire::RESULT_GOOD;
}

void PageFiles::wrote(uint64_t bytes)
{
    m_written += bytes;
    m_sinceMeasured += bytes;
    m_headroom = m_headroom > bytes ? m_headroom - bytes : 0;
}

int PageFiles::append(const uint8_t *bytes, size_t length)
{
    if (!m_file)
        return ruvo_wire::RESULT_IO_ERROR;
    int room = roomFor(length);
    if (room != ruvo_wire::RESULT_GOOD)
        return room;
    size_t left = writePageData(m_file.get(), bytes, length);
    wrote(length - left);
    return left == 0 ? ruvo_wire::RESULT_GOOD : ruvo_wire::RESULT_IO_ERROR;
}

int PageFiles::appendFromChannel(int channel, size_t length)
{
    if (!m_file)
        return ruvo_wire::RESULT_IO_ERROR;
    int room = roomFor(length);
    if (room != ruvo_wire::RESULT_GOOD)
        return room;
    if (!m_pipeIn) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            m_pipeOut.reset(ends[0]);
            m_pipeIn.reset(ends[1]);
            // Larger than the default 64 KiB where allowed: fewer calls per block.
            fcntl(m_pipeIn.get(), F_SETPIPE_SZ, kPipeBytes);
            int capacity = fcntl(m_pipeIn.get(), F_GETPIPE_SZ);
            m_pipeCapacity = capacity > 0 ? static_cast<size_t>(capacity) : 0;
        }
    }
    const int file = m_file.get();
    const off_t before = lseek(file, 0, SEEK_CUR);
    ChannelMove move = moveChannelData(channel, file, m_pipeCapacity > 0 ? m_pipeIn.get() : -1,
                                       m_pipeOut.get(), m_pipeCapacity, length);
    if (move.pipeSpoilt) {
        m_pipeIn.reset();
        m_pipeOut.reset();
        m_pipeCapacity = 0;
    }
    if (move.channelFailed) {
        // As if the block had never come: the page ends where it ended before.
        if (before >= 0 && ftruncate(file, before) == 0)
            lseek(file, before, SEEK_SET);
        else
            wrote(move.written);
        return kChannelFailed;
    }
    wrote(move.written);
    return move.written == length ? ruvo_wire::RESULT_GOOD : ruvo_wire::RESULT_IO_ERROR;
}

int deleteFileList(const char *basePath, const char *baseName)
{
    if (!baseName || baseName[0] == '\0') {
        RuvoInfoLog("subStr isEmpty");
        return 0;
    }
    std::optional<ruvo_wire::ScanBase> base = ruvo_wire::ParseScanBaseName(basePath, baseName);
    DIR *directory = opendir(basePath);
    if (!directory)
        return -1;
    int dir = dirfd(directory);
    while (base) {
        dirent *entry = readdir(directory);
        if (!entry)
            break;
        std::optional<ruvo_wire::PageEntry> page = ruvo_wire::ParsePageFileEntry(entry->d_name);
        if (!page || page->processId != base->processId || page->index != base->index)
            continue;
        if (!isRegularEntry(dir, entry->d_name))
            continue;
        RuvoInfoLog("delete file:%s/%s", basePath, entry->d_name);
        unlinkat(dir, entry->d_name, 0);
    }
    closedir(directory);
    return 0;
}

bool ScanBaseInUse(const std::string &scanDir, int processId, int index)
{
    DIR *directory = opendir(scanDir.c_str());
    if (!directory)
        return false;
    bool used = false;
    while (dirent *entry = readdir(directory)) {
        std::optional<ruvo_wire::PageEntry> page = ruvo_wire::ParsePageFileEntry(entry->d_name);
        if (page && page->processId == processId && page->index == index) {
            used = true;
            break;
        }
    }
    closedir(directory);
    return used;
}

bool DeleteScanFile(const std::string &scanDir, const std::string &name, pid_t ownProcessId,
                    std::optional<uid_t> user)
{
    std::string prefix = scanDir + "/";
    std::optional<ruvo_wire::PageEntry> page;
    if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
        page = ruvo_wire::ParsePageFileEntry(std::string_view(name).substr(prefix.size()));
    if (!page)
        return false;
    UniqueFd dir(open(scanDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string entry = name.substr(prefix.size());
    if (!dir || !isRegularEntry(dir.get(), entry.c_str()))
        return false;
    if (page->processId != ownProcessId) {
        // Another connection's page: only for the user it was made for.
        if (!user)
            return false;
        UniqueFd file(openat(dir.get(), entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info;
        if (!file || fstat(file.get(), &info) != 0)
            return false;
        bool owned = info.st_uid == *user && info.st_uid != geteuid();
        if (!owned) {
            uint8_t acl[256];
            ssize_t length = fgetxattr(file.get(), "system.posix_acl_access", acl, sizeof(acl));
            owned = length > 0 && AclGrantsReader(acl, static_cast<size_t>(length), *user);
        }
        if (!owned)
            return false;
    }
    return unlinkat(dir.get(), entry.c_str(), 0) == 0;
}

int SweepOldPages(const std::string &scanDir, time_t before)
{
    DIR *directory = opendir(scanDir.c_str());
    if (!directory)
        return 0;
    int dir = dirfd(directory);
    int removed = 0;
    while (dirent *entry = readdir(directory)) {
        if (!ruvo_wire::ParsePageFileEntry(entry->d_name))
            continue;
        struct stat info;
        if (fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
            info.st_mtime >= before)
            continue;
        if (unlinkat(dir, entry->d_name, 0) == 0) {
            RuvoInfoLog("delete file:%s/%s", scanDir.c_str(), entry->d_name);
            ++removed;
        }
    }
    closedir(directory);
    return removed;
}
