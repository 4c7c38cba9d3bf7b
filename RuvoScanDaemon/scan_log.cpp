#include "scan_log.h"

#include "product_paths.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LogFile {
    const char *name;
    int fd;
};

LogFile s_info{kRuvoInfoLogName, -1};
LogFile s_err{kRuvoErrLogName, -1};
std::string s_directory;

const char kPrefix[] = "[RuvoScanSDK] ";
// Bytes this process may still log (see RuvoLimitLogBytes).
size_t s_budget = SIZE_MAX;
bool s_budgetNoted = false;
constexpr size_t kLineCapacity = 4096;
constexpr size_t kEscapedTextCapacity = 4000;

// Rotation renames a file that every process of the daemon appends to. The
// lock that keeps two processes from rotating the same log twice lives in
// shared memory set up before the first fork, so no local user can open, hold
// or remove it (a lock file in the readable scan directory could be held by
// anyone). It is robust: a process killed while rotating does not block the
// others.
struct SharedRotationLock {
    pthread_mutex_t mutex;
};
SharedRotationLock *s_rotationLock = nullptr;

void ensureRotationLock()
{
    if (s_rotationLock)
        return;
    void *memory = mmap(nullptr, sizeof(SharedRotationLock), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return;
    auto *lock = static_cast<SharedRotationLock *>(memory);
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (pthread_mutex_init(&lock->mutex, &attributes) == 0)
        s_rotationLock = lock;
    else
        munmap(memory, sizeof(SharedRotationLock));
    pthread_mutexattr_destroy(&attributes);
}

class RotationGuard {
public:
    RotationGuard()
    {
        if (!s_rotationLock)
            return;
        int result = pthread_mutex_lock(&s_rotationLock->mutex);
        if (result == EOWNERDEAD) {
            pthread_mutex_consistent(&s_rotationLock->mutex);
            result = 0;
        }
        m_locked = result == 0;
    }
    ~RotationGuard()
    {
        if (m_locked)
            pthread_mutex_unlock(&s_rotationLock->mutex);
    }
    RotationGuard(const RotationGuard &) = delete;
    RotationGuard &operator=(const RotationGuard &) = delete;

private:
    bool m_locked = false;
};

std::string pathOf(const LogFile &file)
{
    return s_directory + "/" + file.name;
}

// The logs name other users' pages and what their clients sent: readable by
// the daemon's own user and the adm group (when there is one and the daemon
// may give files to it), written only by the daemon. O_NOFOLLOW: a link planted in the log's place is never
// followed (the daemon truncates its logs at start). Close on exec: no program
// started later inherits them.
int openLog(const LogFile &file, bool truncate)
{
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (truncate ? O_TRUNC : 0);
    int fd = open(pathOf(file).c_str(), flags, 0640);
    if (fd < 0)
        return -1;
    struct stat info;
    // Only a regular file: a FIFO in the log's place would block every writer.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    // A log left by an earlier version may still be readable by all.
    if ((info.st_mode & 07777) != 0640)
        fchmod(fd, 0640);
    if (const group *adm = getgrnam("adm"); adm && info.st_gid != adm->gr_gid)
        if (fchown(fd, static_cast<uid_t>(-1), adm->gr_gid) != 0) {
            // Not a member of adm: the logs stay the daemon's group's.
        }
    fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    return fd;
}

void closeLog(LogFile &file)
{
    if (file.fd >= 0)
        close(file.fd);
    file.fd = -1;
}

bool openBoth(bool truncate)
{
    s_info.fd = openLog(s_info, truncate);
    s_err.fd = openLog(s_err, truncate);
    return s_info.fd >= 0 && s_err.fd >= 0;
}

// Called before each line while this process's file has reached the cap. The
// first process to get here renames the file to its rotated copy; every process
// then reopens the name, so writers that still hold the renamed file (the
// rotated copy, or one already replaced) move to the new log with their next
// line instead of growing the old one.
void rotateIfFull(LogFile &file)
{
    struct stat mine;
    if (file.fd < 0 || fstat(file.fd, &mine) != 0 || static_cast<size_t>(mine.st_size) < kRuvoLogCap)
        return;
    RotationGuard guard;
    std::string path = pathOf(file);
    struct stat current;
    bool stillCurrent = lstat(path.c_str(), &current) == 0 && current.st_dev == mine.st_dev &&
                        current.st_ino == mine.st_ino;
    if (stillCurrent)
        rename(path.c_str(), (path + kRuvoRotatedSuffix).c_str());
    int fresh = openLog(file, false);
    if (fresh >= 0) {
        close(file.fd);
        file.fd = fresh;
    }
}

void writeLine(LogFile &file, const char *format, va_list args)
{
    if (file.fd < 0)
        return;
    char text[kLineCapacity];
    size_t prefixLength = sizeof(kPrefix) - 1;
    std::memcpy(text, kPrefix, prefixLength);
    int length = std::vsnprintf(text + prefixLength, sizeof(text) - prefixLength - 1, format, args);
    if (length < 0)
        length = 0;
    size_t total = prefixLength + static_cast<size_t>(length);
    if (total > sizeof(text) - 2)
        total = sizeof(text) - 2;
    text[total++] = '\n';
    if (total > s_budget) {
        s_budget = 0;
        if (s_budgetNoted)
            return;
        s_budgetNoted = true;
        total = static_cast<size_t>(std::snprintf(text, sizeof(text),
                                                  "%spid:%d log limit reached: further lines are not logged\n",
                                                  kPrefix, static_cast<int>(getpid())));
    } else if (s_budget != SIZE_MAX) {
        s_budget -= total;
    }
    rotateIfFull(file);
    ssize_t written;
    do {
        written = write(file.fd, text, total);
    } while (written < 0 && errno == EINTR);
}

} // namespace

bool RuvoInitDbg(const char *directory)
{
    closeLog(s_info);
    closeLog(s_err);
    ensureRotationLock();
    s_directory = directory ? directory : ruvo_paths::kScanDir;
    return openBoth(true);
}

bool RuvoReopenDbg()
{
    closeLog(s_info);
    closeLog(s_err);
    if (s_directory.empty())
        return false;
    return openBoth(false);
}

void RuvoLimitLogBytes(size_t bytes)
{
    s_budget = bytes;
    s_budgetNoted = false;
}

void RuvoCloseDbg()
{
    closeLog(s_info);
    closeLog(s_err);
}

std::string RuvoLogDirectory()
{
    return s_directory;
}

bool RuvoIsLogFileName(std::string_view entry)
{
    for (std::string_view name : {std::string_view(kRuvoInfoLogName), std::string_view(kRuvoErrLogName)}) {
        if (entry == name)
            return true;
        if (entry.size() == name.size() + sizeof(kRuvoRotatedSuffix) - 1 && entry.substr(0, name.size()) == name &&
            entry.substr(name.size()) == kRuvoRotatedSuffix)
            return true;
    }
    return false;
}

std::string RuvoLogText(std::string_view text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() < kEscapedTextCapacity ? text.size() : kEscapedTextCapacity);
    for (char c : text) {
        if (out.size() >= kEscapedTextCapacity) {
            out += "...";
            break;
        }
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

void RuvoInfoLog(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(s_info, format, args);
    va_end(args);
}

void RuvoErrLog(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(s_err, format, args);
    va_end(args);
}
