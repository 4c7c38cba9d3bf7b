#include "scan_connection_state.h"

#include <cerrno>
#include <sys/stat.h>

bool sendResult(const ConnectionState &state, int32_t result)
{
    return sendRecord(state, result);
}

void noteMalformed(ConnectionState &state, const std::string &text)
{
    ++state.malformed;
    if (!state.quiet())
        RuvoErrLog("%s", text.c_str());
    else if (state.malformed == kLoggedMalformedRequests + 1)
        RuvoErrLog("pid:%d further malformed requests are not logged", static_cast<int>(getpid()));
}

void answerResult(const ConnectionState &state, int32_t result, const char *errorText)
{
    if (!sendResult(state, result) && errorText)
        RuvoErrLog("%s", errorText);
}

bool lockedByAnother(const ScannerClaim &claim, int command)
{
    if (!claim.busy())
        return false;
    RuvoErrLog("pid:%d command %d refused: the scanner is locked by another connection", static_cast<int>(getpid()),
               command);
    return true;
}

bool ownsHandle(ConnectionState &state, int devfd)
{
    if (state.handles.contains(devfd))
        return true;
    noteMalformed(state, "devfd " + std::to_string(devfd) + " is not a handle of this connection");
    return false;
}

std::optional<std::string> takeField(ConnectionState &state, const char *field, size_t size, const char *what)
{
    std::optional<std::string> text = TextField(field, size);
    if (!text)
        noteMalformed(state, std::string(what) + " not terminated within its field");
    return text;
}

std::string nextScanBaseName(ConnectionState &state)
{
    // A leftover of an earlier process with this id keeps its name; the scan
    // takes the next number that none uses.
    // A leftover of an earlier process with this id keeps its name; the scan
    // takes the next number that none uses.
    const int self = static_cast<int>(getpid());
    for (int tries = 0; tries < 1000 && ScanBaseInUse(state.scanDir, self, state.filename_index); ++tries)
        ++state.filename_index;
    std::string baseName = ruvo_wire::ScanBaseName(state.scanDir, self, state.filename_index);
    state.handedOut.insert(state.filename_index);
    ++state.filename_index;
    return baseName;
}

void settleUsbScan(ConnectionState &state)
{
    if (!state.usbScanInDataProcess || state.data.running())
        return;
    if (state.data.lastExitStatus() == 0)
        state.usbScanSettled = true;
    state.usbScanInDataProcess = false;
}

bool scanRunning(ConnectionState &state)
{
    if (!state.data.busy(state.limits.stopGraceMs)) {
        settleUsbScan(state);
        return false;
    }
    RuvoErrLog("pid:%d scan start refused: a scan of this connection is running", static_cast<int>(getpid()));
    return true;
}

bool ownerUnknown(const ConnectionState &state)
{
    if (state.owner.known)
        return false;
    RuvoErrLog("pid:%d scan start refused: the user of this connection is unknown", static_cast<int>(getpid()));
    return true;
}

void deletePagesOfScan(ConnectionState &state, const std::string &baseName)
{
    if (baseName.empty()) {
        RuvoInfoLog("subStr isEmpty");
        return;
    }
    std::optional<ruvo_wire::ScanBase> base = ruvo_wire::ParseScanBaseName(state.scanDir, baseName);
    if (!base || base->processId != getpid() || state.handedOut.count(base->index) == 0) {
        noteMalformed(state, "abort names no scan of this connection: " + RuvoLogText(baseName));
        return;
    }
    deleteFileList(state.scanDir.c_str(), baseName.c_str());
}

std::optional<std::string> TextField(const char *field, size_t size)
{
    const void *end = std::memchr(field, '\0', size);
    if (!end)
        return std::nullopt;
    return std::string(field, static_cast<const char *>(end));
}

bool DeviceNodeId::operator<(const DeviceNodeId &other) const
{
    if (device != other.device)
        return device < other.device;
    if (inode != other.inode)
        return inode < other.inode;
    return special < other.special;
}

std::optional<DeviceNodeId> DeviceNodeOf(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return std::nullopt;
    return DeviceNodeId{info.st_dev, info.st_ino, info.st_rdev};
}

void OwnedHandles::add(int fd, std::optional<DeviceNodeId> node)
{
    m_handles[fd] = node;
}

void OwnedHandles::remove(int fd)
{
    m_handles.erase(fd);
}

std::optional<int> OwnedHandles::find(const std::optional<DeviceNodeId> &node) const
{
    if (!node)
        return std::nullopt;
    for (const auto &[fd, held] : m_handles)
        if (held && !(*held < *node) && !(*node < *held))
            return fd;
    return std::nullopt;
}
