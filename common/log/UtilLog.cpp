#include "UtilLog.h"

#include "RuvoPaths.h"
#include "product_paths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

constexpr qint64 kRotateAboveBytes = 1048576;
constexpr int kMessageBufferSize = 1024;

// Read without the lock on every call, written once at start: atomic so a late
// SetLogEnable is still a well-defined race.
std::atomic<bool> s_bEnable{false};
// The series state below is guarded by s_mutexLog once logging runs;
// SetLogEnable writes it before other threads log.
int s_iLogIndex = 0;
QString s_strLogNameTmp;
QString s_strLogName;
// std::mutex rather than QMutex: ThreadSanitizer sees its ordering.
std::mutex s_mutexLog;
// Set in main before the log is switched on, like the series state.
stLogLocation s_stLocation;
bool s_bLocationSet = false;

QString SeriesFileName(int index)
{
    return s_strLogNameTmp + QString::number(index) + ".log";
}

// Appends one whole line; the caller holds s_mutexLog.
void AppendLine(const QByteArray &message, const char *file, int line, const char *function)
{
    QByteArray text = QDateTime::currentDateTime().toString("[yyyy-MM-dd hh:mm:ss.zzz] (").toUtf8();
    text += QByteArray(file ? file : "");
    text += '@';
    text += QByteArray::number(line);
    text += ' ';
    text += QByteArray(function ? function : "");
    text += ") ";
    text += message;
    text += '\n';

    // The size test comes before the write, so a file ends at most one line
    // above the limit and a file of exactly the limit is still appended to.
    if (QFileInfo(s_strLogName).size() > kRotateAboveBytes) {
        ++s_iLogIndex;
        s_strLogName = SeriesFileName(s_iLogIndex);
    }

    QFile out(s_strLogName);
    if (out.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        out.write(text);
        out.close();
    }
}

} // namespace

stLogLocation ProductLogLocation(const char *subDir, const QString &baseName)
{
    return {RuvoPaths::ProductPath(subDir), baseName};
}

stLogLocation UserLogLocation(const char *subDir, const QString &baseName)
{
    return {RuvoPaths::UserPath(subDir), baseName};
}

void SetLogLocation(const stLogLocation &location)
{
    s_stLocation = location;
    s_bLocationSet = true;
}

stLogLocation LogLocation()
{
    return s_bLocationSet ? s_stLocation : UserLogLocation(ruvo_paths::kLogSubDir, "log");
}

void SetLogEnable(bool enable)
{
    if (enable) {
        const stLogLocation location = LogLocation();
        s_iLogIndex = 0;
        s_strLogNameTmp = location.strDirectory;
        QDir().mkpath(s_strLogNameTmp);
        s_strLogNameTmp += "/" + location.strBaseName
                           + QDateTime::currentDateTime().toString("_yyyyMMdd_hhmmss_");
        s_strLogName = SeriesFileName(s_iLogIndex);
    } else {
        s_strLogName.clear();
    }
    s_bEnable.store(enable);
}

bool IsLogEnabled()
{
    return s_bEnable.load();
}

QString CurrentLogFile()
{
    std::lock_guard<std::mutex> lock(s_mutexLog);
    return s_strLogName;
}

void WriteStringLog(const char *file, int line, const char *function, QString format, ...)
{
    if (!s_bEnable.load())
        return;

    std::lock_guard<std::mutex> lock(s_mutexLog);
    char buffer[kMessageBufferSize] = {};
    const QByteArray localFormat = format.toLocal8Bit();
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(buffer, sizeof buffer, localFormat.constData(), arguments);
    va_end(arguments);
    AppendLine(QByteArray(buffer), file, line, function);
}

void WriteTextLog(const char *file, int line, const char *function, const QString &text)
{
    if (!s_bEnable.load())
        return;
    const QByteArray bytes = text.toLocal8Bit();
    WriteStringLog(file, line, function, "%s", bytes.constData());
}
