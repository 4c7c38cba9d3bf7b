#pragma once
// The process table read directly from /proc, with the rule of `ps -A`: a
// process is known by its command name (at most 15 characters), compared
// regardless of letter case with the first 15 characters of a program name.
#include <QString>
#include <QStringList>

#include <sys/types.h>

struct stProcessEntry {
    pid_t pid = 0;
    QString strCommand; // the kernel's command name, at most 15 characters
};

// Every process in `procRoot` (normally "/proc"); entries that vanish while
// being read are skipped.
QList<stProcessEntry> ReadProcessTable(const QString &procRoot = QStringLiteral("/proc"));

// True when `command` names `programName` by the rule above.
bool CommandMatchesProgram(const QString &command, const QString &programName);
// How many entries name `programName`.
int CountProcessesNamed(const QList<stProcessEntry> &table, const QString &programName);
// Sends `signalNumber` to every process named `programName` except this one,
// like killall; returns how many were signalled.
int SignalProcessesNamed(const QString &programName, int signalNumber,
                         const QString &procRoot = QStringLiteral("/proc"));
