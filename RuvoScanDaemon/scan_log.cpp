#include "scan_log.h"

#include "product_paths.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

FILE *s_outFile = nullptr;
FILE *s_errFile = nullptr;
std::string s_directory;

const char kInfoLogName[] = "ruvo_scan_info.log";
const char kErrLogName[] = "ruvo_scan_err.log";
const char kPrefix[] = "[RuvoScanSDK] ";

FILE *openLog(const char *name, const char *mode)
{
    std::string path = s_directory + "/" + name;
    // "e": close on exec, so page-writing helpers never inherit the logs.
    std::string fullMode = std::string(mode) + "e";
    return std::fopen(path.c_str(), fullMode.c_str());
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

bool openBoth(const char *mode)
{
    s_outFile = openLog(kInfoLogName, mode);
    s_errFile = openLog(kErrLogName, mode);
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
    return openBoth("wb+");
}

bool RuvoReopenDbg()
{
    closeStreams();
    if (s_directory.empty())
        return false;
    return openBoth("ab+");
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
