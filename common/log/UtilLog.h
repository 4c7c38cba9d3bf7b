#pragma once
// A small process-wide text log: one line per call with time stamp and caller
// location, rotating to a new file once the current one passes 1 MiB. Off by
// default; while off a call costs one flag test.
#include <QString>

// Where one program's log goes: a directory (ending with "/") and the base
// name of its files.
struct stLogLocation {
    QString strDirectory;
    QString strBaseName;
};
// The product directory followed by `subDir` ("/log/"), or the user's own
// tree (home directory + "/ruvo/k40_series_printer") followed by `subDir`.
stLogLocation ProductLogLocation(const char *subDir, const QString &baseName);
stLogLocation UserLogLocation(const char *subDir, const QString &baseName);

// Each program names its own location once in main, before the log is
// switched on. Until then the location is the user's tree, base name "log".
void SetLogLocation(const stLogLocation &location);
stLogLocation LogLocation();

// Meant to be called once at start, before other threads log.
void SetLogEnable(bool enable);
bool IsLogEnabled();
// The file the next line goes to (empty while off).
QString CurrentLogFile();

// `format` follows printf rules. Text that is already formatted must not be
// passed as the format (a '%' in it would be read as a conversion): use
// WriteTextLog or RUVO_LOG_TEXT for it.
void WriteStringLog(const char *file, int line, const char *function, QString format, ...);
void WriteTextLog(const char *file, int line, const char *function, const QString &text);

#define RUVO_LOG(...) WriteStringLog(__FILE__, __LINE__, __FUNCTION__, __VA_ARGS__)
#define RUVO_LOG_TEXT(text) WriteTextLog(__FILE__, __LINE__, __FUNCTION__, (text))
