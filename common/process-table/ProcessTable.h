#pragma once
// The process table read directly from /proc, with the rule of `ps -A`: a
// process is known by its command name (at most 15 characters), compared
// regardless of letter case with the first 15 characters of a program name.
#include <QString>
#include <QStringList>

#include <optional>

#include <sys/types.h>

struct stProcessEntry {
    stProcessEntry() = default;
    stProcessEntry(pid_t processId, const QString &command, std::optional<uid_t> owner = std::nullopt)
        : pid(processId), strCommand(command), uid(owner)
    {
    }

    pid_t pid = 0;
    QString strCommand; // the kernel's command name, at most 15 characters
    std::optional<uid_t> uid; // the process's real user id, when it could be read
};

// Whether a reading of the table learns each process's owner (one more file
// per process: the single-instance check wants it, the watchdog's once-a-second
// look does not).
enum class enProcessOwners { Skip, Read };

// Every process in `procRoot` (normally "/proc"); entries that vanish while
// being read are skipped.
QList<stProcessEntry> ReadProcessTable(const QString &procRoot = QStringLiteral("/proc"),
                                       enProcessOwners owners = enProcessOwners::Skip);

// True when `command` names `programName` by the rule above.
bool CommandMatchesProgram(const QString &command, const QString &programName);
// How many entries name `programName`.
int CountProcessesNamed(const QList<stProcessEntry> &table, const QString &programName);
// How many entries of the user `uid` name `programName`.
int CountProcessesNamed(const QList<stProcessEntry> &table, const QString &programName, uid_t uid);

// The real user id from the text of /proc/<pid>/status ("Uid:" line, first
// number), or nullopt when there is none.
std::optional<uid_t> RealUidFromStatus(const QByteArray &statusText);
// Sends `signalNumber` to every process named `programName` except this one,
// like killall; returns how many were signalled.
int SignalProcessesNamed(const QString &programName, int signalNumber,
                         const QString &procRoot = QStringLiteral("/proc"));
