#include "scan_log.h"

#include "product_paths.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <string>

namespace {

FILE *s_outFile = nullptr;
FILE *s_errFile = nullptr;
std::string s_directory;

const char kInfoLogName[] = "ruvo_scan_info.log";
const char kErrLogName[] = "ruvo_scan_err.log";
const char kPrefix[] = "[RuvoScanSDK] ";

FILE *openLog(const char *name, bool truncate)
{
    std::string path = s_directory + "/" + name;
    // The daemon runs with umask 0; the logs are readable by all but written
    // only by the daemon. Close on exec: no program started later inherits them.
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND);
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0)
        return nullptr;
    FILE *stream = fdopen(fd, truncate ? "wb+" : "ab+");
    if (!stream)
        close(fd);
    return stream;
}

void closeStreams()
{
    if (s_outFile)
        std::fclose(s_outFile);
    if (s_errFile)
        std::fclose(s_errFile);
    s_outFile = nullptr;
    s_errFile = nullptr;
}

bool openBoth(bool truncate)
{
    s_outFile = openLog(kInfoLogName, truncate);
    s_errFile = openLog(kErrLogName, truncate);
    return s_outFile && s_errFile;
}

void writeLine(FILE *stream, const char *format, va_list args)
{
    if (!stream)
        return;
    // One formatted buffer and one write, so append-mode writers from several
    // processes cannot split a line.
    char text[4096];
    int prefixLength = static_cast<int>(sizeof(kPrefix) - 1);
    std::memcpy(text, kPrefix, static_cast<size_t>(prefixLength));
    int length = std::vsnprintf(text + prefixLength, sizeof(text) - static_cast<size_t>(prefixLength) - 1, format, args);
    if (length < 0)
        length = 0;
    size_t total = static_cast<size_t>(prefixLength) + static_cast<size_t>(length);
    if (total > sizeof(text) - 2)
        total = sizeof(text) - 2;
    text[total++] = '\n';
    std::fwrite(text, 1, total, stream);
    std::fflush(stream);
}

} // namespace

bool RuvoInitDbg(const char *directory)
{
    closeStreams();
    s_directory = directory ? directory : ruvo_paths::kScanDir;
    return openBoth(true);
}

bool RuvoReopenDbg()
{
    closeStreams();
    if (s_directory.empty())
        return false;
    return openBoth(false);
}

void RuvoCloseDbg()
{
    closeStreams();
}

std::string RuvoLogDirectory()
{
    return s_directory;
}

void RuvoInfoLog(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(s_outFile, format, args);
    va_end(args);
}

void RuvoErrLog(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(s_errFile, format, args);
    va_end(args);
}
