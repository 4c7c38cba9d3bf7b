#pragma once
// A small process-wide text log: one line per call with time stamp and caller
// location, rotating to a new file once the current one passes 1 MiB. Off by
// default; while off a call costs one flag test.
#include <QString>

// Which deliverable's log directory and base name this executable uses. Each
// executable defines c_enLogDeliverable through the build helper ruvo_log_target().
enum class enLogDeliverable {
    RuvoPrinterTool,
    RuvoNetTool,
    ruvoK40FW,
    RuvoPrintRemove,
    RuvoPrintUpdate,
    RuvoPrintWatchdog,
    Test,
};
extern const enLogDeliverable c_enLogDeliverable;

struct stLogLocation {
    QString strDirectory; // ends with "/"
    QString strBaseName;
};
// The directory and base name of a deliverable's log (pure; the home directory
// comes from Qt).
stLogLocation GetLogLocation(enLogDeliverable deliverable);

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
